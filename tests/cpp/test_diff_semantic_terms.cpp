// The terms response_terms reads of each response: runs of letters and
// digits, counted, in order of first occurrence, with ids in order of first
// occurrence over all the responses of the call. ASCII texts take a path of
// their own; a text with one character beyond ASCII takes the general one,
// and both must read the same terms.
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "check.hpp"
#include "diff/semantic.hpp"

using namespace velkin;
using namespace velkin::diff;

namespace {

struct Random {
    uint64_t state;
    uint64_t next() {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        return state >> 33;
    }
    size_t below(size_t n) { return static_cast<size_t>(next() % n); }
};

// Lower-cased texts: words short and long (past sixteen bytes), digits,
// runs of separators, and lengths around the multiples of 64.
std::vector<std::string> texts(Random& random) {
    const std::string separators = " .,;:!?-_'\"()\n\t/@[`{~";
    std::vector<std::string> all;
    for (size_t target : {0, 1, 15, 16, 17, 63, 64, 65, 127, 128, 129, 200, 255, 256, 300}) {
        std::string text;
        while (text.size() < target) {
            const size_t kind = random.below(10);
            if (kind < 6) {
                const size_t length = random.below(10) == 0 ? 17 + random.below(30) : 1 + random.below(9);
                for (size_t k = 0; k < length; ++k) text.push_back(static_cast<char>('a' + random.below(4)));
            } else if (kind < 8) {
                text.push_back(static_cast<char>('0' + random.below(10)));
            } else {
                text.push_back(separators[random.below(separators.size())]);
            }
        }
        text.resize(target);
        all.push_back(text);
    }
    return all;
}

// Bytes beyond ASCII count as word bytes whether char is signed (x86-64) or not (aarch64).
bool is_word_byte(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           static_cast<unsigned char>(c) >= 0x80;
}

// What response_terms must give, read byte by byte: a token is a run of
// ASCII letters and digits or of bytes of the letters beyond ASCII used here.
ResponseTerms expected_terms(const std::vector<std::string>& documents) {
    ResponseTerms terms;
    std::map<std::string, uint32_t> ids;
    for (const std::string& text : documents) {
        const size_t begin = terms.terms.size();
        std::map<uint32_t, size_t> position;
        for (size_t i = 0; i < text.size();) {
            if (!is_word_byte(text[i])) {
                ++i;
                continue;
            }
            size_t end = i;
            while (end < text.size() && is_word_byte(text[end])) ++end;
            const auto [known, fresh] = ids.emplace(text.substr(i, end - i), static_cast<uint32_t>(ids.size()));
            const uint32_t id = known->second;
            if (!position.contains(id)) {
                position[id] = terms.terms.size();
                terms.terms.push_back({id, 0});
            }
            ++terms.terms[position[id]].count;
            i = end;
        }
        terms.documents.push_back({begin, terms.terms.size()});
    }
    terms.vocabulary = ids.size();
    return terms;
}

ResponseTerms read_terms(const std::vector<std::string>& documents) {
    std::vector<ResponseView> views(documents.size());
    std::vector<const ResponseView*> pointers;
    for (size_t k = 0; k < documents.size(); ++k) {
        views[k].text = documents[k];
        views[k].lowered = documents[k];
        views[k].text_is_nfc = true;
        pointers.push_back(&views[k]);
    }
    return response_terms(pointers);
}

void check_same_terms(const ResponseTerms& read, const ResponseTerms& expected) {
    CHECK_EQ(read.vocabulary, expected.vocabulary);
    CHECK_EQ(read.documents.size(), expected.documents.size());
    for (size_t k = 0; k < std::min(read.documents.size(), expected.documents.size()); ++k) {
        const ResponseTerms::Range got = read.documents[k], want = expected.documents[k];
        CHECK_EQ(got.end - got.begin, want.end - want.begin);
        if (got.end - got.begin != want.end - want.begin) continue;
        for (size_t t = 0; t < got.end - got.begin; ++t) {
            CHECK_EQ(read.terms[got.begin + t].term, expected.terms[want.begin + t].term);
            CHECK_EQ(read.terms[got.begin + t].count, expected.terms[want.begin + t].count);
        }
    }
}

}  // namespace

TEST(ascii_and_general_texts_read_the_terms_a_byte_by_byte_reading_finds) {
    Random random{7};
    for (int round = 0; round < 40; ++round) {
        const std::vector<std::string> ascii = texts(random);
        // The same texts with a letter beyond ASCII somewhere in them, which
        // takes each through the general path: at the end, at the start, inside a run.
        for (const std::string& extra : {std::string(" \xC3\xA9"), std::string("\xC3\xA9 "), std::string("\xC3\xA9")}) {
            std::vector<std::string> general;
            for (const std::string& text : ascii) {
                const size_t at = extra.front() == ' ' ? text.size() : extra.back() == ' ' ? 0 : text.size() / 2;
                general.push_back(text.substr(0, at) + extra + text.substr(at));
            }
            check_same_terms(read_terms(general), expected_terms(general));
        }
        check_same_terms(read_terms(ascii), expected_terms(ascii));
    }
}

TEST(responses_with_equal_texts_share_their_terms_and_calls_do_not_share_ids) {
    const std::vector<std::string> documents = {"the seat, the date", "a refund", "the seat, the date", ""};
    const ResponseTerms read = read_terms(documents);
    check_same_terms(read, expected_terms(documents));
    CHECK(read.documents[0].begin == read.documents[2].begin && read.documents[0].end == read.documents[2].end);
    // A second call numbers its own terms from zero, whatever the first one saw.
    check_same_terms(read_terms({"a refund"}), expected_terms({"a refund"}));
}
