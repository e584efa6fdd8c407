#include "diff/semantic.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "arch/bytes.hpp"
#include "diff/bootstrap.hpp"
#include "diff/shingles.hpp"
#include "platform/result.hpp"
#include "text/unicode.hpp"

namespace velkin::diff {

namespace {

constexpr double ZERO_NORM = 1e-12;

constexpr std::array<bool, 128> ASCII_WORD_BYTES = [] {
    std::array<bool, 128> word{};
    for (unsigned c = 0; c < 128; ++c)
        word[c] = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
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
                const char32_t first = three ? (lead & 0x0F) << 12 | (next & 0x3F) << 6
                                             : (lead & 0x1F) << 6 | (next & 0x3F);
                const char32_t last = three ? first + 63 : first;
                if (first < (three ? 0x800u : 0x80u) || (first >= 0xD800 && first <= 0xDFFF)) continue;
                size_t words = 0;
                for (char32_t cp = first; cp <= last; ++cp) words += text::is_alphabetic(cp) || text::is_numeric(cp);
                const size_t count = last - first + 1;
                table[lead << 8 | next] = words == count ? PairClass::Word
                                          : words == 0   ? PairClass::NotWord
                                                         : PairClass::Mixed;
            }
        }
        return table;
    }();
    return classes;
}

bool is_continuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

