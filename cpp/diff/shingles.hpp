#pragma once
// Text similarity by shingles (windows of 4 code points) and the hashing it
// and the alignment's interning build on.
#include <bit>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace velkin::diff {

// splitmix64's finaliser: spreads every input bit over the whole word.
inline uint64_t mix64(uint64_t x) {
    x ^= x >> 30;
    x *= 0xbf58476d1ce4e5b9ull;
    x ^= x >> 27;
    x *= 0x94d049bb133111ebull;
    x ^= x >> 31;
    return x;
}

// A hash of a whole text for tables that also compare the texts: four
// independent lanes, so that long texts hash at the speed they are read.
inline uint64_t text_hash(std::string_view text) {
    constexpr uint64_t MULTIPLIER = 0x9e3779b97f4a7c15ull;
    auto word_at = [&](size_t at) {
        uint64_t word;
        std::memcpy(&word, text.data() + at, sizeof word);
        return word;
    };
    auto step = [](uint64_t lane, uint64_t word) { return std::rotl((lane ^ word) * MULTIPLIER, 31); };
    uint64_t lanes[4] = {1, 2, 3, 4};
    size_t at = 0;
    for (; at + 32 <= text.size(); at += 32)
        for (size_t k = 0; k < 4; ++k) lanes[k] = step(lanes[k], word_at(at + 8 * k));
    for (size_t k = 0; at + 8 <= text.size(); at += 8, ++k) lanes[k] = step(lanes[k], word_at(at));
    // The last bytes: in a text of a word or more, its last word, which overlaps
    // bytes already hashed; in a shorter one, as memcpy would load them, without a call.
    uint64_t tail = 0;
    if (text.size() >= 8) {
        if (at < text.size()) tail = word_at(text.size() - 8);
    } else {
        for (size_t k = 0; k < text.size(); ++k) tail |= uint64_t{static_cast<unsigned char>(text[k])} << (8 * k);
    }
    return mix64(step(lanes[0], tail) ^ std::rotl(lanes[1], 16) ^ std::rotl(lanes[2], 32) ^ std::rotl(lanes[3], 48) ^
                 text.size());
}

// |A ∩ B| / |A ∪ B| from the sizes: 1.0 when both sets are empty.
inline double jaccard_of_counts(uint64_t common, uint64_t size_a, uint64_t size_b) {
    if (size_a == 0 && size_b == 0) return 1.0;
    return static_cast<double>(common) / static_cast<double>(size_a + size_b - common);
}

template <class T>
uint64_t count_common(const std::vector<T>& a, const std::vector<T>& b) {
    uint64_t common = 0;
    size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        if (a[i] < b[j]) {
            ++i;
        } else if (b[j] < a[i]) {
            ++j;
        } else {
            ++common, ++i, ++j;
        }
    }
    return common;
}

// Jaccard index of two ordered sets (ascending, no duplicates).
template <class T>
double jaccard(const std::vector<T>& a, const std::vector<T>& b) {
    return jaccard_of_counts(count_common(a, b), a.size(), b.size());
}

// A shingle as its packed code points: length in bits 84..86, then 21 bits per code point.
// Equal keys are equal shingles, so key sets have the same sizes and intersections as
// string sets; no key is 0. A text shorter than a window is one shingle, the whole text.
__extension__ typedef unsigned __int128 ShingleKey;
inline uint64_t shingle_hash(ShingleKey key) {
    return mix64(static_cast<uint64_t>(key) ^ (static_cast<uint64_t>(key >> 64) * 0x9e3779b97f4a7c15ull));
}
// The key of every window in text order, repeats included.
void append_shingle_keys(std::string_view text, std::vector<ShingleKey>& out);

// Dense ids for shingles in first-seen order, over any number of texts.
class ShingleIds {
public:
    // Appends the id of every distinct shingle of normalise_whitespace(text),
    // in text order; returns whether the text was already whitespace-normalised.
    bool add_text(std::string_view text, std::vector<uint32_t>& ids);
    uint32_t count() const { return count_; }
    // Forgets every shingle; a table of moderate size is kept for the next texts.
    void clear();
    // Lets a large table go, so that a thread does not hold a large report's
    // shingles after the report (a moderate table stays for the next texts).
    void release_if_large();

private:
    // Shingles of four ASCII characters, most of them in most texts, live in
    // a table of their own: their four bytes as they lie in the text (each
    // below 0x80, so EMPTY_ASCII, all bits set, marks an empty slot) beside
    // the id. The others live in a
    // wider one, where a slot packs the key (87 bits) with its id: `low`
    // holds bits 0..63 of the key, `high` bits 64..86 and the id above bit 32;
    // the length bits make `high` non-zero, so 0 marks an empty slot. Both
    // tables draw ids from one counter.
    static constexpr uint32_t EMPTY_ASCII = UINT32_MAX;
    struct AsciiSlot {
        uint32_t key = EMPTY_ASCII;
        uint32_t id = 0;
    };
    struct Slot {
        uint64_t low = 0;
        uint64_t high = 0;
    };
    std::vector<AsciiSlot> ascii_slots_ = std::vector<AsciiSlot>(1024);
    std::vector<Slot> slots_ = std::vector<Slot>(64);
    uint32_t ascii_count_ = 0;  // of each table
    uint32_t wide_count_ = 0;
    // Per id: the last text that held it, numbered from 1. Entries beyond the
    // ids are written when their id is drawn, before any read.
    std::vector<uint32_t> last_text_;
    std::string normal_bytes_;           // the normalised form of an ASCII text that is not its own
    std::vector<char32_t> code_points_;  // of the normalised form of any other text, and its windows' keys
    std::vector<uint32_t> ascii_keys_;
    std::vector<ShingleKey> wide_keys_;
    uint32_t count_ = 0;
    uint32_t texts_ = 0;

    template <class AsciiKeyAt, class WideKeyAt>
    void add_windows(size_t windows, AsciiKeyAt ascii_key_at, WideKeyAt wide_key_at, uint32_t number,
                     std::vector<uint32_t>& ids);
    void add_ascii_windows(std::string_view text, uint32_t number, std::vector<uint32_t>& ids);
    // last_text_ with room for `more` ids after those drawn, so that drawing them moves nothing.
    uint32_t* last_text_for(size_t more);
    void grow_ascii();
    void grow_wide();
};

struct ShingleOverlap {
    uint64_t first = 0;   // distinct shingles of a
    uint64_t second = 0;  // distinct shingles of b
    uint64_t common = 0;  // distinct shingles of both
};

// Counts shingle overlaps with a hash table kept from one text pair to the next.
struct ShingleOverlapCounter {
    std::vector<ShingleKey> keys;
    std::vector<ShingleKey> slots;  // 0 marks an empty slot: no key is 0
    std::vector<uint8_t> sides;

    ShingleOverlap count(std::string_view a, std::string_view b);
};

// Runs of White_Space become one space; none is kept at either end.
std::string normalise_whitespace(std::string_view text);
// Jaccard index of the shingle sets of the whitespace-normalised texts.
double text_similarity(std::string_view a, std::string_view b);

}  // namespace velkin::diff
