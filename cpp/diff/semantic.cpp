#include "diff/semantic.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstring>
#include <emmintrin.h>
#include <limits>
#include <span>
#include <string>
#include <string_view>

#include "diff/bootstrap.hpp"
#include "diff/shingles.hpp"
#include "json/result.hpp"
#include "text/unicode.hpp"

namespace velkin::diff {

namespace {

constexpr double ZERO_NORM = 1e-12;

constexpr std::array<bool, 128> ASCII_WORD_BYTES = [] {
    std::array<bool, 128> word{};
    for (unsigned c = 0; c < 128; ++c) word[c] = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    return word;
}();

// How the code points of valid UTF-8 starting with a given pair of bytes
// stand to tokens: all word characters (alphabetic or numeric), none, or
// some of each (read one by one). Kept for the BMP, whose pairs cover at
// most 64 code points.
enum class PairClass : uint8_t { Mixed, Word, NotWord };

const std::array<PairClass, 0x10000>& pair_classes() {
    static const std::array<PairClass, 0x10000> classes = [] {
        std::array<PairClass, 0x10000> table{};
        for (unsigned lead = 0xC2; lead <= 0xEF; ++lead) {
            for (unsigned next = 0x80; next <= 0xBF; ++next) {
                const bool three = lead >= 0xE0;
                const char32_t first = three ? (lead & 0x0F) << 12 | (next & 0x3F) << 6 : (lead & 0x1F) << 6 | (next & 0x3F);
                const char32_t last = three ? first + 63 : first;
                if (first < (three ? 0x800u : 0x80u) || (first >= 0xD800 && first <= 0xDFFF)) continue;
                size_t words = 0;
                for (char32_t cp = first; cp <= last; ++cp) words += text::is_alphabetic(cp) || text::is_numeric(cp);
                const size_t count = last - first + 1;
                table[lead << 8 | next] = words == count ? PairClass::Word : words == 0 ? PairClass::NotWord : PairClass::Mixed;
            }
        }
        return table;
    }();
    return classes;
}

bool is_continuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

// Bit k set where byte k of the chunk is an ASCII letter or digit.
unsigned ascii_word_bits(__m128i chunk) {
    const __m128i folded = _mm_or_si128(chunk, _mm_set1_epi8(0x20));
    const __m128i letter = _mm_and_si128(_mm_cmpgt_epi8(folded, _mm_set1_epi8('a' - 1)),
                                         _mm_cmplt_epi8(folded, _mm_set1_epi8('z' + 1)));
    const __m128i digit = _mm_and_si128(_mm_cmpgt_epi8(chunk, _mm_set1_epi8('0' - 1)),
                                        _mm_cmplt_epi8(chunk, _mm_set1_epi8('9' + 1)));
    return static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(letter, digit)));
}