// Bit k set where byte k of the chunk is an ASCII letter or digit.
unsigned ascii_word_bits(arch::Bytes16 chunk) {
    using arch::splat16;
    const arch::Bytes16 folded = chunk | splat16(0x20);
    const arch::Bytes16 letter = (folded > splat16('a' - 1)) & (folded < splat16('z' + 1));
    const arch::Bytes16 digit = (chunk > splat16('0' - 1)) & (chunk < splat16('9' + 1));
    return arch::top_bits(letter | digit);
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
        if (at > start) visit(std::string_view(folded.data() + start, at - start));
        start = next;
    };
    for (size_t i = 0; i < size;) {
        // A run of ASCII bytes sixteen at a time, visiting only its non-word bytes.
        if (i + 16 <= size) {
            const arch::Bytes16 chunk = arch::load16(bytes + i);
            const unsigned ascii = ~arch::top_bits(chunk) & 0xFFFF;
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

// Bit k set where byte k of the 64 at `bytes` is an ASCII letter or digit.
uint64_t ascii_word_bits_64(const unsigned char* bytes) {
    uint64_t bits = 0;
    for (size_t k = 0; k < 4; ++k) {
        bits |= uint64_t{ascii_word_bits(arch::load16(bytes + 16 * k))} << (16 * k);
    }
    return bits;
}

bool is_ascii(std::string_view text) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    arch::Bytes16 any{};
    size_t i = 0;
    for (; i + 16 <= text.size(); i += 16) any |= arch::load16(bytes + i);
    unsigned char tail = 0;
    for (; i < text.size(); ++i) tail |= bytes[i];
    return arch::top_bits(any) == 0 && tail < 0x80;
}

// for_each_folded_token for ASCII text: where a byte starts or ends a run of
// letters and digits is read off bit masks of 64 bytes at a time, so that a
// token costs a bit scan of each rather than a test per byte around it.
// Inlined, so that what the visit keeps stays in registers.
template <class Visit>
[[gnu::always_inline]] inline void for_each_ascii_token(std::string_view text, Visit&& visit) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    const size_t size = text.size();
    uint64_t before = 0;  // bit 63: the byte before the block is in a token
    size_t start = 0;     // of the token the block's last byte is in
    for (size_t base = 0; base < size; base += 64) {
        uint64_t word;
        if (base + 64 <= size) {
            word = ascii_word_bits_64(bytes + base);
        } else {
            unsigned char tail[64] = {};  // zero bytes end a token
            std::memcpy(tail, bytes + base, size - base);
            word = ascii_word_bits_64(tail);
        }
        // Bit k set where byte k starts a token, and where it is the first byte after one.
        const uint64_t after_token = word << 1 | before >> 63;
        uint64_t starts = word & ~after_token;
        uint64_t ends = ~word & after_token;
        // A token running into the block ends at its first end; every other
        // end closes the block's start before it.
        if (before >> 63 && ends != 0) {
            visit(std::string_view(text.data() + start, base + static_cast<size_t>(std::countr_zero(ends)) - start));
            ends &= ends - 1;
        }
        for (; ends != 0; ends &= ends - 1, starts &= starts - 1) {
            const size_t from = base + static_cast<size_t>(std::countr_zero(starts));
            visit(std::string_view(text.data() + from, base + static_cast<size_t>(std::countr_zero(ends)) - from));
        }
        if (starts != 0) start = base + static_cast<size_t>(std::countr_zero(starts));
        before = word;
    }
    // A token that runs to the end of a whole last block has no edge after it.
    if (size % 64 == 0 && before >> 63) visit(text.substr(start));
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
    // Empties the index with room for `count` values, keeping its memory unless that is large.
    void reset(size_t count) {
        size_t slots = 64;
        while (slots < 2 * (count + 1)) slots *= 2;
        if (slots_.capacity() > std::max(slots, KEPT_SLOTS)) slots_ = {};
        slots_.assign(slots, Slot{});
        count_ = 0;
    }

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
    static constexpr size_t KEPT_SLOTS = size_t{1} << 12;
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

// Token ids in first-seen order, each with what its caller keeps beside it.
// A token of at most 16 bytes (nearly every word) is held in its slot, so that
// finding it reads one slot and compares two words; longer tokens are kept in
// one block of bytes.
class TermIds {
public:
    struct Term {
        uint32_t id;
        uint32_t document;  // the caller's: zero until it sets it
        uint32_t offset;    // the caller's
    };
    // Bytes that must be readable from the start of every token: its two
    // words are read in place, whatever its length.
    static constexpr size_t SHORT_BYTES = 16;

    // The term of the token, found or added; SHORT_BYTES bytes from
    // token.data() on are readable. The reference holds until the next call.
    [[gnu::always_inline]] Term& intern(std::string_view token) {
        if (token.size() > SHORT_BYTES) [[unlikely]]
            return intern_long(token);
        const Packed key = pack(token);
        for (size_t at = key.hash() >> shift_;; at = (at + 1) & mask_) {
            Slot& slot = slots_[at];
            if (slot.low == key.low && slot.high == key.high && slot.size == key.size) return slot.term;
            if (slot.size == 0) [[unlikely]]
                return add(key.low, key.high, key.size, at);
        }
    }
    size_t size() const { return ids_; }

    // Forgets every token, keeping the memory of a table that stayed small.
    void reset() {
        if (slots_.capacity() > KEPT_SLOTS) slots_ = {};
        slots_.assign(FIRST_SLOTS, Slot{});
        shift_ = 64 - std::countr_zero(FIRST_SLOTS);
        mask_ = FIRST_SLOTS - 1;
        most_ = FIRST_SLOTS / 2;
        count_ = 0;
        ids_ = 0;
        long_index_.reset(0);
        long_bytes_.clear();
        long_starts_.clear();
        long_terms_.clear();
    }

private:
    static constexpr size_t FIRST_SLOTS = 64, KEPT_SLOTS = size_t{1} << 12;
    struct Packed {
        uint64_t low = 0, high = 0;
        uint32_t size = 0;  // 0 marks an empty slot: tokens are never empty
        // One multiplication, whose top bits (the slot) depend on every bit of the key.
        uint64_t hash() const { return (low ^ std::rotl(high, 29) ^ size) * 0x9e3779b97f4a7c15ull; }
    };
    // The key's fields beside the term, in 32 bytes: two slots to a cache line.
    struct Slot {
        uint64_t low = 0, high = 0;
        uint32_t size = 0;
        Term term{};
    };

    // Per token size: the bits of the two words that hold its bytes.
    struct WordMasks {
        uint64_t low, high;
    };
    static constexpr std::array<WordMasks, SHORT_BYTES + 1> WORD_MASKS = [] {
        std::array<WordMasks, SHORT_BYTES + 1> masks{};
        auto kept = [](size_t bytes) { return bytes >= 8 ? ~uint64_t{0} : (uint64_t{1} << (8 * bytes)) - 1; };
        for (size_t size = 0; size <= SHORT_BYTES; ++size) masks[size] = {kept(size), size > 8 ? kept(size - 8) : 0};
        return masks;
    }();

    // The token's bytes, zero beyond its end: two words read in place, the
    // bytes past the token masked off, without a branch on its length.
    static Packed pack(std::string_view token) {
        Packed key;
        key.size = static_cast<uint32_t>(token.size());
        std::memcpy(&key.low, token.data(), 8);
        std::memcpy(&key.high, token.data() + 8, 8);
        key.low &= WORD_MASKS[token.size()].low;
        key.high &= WORD_MASKS[token.size()].high;
        return key;
    }

    // A new token into the empty slot `at`; the table grows once it holds `most_`. The key
    // comes in registers: one in memory would have to be stored on every lookup.
    [[gnu::noinline]] Term& add(uint64_t low, uint64_t high, uint32_t size, size_t at) {
        Slot& slot = slots_[at];
        slot = {low, high, size, {next_id(), 0, 0}};
        if (++count_ < most_) return slot.term;
        grow();
        at = Packed{low, high, size}.hash() >> shift_;
        while (slots_[at].low != low || slots_[at].high != high || slots_[at].size != size) at = (at + 1) & mask_;
        return slots_[at].term;
    }

    uint32_t next_id() { return static_cast<uint32_t>(ids_++); }

    [[gnu::noinline]] Term& intern_long(std::string_view token) {
        const uint64_t fresh = long_starts_.size();
        const uint64_t known = long_index_.find_or_add(
            text_hash(token), fresh, [&](uint64_t other) { return same_bytes(long_token(other), token); });
        if (known != fresh) return long_terms_[known];
        long_starts_.push_back(long_bytes_.size());
        long_bytes_.append(token);
        long_terms_.push_back({next_id(), 0, 0});
        return long_terms_.back();
    }

    std::string_view long_token(uint64_t k) const {
        const size_t end = k + 1 < long_starts_.size() ? long_starts_[k + 1] : long_bytes_.size();
        return std::string_view(long_bytes_).substr(long_starts_[k], end - long_starts_[k]);
    }

    void grow() {
        std::vector<Slot> old = std::move(slots_);
        slots_.assign(std::max<size_t>(FIRST_SLOTS, 2 * old.size()), Slot{});
        shift_ = 64 - std::countr_zero(slots_.size());
        mask_ = slots_.size() - 1;
        most_ = slots_.size() / 2;
        for (const Slot& slot : old) {
            if (slot.size == 0) continue;
            size_t at = Packed{slot.low, slot.high, slot.size}.hash() >> shift_;
            while (slots_[at].size != 0) at = (at + 1) & mask_;
            slots_[at] = slot;
        }
    }

    std::vector<Slot> slots_;  // a power of two of them, indexed by the top bits of the hash
    size_t shift_ = 64, mask_ = 0;
    size_t count_ = 0;
    size_t most_ = 0;  // a table holding this many tokens grows before the next: at most half full
    size_t ids_ = 0;
    HashIndex long_index_;
    std::string long_bytes_;
    std::vector<size_t> long_starts_;  // per long token: where its bytes begin
    std::vector<Term> long_terms_;
};

// ln(count) + 1 for the counts most terms have, so that the weights spend no
// logarithm on them.
constexpr size_t TABLED_COUNTS = 64;
const std::array<double, TABLED_COUNTS>& log_count_terms() {
    static const std::array<double, TABLED_COUNTS> table = [] {
        std::array<double, TABLED_COUNTS> terms{};
        for (size_t count = 1; count < TABLED_COUNTS; ++count)
            terms[count] = std::log(static_cast<double>(count)) + 1.0;
        return terms;
    }();
    return table;
}

double log_count_term(uint64_t count) {
    if (count < TABLED_COUNTS) return log_count_terms()[count];
    return std::log(static_cast<double>(count)) + 1.0;
}

// The working arrays of semantic_samples, kept per thread from one call to
// the next and left as found (zero frequencies and dense weights), so that a
// call costs what its pairs hold rather than the size of the vocabulary.
struct TermScratch {
    std::vector<uint64_t> document_frequency;  // per term
    std::vector<double> dense;                 // per term: one vector's weights
    // Per document frequency: ln((N + 1) / (df + 1)) + 1 for a corpus of N
    // documents, NaN until computed. Calls of one corpus size share them.
    std::vector<double> idf_term;
    size_t idf_corpus = 0;

    void fit(size_t vocabulary, size_t corpus) {
        if (idf_corpus != corpus || idf_term.size() != corpus + 1) {
            idf_term.assign(corpus + 1, std::numeric_limits<double>::quiet_NaN());
            idf_corpus = corpus;
        }
        if (dense.size() >= vocabulary) return;  // the last resized: a failed fit is tried again
        document_frequency.resize(vocabulary, 0);
        dense.resize(vocabulary, 0.0);
    }
};

// Not inlined, so that its callers hold the address rather than compute it
// again, which in a shared library is a call.
[[gnu::noinline]] TermScratch& term_scratch() {
    thread_local TermScratch scratch;
    return scratch;
}

// weight = (ln(count) + 1) * (ln((N + 1) / (df + 1)) + 1)
double tfidf_weight(const TermCount& term, TermScratch& scratch) {
    const uint64_t df = scratch.document_frequency[term.term];
    double& idf_term = scratch.idf_term[df];
    if (std::isnan(idf_term)) {
        const double corpus = static_cast<double>(scratch.idf_corpus);
        idf_term = std::log((corpus + 1.0) / (static_cast<double>(df) + 1.0)) + 1.0;
    }
    return log_count_term(term.count) * idf_term;
}

// The cosine of the TF-IDF vectors of two documents, clamped to [0, 1]; 1.0
// when both are zero. One vector's weights go into the dense array, the other's
// are computed as the walk over it meets them: the one with fewer entries is
// walked, and the dot product summed in its term order. Weights are at least
// 1, so a term the other vector lacks adds exactly 0.0.
double tfidf_cosine(std::span<const TermCount> a, std::span<const TermCount> b, TermScratch& scratch) {
    const bool walk_b = b.size() < a.size();
    std::span<const TermCount> walked = walk_b ? b : a, looked_up = walk_b ? a : b;
    double looked_up_squares = 0.0;
    for (const TermCount& term : looked_up) {
        const double weight = tfidf_weight(term, scratch);
        scratch.dense[term.term] = weight;
        looked_up_squares += weight * weight;
    }
    double walked_squares = 0.0, dot = 0.0;
    for (const TermCount& term : walked) {
        const double weight = tfidf_weight(term, scratch);
        walked_squares += weight * weight;
        dot += weight * scratch.dense[term.term];
    }
    for (const TermCount& term : looked_up) scratch.dense[term.term] = 0.0;
    const double norm_a = std::sqrt(walk_b ? looked_up_squares : walked_squares);
    const double norm_b = std::sqrt(walk_b ? walked_squares : looked_up_squares);
    if (norm_a < ZERO_NORM) return norm_b < ZERO_NORM ? 1.0 : 0.0;
    if (norm_b < ZERO_NORM) return 0.0;
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

namespace {

// The working state of response_terms, kept per thread from one call to the
// next, so that a call of a few dozen short responses allocates only what it returns.
struct TermsScratch {
    TermIds ids;
    HashIndex texts;  // the first document of each folded text, of NFC texts
    // The documents' entries, terms[0, size); room for `capacity`, left
    // unwritten beyond `size` (a vector would zero what it grows by).
    std::unique_ptr<TermCount[]> terms;
    size_t size = 0, capacity = 0;
    std::string folded;
    std::string padded;  // the text being read, then TermIds::SHORT_BYTES zero bytes

    void reserve(size_t entries) {
        if (entries <= capacity) return;
        const size_t grown = std::max(entries, 2 * capacity);
        std::unique_ptr<TermCount[]> more = std::make_unique_for_overwrite<TermCount[]>(grown);
        std::copy_n(terms.get(), size, more.get());
        terms = std::move(more);
        capacity = grown;
    }

    // A large call's memory is let go rather than kept by the thread.
    void trim() {
        constexpr size_t KEPT_ENTRIES = size_t{1} << 15, KEPT_TERMS = size_t{1} << 11, KEPT_BYTES = size_t{1} << 16;
        if (capacity > KEPT_ENTRIES || ids.size() > KEPT_TERMS || padded.capacity() > KEPT_BYTES)
            *this = TermsScratch{};
    }
};

// Counts the tokens of one document into its entries, terms[0, end): each
// token writes an entry before knowing whether its term is new to the
// document, which `end` then keeps or not.
struct DocumentCount {
    TermIds& ids;
    TermCount* entries;
    uint32_t document;  // documents are counted in increasing order
    uint32_t end = 0;

    [[gnu::always_inline]] void operator()(std::string_view token) {
        TermIds::Term& term = ids.intern(token);
        // A term last met in an earlier document is new to this one.
        const bool fresh = term.document < document;
        const uint32_t offset = fresh ? end : term.offset;
        entries[end] = {term.id, 0};
        term.offset = offset;
        term.document = document;
        end += fresh;
        ++entries[offset].count;
    }
};

// Not inlined, like term_scratch.
[[gnu::noinline]] TermsScratch& terms_scratch() {
    thread_local TermsScratch scratch;
    return scratch;
}

}  // namespace

ResponseTerms response_terms(const std::vector<const ResponseView*>& responses) {
    // Terms note their last document as 1 + its index in 32 bits.
    if (responses.size() >= std::numeric_limits<uint32_t>::max())
        throw Panic("too many responses to count their terms");
    TermsScratch& scratch = terms_scratch();
    TermIds& ids = scratch.ids;
    ids.reset();
    scratch.texts.reset(responses.size());
    scratch.size = 0;
    ResponseTerms result;
    result.documents.reserve(responses.size());
    for (size_t k = 0; k < responses.size(); ++k) {
        const ResponseView& response = *responses[k];
        // The view's lower-cased text is the folded form whenever the text is already NFC.
        std::string_view view = response.lowered;
        if (response.text_is_nfc) {
            // Texts whose NFC, lower-cased forms are equal have the same terms.
            const uint64_t first = scratch.texts.find_or_add(
                text_hash(view), k, [&](uint64_t document) { return responses[document]->lowered == view; });
            if (first != k) {
                result.documents.push_back(result.documents[first]);
                continue;
            }
        } else {
            scratch.folded = text::lowercase(text::nfc(response.text));
            view = scratch.folded;
        }
        // Tokens are at least two bytes apart, so below 8 GiB neither a count
        // nor a term's offset in its document overflows 32 bits.
        if (view.size() >= (uint64_t{1} << 33)) throw Panic("response text too long to count its terms");
        scratch.padded.assign(view);
        scratch.padded.append(TermIds::SHORT_BYTES, '\0');
        view = std::string_view(scratch.padded).substr(0, view.size());
        // Room for every token of the text, so that each may write its entry before knowing whether it is new.
        const size_t begin = scratch.size;
        scratch.reserve(begin + view.size() / 2 + 1);
        TermCount* const entries = scratch.terms.get() + begin;
        const uint32_t document = static_cast<uint32_t>(k + 1);
        uint32_t end = 0;
        // Each branch counts with its own: the ASCII one, inlined whole, then keeps its state in registers.
        if (is_ascii(view)) {
            DocumentCount count{ids, entries, document};
            for_each_ascii_token(view, count);
            end = count.end;
        } else {
            DocumentCount count{ids, entries, document};
            for_each_folded_token(view, count);
            end = count.end;
        }
        scratch.size = begin + end;
        result.documents.push_back({begin, scratch.size});
    }
    result.terms.assign(scratch.terms.get(), scratch.terms.get() + scratch.size);
    result.vocabulary = ids.size();
    scratch.trim();
    return result;
}

AxisSamples semantic_samples(const ResponseTerms& terms, const std::vector<DocumentPair>& pairs) {
    TermScratch& scratch = term_scratch();
    // What may throw comes first: once terms are counted nothing does, and the
    // scratch is left as found (the cosines clear the dense weights themselves).
    std::vector<double> similarities;
    similarities.reserve(pairs.size());
    scratch.fit(terms.vocabulary, 2 * pairs.size());
    auto document = [&](size_t k) { return document_terms(terms, k); };
    // The document frequencies of the pairs' own corpus.
    for (const DocumentPair& pair : pairs) {
        for (const TermCount& term : document(pair.baseline)) ++scratch.document_frequency[term.term];
        for (const TermCount& term : document(pair.candidate)) ++scratch.document_frequency[term.term];
    }
    for (const DocumentPair& pair : pairs)
        similarities.push_back(tfidf_cosine(document(pair.baseline), document(pair.candidate), scratch));
    for (const DocumentPair& pair : pairs) {
        for (size_t k : {pair.baseline, pair.candidate})
            for (const TermCount& term : document(k)) scratch.document_frequency[term.term] = 0;
    }
    // A large call's arrays are let go rather than kept by the thread after the report.
    constexpr size_t KEPT_TERMS = size_t{1} << 16;
    if (scratch.dense.size() > KEPT_TERMS || scratch.idf_term.size() > KEPT_TERMS) scratch = TermScratch{};
    return similarity_samples(std::move(similarities));
}

}  // namespace velkin::diff
