#include "diff/shingles.hpp"

#include "text/unicode.hpp"

namespace velkin::diff {

namespace {

constexpr int CODE_POINT_BITS = 21;
constexpr int SHINGLE_LENGTH = 4;
const ShingleKey WINDOW_MASK = (ShingleKey{1} << (CODE_POINT_BITS * SHINGLE_LENGTH)) - 1;

ShingleKey tagged(ShingleKey packed, uint64_t length) {
    return (ShingleKey{length} << (CODE_POINT_BITS * SHINGLE_LENGTH)) | packed;
}

}  // namespace

uint64_t shingle_hash(ShingleKey key) {
    return mix64(static_cast<uint64_t>(key) ^ (static_cast<uint64_t>(key >> 64) * 0x9e3779b97f4a7c15ull));
}

void append_shingle_keys(std::string_view text, std::vector<ShingleKey>& out) {
    ShingleKey window = 0;
    uint64_t count = 0;
    for (size_t i = 0; i < text.size();) {
        unsigned char byte = static_cast<unsigned char>(text[i]);
        char32_t cp = byte < 0x80 ? (++i, byte) : text::next_code_point(text, i);
        window = ((window << CODE_POINT_BITS) | cp) & WINDOW_MASK;
        if (++count >= SHINGLE_LENGTH) out.push_back(tagged(window, SHINGLE_LENGTH));
    }
    if (count > 0 && count < SHINGLE_LENGTH) out.push_back(tagged(window, count));
}

bool append_normalised_shingle_keys(std::string_view text, std::vector<ShingleKey>& out) {
    ShingleKey window = 0;
    uint64_t count = 0;
    auto take = [&](char32_t cp) {
        window = ((window << CODE_POINT_BITS) | cp) & WINDOW_MASK;
        if (++count >= SHINGLE_LENGTH) out.push_back(tagged(window, SHINGLE_LENGTH));
    };
    bool normal = true;
    bool pending_space = false;
    for (size_t i = 0; i < text.size();) {
        unsigned char byte = static_cast<unsigned char>(text[i]);
        char32_t cp = byte < 0x80 ? (++i, byte) : text::next_code_point(text, i);
        if (text::is_white_space(cp)) {
            // Normal text has single spaces between other code points only.
            if (cp != ' ' || count == 0 || pending_space) normal = false;
            pending_space = count > 0;
            continue;
        }
        if (pending_space) take(' ');
        pending_space = false;
        take(cp);
    }
    if (pending_space) normal = false;
    if (count > 0 && count < SHINGLE_LENGTH) out.push_back(tagged(window, count));
    return normal;
}

ShingleOverlap ShingleOverlapCounter::count(std::string_view a, std::string_view b) {
    keys.clear();
    append_shingle_keys(a, keys);
    size_t first_keys = keys.size();
    append_shingle_keys(b, keys);

    constexpr uint8_t IN_FIRST = 1, IN_SECOND = 2;
    size_t capacity = 16;
    while (capacity < 2 * keys.size()) capacity *= 2;
    slots.assign(capacity, 0);
    sides.assign(capacity, 0);
    ShingleOverlap overlap;
    for (size_t k = 0; k < keys.size(); ++k) {
        ShingleKey key = keys[k];
        uint8_t side = k < first_keys ? IN_FIRST : IN_SECOND;
        size_t slot = shingle_hash(key) & (capacity - 1);
        while (slots[slot] != 0 && slots[slot] != key) slot = (slot + 1) & (capacity - 1);
        slots[slot] = key;
        if (sides[slot] & side) continue;
        sides[slot] |= side;
        if (side == IN_FIRST) {
            ++overlap.first;
        } else {
            ++overlap.second;
            if (sides[slot] & IN_FIRST) ++overlap.common;
        }
    }
    return overlap;
}

std::string normalise_whitespace(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    bool pending_space = false;
    for (size_t i = 0; i < text.size();) {
        size_t start = i;
        unsigned char byte = static_cast<unsigned char>(text[i]);
        char32_t cp = byte < 0x80 ? (++i, byte) : text::next_code_point(text, i);
        if (text::is_white_space(cp)) {
            pending_space = !out.empty();
            continue;
        }
        if (pending_space) out.push_back(' ');
        pending_space = false;
        out.append(text, start, i - start);
    }
    return out;
}

double text_similarity(std::string_view a, std::string_view b) {
    if (a == b) return 1.0;
    std::string a_normal = normalise_whitespace(a);
    std::string b_normal = normalise_whitespace(b);
    if (a_normal == b_normal) return 1.0;
    ShingleOverlap overlap = ShingleOverlapCounter{}.count(a_normal, b_normal);
    return jaccard_of_counts(overlap.common, overlap.first, overlap.second);
}

}  // namespace velkin::diff