// Calls visit(token) for each token of text in NFC, lower-cased form, in text
// order, duplicates kept: runs of alphabetic or numeric characters.
template <class Visit>
void for_each_folded_token(std::string_view folded, Visit&& visit) {
    const std::array<PairClass, 0x10000>& classes = pair_classes();
    const auto* bytes = reinterpret_cast<const unsigned char*>(folded.data());
    const size_t size = folded.size();
    size_t start = 0;
    // The character at..next is no word character: it ends the token before it, if any.
    auto split = [&](size_t at, size_t next) {
        if (at > start) visit(folded.substr(start, at - start));
        start = next;
    };
    for (size_t i = 0; i < size;) {
        // A run of ASCII bytes sixteen at a time, visiting only its non-word bytes.
        if (i + 16 <= size) {
            const __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + i));
            const unsigned ascii = ~static_cast<unsigned>(_mm_movemask_epi8(chunk)) & 0xFFFF;
            const unsigned run = static_cast<unsigned>(std::countr_one(ascii));
            if (run > 0) {
                const unsigned in_run = run == 16 ? 0xFFFF : (1u << run) - 1;
                for (unsigned breaks = ~ascii_word_bits(chunk) & in_run; breaks != 0; breaks &= breaks - 1) {
                    const size_t at = i + static_cast<size_t>(std::countr_zero(breaks));
                    split(at, at + 1);
                }
                i += run;
                continue;
            }
        }
        const size_t at = i;
        const unsigned char byte = bytes[i];
        bool in_token;
        if (byte < 0x80) {
            in_token = ASCII_WORD_BYTES[byte];
            ++i;
        } else {
            const size_t length = byte >= 0xE0 ? 3 : 2;
            const PairClass pair = i + length <= size ? classes[byte << 8 | bytes[i + 1]] : PairClass::Mixed;
            if (pair != PairClass::Mixed && (length == 2 || is_continuation(bytes[i + 2]))) {
                in_token = pair == PairClass::Word;
                i += length;
            } else {
                size_t next = i;
                const char32_t cp = text::next_code_point(folded, next);
                in_token = text::is_alphabetic(cp) || text::is_numeric(cp);
                i = next;
            }
        }
        if (!in_token) split(at, i);
    }
    if (size > start) visit(folded.substr(start));
}

// Whether two short strings hold the same bytes, without a call.
bool same_bytes(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t k = 0; k < a.size(); ++k)
        if (a[k] != b[k]) return false;
    return true;
}

// Open addressing from a hash to a value; the caller's test tells apart the
// values whose keys share a hash.
class HashIndex {
public:
    // The value stored for the key, else `value`, which is stored for it.
    template <class SameKey>
    uint64_t find_or_add(uint64_t hash, uint64_t value, SameKey same_key) {
        if (2 * (count_ + 1) > slots_.size()) grow();
        const size_t mask = slots_.size() - 1;
        for (size_t at = hash & mask;; at = (at + 1) & mask) {
            Slot& slot = slots_[at];
            if (slot.value == EMPTY) {
                slot = {hash, value};
                ++count_;
                return value;
            }
            if (slot.hash == hash && same_key(slot.value)) return slot.value;
        }
    }

private:
    static constexpr uint64_t EMPTY = std::numeric_limits<uint64_t>::max();
    struct Slot {
        uint64_t hash;
        uint64_t value = EMPTY;
    };

    void grow() {
        std::vector<Slot> old = std::move(slots_);
        slots_.assign(std::max<size_t>(64, 2 * old.size()), Slot{});
        const size_t mask = slots_.size() - 1;
        for (const Slot& slot : old) {
            if (slot.value == EMPTY) continue;
            size_t at = slot.hash & mask;
            while (slots_[at].value != EMPTY) at = (at + 1) & mask;
            slots_[at] = slot;
        }
    }

    std::vector<Slot> slots_;
    size_t count_ = 0;
};

// Token ids in first-seen order. A token of at most 16 bytes (nearly every
// word) is held in its slot, so that finding it reads one slot and compares
// two words; longer tokens are kept in one block of bytes.
class TermIds {
public:
    // `token` lies within `text`, which bounds what may be read around it.
    uint32_t intern(std::string_view token, std::string_view text) {
        if (token.size() > SHORT_BYTES) return intern_long(token);
        const Packed key = pack(token, text);
        if (2 * (count_ + 1) > slots_.size()) grow();
        const size_t mask = slots_.size() - 1;
        for (size_t at = key.hash() & mask;; at = (at + 1) & mask) {
            Slot& slot = slots_[at];
            if (slot.key.size == 0) {
                slot = {key, next_id()};
                ++count_;
                return slot.id;
            }
            if (slot.key == key) return slot.id;
        }
    }
    size_t size() const { return ids_; }

private:
    static constexpr size_t SHORT_BYTES = 16;
    struct Packed {
        uint64_t low = 0, high = 0;
        uint64_t size = 0;  // 0 marks an empty slot: tokens are never empty
        bool operator==(const Packed&) const = default;
        uint64_t hash() const { return mix64(low * 0x9e3779b97f4a7c15ull ^ std::rotl(high, 29) ^ size); }
    };
    struct Slot {
        Packed key;
        uint32_t id = 0;
    };

