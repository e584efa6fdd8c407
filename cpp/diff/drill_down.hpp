#pragma once
// The five most regressed response pairs, scored axis by axis.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "diff/cost.hpp"
#include "diff/report.hpp"

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

inline constexpr size_t DRILL_DOWN_LIMIT = 5;

// The "text" strings of the payload's text blocks joined by a line feed.
std::string drill_down_response_text(const Record& record);
bool is_refusal(const Record& record);
// Whether the text is one JSON document, inside markdown fences or not.
bool parses_as_json(std::string_view text);
// "{name}({keys})" of every tool_use block, in content order, repeats kept.
std::vector<std::string> tool_shape_seq(const Record& record);

// The distinct windows of 4 code points (the whole text when shorter), ascending byte order.
std::vector<std::string_view> shingles(std::string_view text);

// A shingle as its packed code points: length in bits 84..86, then 21 bits per code point.
// Equal keys are equal shingles, so key sets have the same sizes and intersections as
// string sets; no key is 0.
__extension__ typedef unsigned __int128 ShingleKey;
uint64_t shingle_hash(ShingleKey key);
// The key of every window in text order, repeats included.
void append_shingle_keys(std::string_view text, std::vector<ShingleKey>& out);

struct ShingleOverlap {
    uint64_t first = 0;   // |shingles(a)|
    uint64_t second = 0;  // |shingles(b)|
    uint64_t common = 0;  // |shingles(a) ∩ shingles(b)|
};

// Counts shingle overlaps with a hash table kept from one text pair to the next.
struct ShingleOverlapCounter {
    std::vector<ShingleKey> keys;
    std::vector<ShingleKey> slots;  // 0 marks an empty slot: no key is 0
    std::vector<uint8_t> sides;

    ShingleOverlap count(std::string_view a, std::string_view b);
};
ShingleOverlap shingle_overlap(std::string_view a, std::string_view b);

std::vector<PairDrilldown> drill_down(const Pairs& pairs, const PricingTable& pricing);

}  // namespace velkin::diff