    // The token's bytes, zero beyond its end.
    static Packed pack(std::string_view token, std::string_view text) {
        Packed key;
        key.size = token.size();
        const size_t room = static_cast<size_t>(text.data() + text.size() - token.data());
        if (room < SHORT_BYTES) {
            for (size_t k = 0; k < token.size(); ++k)
                (k < 8 ? key.low : key.high) |= uint64_t{static_cast<unsigned char>(token[k])} << (8 * (k % 8));
            return key;
        }
        // Whole words read within the text, the bytes past the token masked off in registers.
        std::memcpy(&key.low, token.data(), 8);
        std::memcpy(&key.high, token.data() + 8, 8);
        auto kept = [](size_t bytes) { return bytes >= 8 ? ~uint64_t{0} : (uint64_t{1} << (8 * bytes)) - 1; };
        key.low &= kept(token.size());
        key.high = token.size() > 8 ? key.high & kept(token.size() - 8) : 0;
        return key;
    }

    uint32_t next_id() { return static_cast<uint32_t>(ids_++); }

    uint32_t intern_long(std::string_view token) {
        const uint64_t fresh = long_starts_.size();
        const uint64_t known = long_index_.find_or_add(text_hash(token), fresh, [&](uint64_t other) {
            return same_bytes(long_token(other), token);
        });
        if (known != fresh) return long_ids_[known];
        long_starts_.push_back(long_bytes_.size());
        long_bytes_.append(token);
        long_ids_.push_back(next_id());
        return long_ids_.back();
    }

    std::string_view long_token(uint64_t k) const {
        const size_t end = k + 1 < long_starts_.size() ? long_starts_[k + 1] : long_bytes_.size();
        return std::string_view(long_bytes_).substr(long_starts_[k], end - long_starts_[k]);
    }

    void grow() {
        std::vector<Slot> old = std::move(slots_);
        slots_.assign(std::max<size_t>(64, 2 * old.size()), Slot{});
        const size_t mask = slots_.size() - 1;
        for (const Slot& slot : old) {
            if (slot.key.size == 0) continue;
            size_t at = slot.key.hash() & mask;
            while (slots_[at].key.size != 0) at = (at + 1) & mask;
            slots_[at] = slot;
        }
    }

    std::vector<Slot> slots_;
    size_t count_ = 0;
    size_t ids_ = 0;
    HashIndex long_index_;
    std::string long_bytes_;
    std::vector<size_t> long_starts_;  // per long token: where its bytes begin
    std::vector<uint32_t> long_ids_;
};

// ln(count) + 1 for the counts most terms have, so that the weights spend no
// logarithm on them.
constexpr size_t TABLED_COUNTS = 64;
const std::array<double, TABLED_COUNTS>& log_count_terms() {
    static const std::array<double, TABLED_COUNTS> table = [] {
        std::array<double, TABLED_COUNTS> terms{};
        for (size_t count = 1; count < TABLED_COUNTS; ++count) terms[count] = std::log(static_cast<double>(count)) + 1.0;
        return terms;
    }();
    return table;
}

double log_count_term(uint64_t count) {
    if (count < TABLED_COUNTS) return log_count_terms()[count];
    return std::log(static_cast<double>(count)) + 1.0;
}

// Per-term working arrays of semantic_samples, kept per thread from one call
// to the next and left as found (zero frequencies, unknown idf terms, zero
// dense weights), so that a call costs what its pairs hold rather than the
// size of the vocabulary.
struct TermScratch {
    std::vector<uint64_t> document_frequency;
    std::vector<double> idf_term;  // ln((N + 1) / (df + 1)) + 1; NaN until computed
    std::vector<double> dense;     // one vector's weights, looked up by term

    void fit(size_t vocabulary) {
        if (document_frequency.size() >= vocabulary) return;
        document_frequency.resize(vocabulary, 0);
        idf_term.resize(vocabulary, std::numeric_limits<double>::quiet_NaN());
        dense.resize(vocabulary, 0.0);
    }
};

// weight = (ln(count) + 1) * (ln((N + 1) / (df + 1)) + 1), in term order,
// into `weights`; returns the vector's Euclidean norm.
double tfidf_weights(std::span<const TermCount> terms, TermScratch& scratch, double corpus,
                     std::vector<double>& weights) {
    weights.clear();
    double squares = 0.0;
    for (const TermCount& term : terms) {
        double& idf_term = scratch.idf_term[term.term];
        if (std::isnan(idf_term)) {
            double df = static_cast<double>(scratch.document_frequency[term.term]);
            idf_term = std::log((corpus + 1.0) / (df + 1.0)) + 1.0;
        }
        double weight = log_count_term(term.count) * idf_term;
        weights.push_back(weight);
        squares += weight * weight;
    }
    return std::sqrt(squares);
}

// The cosine of two TF-IDF vectors, clamped to [0, 1]; 1.0 when both are zero.
double cosine(std::span<const TermCount> a, std::span<const double> weights_a, double norm_a,
              std::span<const TermCount> b, std::span<const double> weights_b, double norm_b,
              std::vector<double>& dense) {
    if (norm_a < ZERO_NORM) return norm_b < ZERO_NORM ? 1.0 : 0.0;
    if (norm_b < ZERO_NORM) return 0.0;
    // Walk the vector with fewer entries and look each term up in the other.
    const bool walk_b = b.size() < a.size();
    std::span<const TermCount> walked = walk_b ? b : a, looked_up = walk_b ? a : b;
    std::span<const double> walked_weights = walk_b ? weights_b : weights_a,
                            looked_up_weights = walk_b ? weights_a : weights_b;
    for (size_t k = 0; k < looked_up.size(); ++k) dense[looked_up[k].term] = looked_up_weights[k];
    double dot = 0.0;
    for (size_t k = 0; k < walked.size(); ++k) {
        if (double other = dense[walked[k].term]; other != 0.0) dot += walked_weights[k] * other;
    }
    for (const TermCount& term : looked_up) dense[term.term] = 0.0;
    return std::clamp(dot / (norm_a * norm_b), 0.0, 1.0);
}

std::span<const TermCount> document_terms(const ResponseTerms& terms, size_t document) {
    const ResponseTerms::Range range = terms.documents[document];
    return std::span<const TermCount>(terms.terms).subspan(range.begin, range.end - range.begin);
}

}  // namespace

AxisSamples similarity_samples(std::vector<double> similarities) {
    AxisSamples samples{Axis::Semantic, Statistic::Median, Grading::Value, {}, std::move(similarities)};
    samples.baseline.assign(samples.candidate.size(), 1.0);
    return samples;
}

AxisStat similarities_to_stat(std::vector<double> similarities, Seed seed) {
    return axis_stat(similarity_samples(std::move(similarities)), seed);
}

AxisSamples semantic_samples(const Pairs& pairs) {
    const size_t p = pairs.size();
    // Documents 0..p-1 are the baseline responses, p..2p-1 the candidate responses.
    std::vector<const ResponseView*> responses;
    responses.reserve(2 * p);
    for (const ResponsePair& pair : pairs) responses.push_back(pair.baseline);
    for (const ResponsePair& pair : pairs) responses.push_back(pair.candidate);
    std::vector<DocumentPair> documents;
    documents.reserve(p);
    for (size_t i = 0; i < p; ++i) documents.push_back({i, p + i});
    return semantic_samples(response_terms(responses), documents);
}

ResponseTerms response_terms(const std::vector<const ResponseView*>& responses) {
    ResponseTerms terms;
    terms.documents.reserve(responses.size());
    TermIds ids;
    HashIndex texts;  // the first document of each folded text, of NFC texts
    std::vector<uint64_t> seen_in;  // per term: 1 + the last document holding it
    std::vector<size_t> slot;       // per term: its position in terms
    std::string folded;
    for (size_t k = 0; k < responses.size(); ++k) {
        const ResponseView& response = *responses[k];
        // The view's lower-cased text is the folded form whenever the text is already NFC.
        std::string_view view = response.lowered;
        if (response.text_is_nfc) {
            // Texts whose NFC, lower-cased forms are equal have the same terms.
            const uint64_t first = texts.find_or_add(text_hash(view), k, [&](uint64_t document) {
                return responses[document]->lowered == view;
            });
            if (first != k) {
                const ResponseTerms::Range same = terms.documents[first];
                terms.documents.push_back(same);
                continue;
            }
        } else {
            folded = text::lowercase(text::nfc(response.text));
            view = folded;
        }
        // Tokens are at least two bytes apart, so below 8 GiB no count overflows 32 bits.
        if (view.size() >= (uint64_t{1} << 33)) throw Panic("response text too long to count its terms");
        const size_t begin = terms.terms.size();
        for_each_folded_token(view, [&](std::string_view token) {
            const uint32_t id = ids.intern(token, view);
            if (id == seen_in.size()) {
                seen_in.push_back(0);
                slot.push_back(0);
            }
            if (seen_in[id] != k + 1) {
                seen_in[id] = k + 1;
                slot[id] = terms.terms.size();
                terms.terms.push_back({id, 0});
            }
            ++terms.terms[slot[id]].count;
        });
        terms.documents.push_back({begin, terms.terms.size()});
    }
    terms.vocabulary = ids.size();
    return terms;
}

AxisSamples semantic_samples(const ResponseTerms& terms, const std::vector<DocumentPair>& pairs) {
    thread_local TermScratch scratch;
    scratch.fit(terms.vocabulary);
    auto document = [&](size_t k) { return document_terms(terms, k); };
    // Whatever happens, the terms of the pairs leave the scratch as they found it.
    struct Restore {
        const ResponseTerms& terms;
        const std::vector<DocumentPair>& pairs;
        TermScratch& scratch;
        ~Restore() {
            // A large vocabulary's arrays are let go rather than kept by the thread after the report.
            constexpr size_t KEPT_TERMS = size_t{1} << 16;
            if (scratch.dense.size() > KEPT_TERMS) {
                scratch = TermScratch{};
                return;
            }
            for (const DocumentPair& pair : pairs) {
                for (size_t k : {pair.baseline, pair.candidate}) {
                    for (const TermCount& term : document_terms(terms, k)) {
                        scratch.document_frequency[term.term] = 0;
                        scratch.idf_term[term.term] = std::numeric_limits<double>::quiet_NaN();
                        scratch.dense[term.term] = 0.0;
                    }
                }
            }
        }
    } restore{terms, pairs, scratch};
    // The document frequencies of the pairs' own corpus.
    for (const DocumentPair& pair : pairs) {
        for (const TermCount& term : document(pair.baseline)) ++scratch.document_frequency[term.term];
        for (const TermCount& term : document(pair.candidate)) ++scratch.document_frequency[term.term];
    }
    const double corpus = static_cast<double>(2 * pairs.size());
    std::vector<double> similarities;
    similarities.reserve(pairs.size());
    std::vector<double> weights_a, weights_b;
    for (const DocumentPair& pair : pairs) {
        std::span<const TermCount> a = document(pair.baseline), b = document(pair.candidate);
        double norm_a = tfidf_weights(a, scratch, corpus, weights_a);
        double norm_b = tfidf_weights(b, scratch, corpus, weights_b);
        similarities.push_back(cosine(a, weights_a, norm_a, b, weights_b, norm_b, scratch.dense));
    }
    return similarity_samples(std::move(similarities));
}

}  // namespace velkin::diff
