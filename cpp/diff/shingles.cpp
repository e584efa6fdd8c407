#include "diff/shingles.hpp"

#include <bit>

#include "json/result.hpp"
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

namespace {

// Every key of normalise_whitespace(text) in text order, repeats included, to
// `take`; returns whether the text was already whitespace-normalised.
template <class Take>
bool for_each_normalised_shingle_key(std::string_view text, Take&& take) {
    ShingleKey window = 0;
    uint64_t count = 0;
    auto shift_in = [&](char32_t cp) {
        window = ((window << CODE_POINT_BITS) | cp) & WINDOW_MASK;
        if (++count >= SHINGLE_LENGTH) take(tagged(window, SHINGLE_LENGTH));
    };
    bool normal = true;
    bool pending_space = false;
    for (size_t i = 0; i < text.size();) {
        unsigned char byte = static_cast<unsigned char>(text[i]);
        char32_t cp;
        bool white;
        if (byte < 0x80) {
            cp = byte, ++i;
            white = byte == ' ' || (byte >= '\t' && byte <= '\r');
        } else {
            cp = text::next_code_point(text, i);
            white = text::is_white_space(cp);
        }
        if (white) {
            // Normal text has single spaces between other code points only.
            if (cp != ' ' || count == 0 || pending_space) normal = false;
            pending_space = count > 0;
            continue;
        }
        if (pending_space) shift_in(' ');
        pending_space = false;
        shift_in(cp);
    }
    if (pending_space) normal = false;
    if (count > 0 && count < SHINGLE_LENGTH) take(tagged(window, count));
    return normal;
}

// The table's hash: its top bits pick the slot. Two products are cheaper than
// mixing every bit, and their high bits depend on every bit of the key.
uint64_t slot_hash(ShingleKey key) {
    return (static_cast<uint64_t>(key) * 0x9e3779b97f4a7c15ull) ^
           (static_cast<uint64_t>(key >> 64) * 0xc2b2ae3d27d4eb4full);
}

}  // namespace

bool ShingleIds::add_text(std::string_view text, std::vector<uint32_t>& ids) {
    if (texts_ == UINT32_MAX) throw Panic("too many texts");
    const uint32_t number = ++texts_;
    keys_.clear();
    hashes_.clear();
    const bool normal = for_each_normalised_shingle_key(text, [&](ShingleKey key) {
        keys_.push_back(key);
        hashes_.push_back(slot_hash(key));
    });
    // The slots of the next keys are fetched while this one is looked up:
    // the table outgrows the first-level cache, and the lookups of one text
    // do not depend on each other until a key is new.
    constexpr size_t AHEAD = 16;
    for (size_t k = 0; k < keys_.size(); ++k) {
        const size_t mask = slots_.size() - 1;
        const int shift = 64 - std::countr_zero(slots_.size());
        if (k + AHEAD < keys_.size()) __builtin_prefetch(&slots_[hashes_[k + AHEAD] >> shift]);
        const ShingleKey key = keys_[k];
        const uint64_t low = static_cast<uint64_t>(key), high = static_cast<uint64_t>(key >> 64);
        size_t at = hashes_[k] >> shift;
        while (slots_[at].high != 0 && (slots_[at].low != low || static_cast<uint32_t>(slots_[at].high) != high))
            at = (at + 1) & mask;
        Slot& slot = slots_[at];
        if (slot.high == 0) {
            if (count_ == UINT32_MAX) throw Panic("too many distinct shingles");
            slot = {low, high | (uint64_t{count_} << 32)};
            ids.push_back(count_++);
            last_text_.push_back(number);
            if (uint64_t{count_} * 2 > slots_.size()) grow();
            continue;
        }
        const uint32_t id = static_cast<uint32_t>(slot.high >> 32);
        if (last_text_[id] == number) continue;
        last_text_[id] = number;
        ids.push_back(id);
    }
    return normal;
}

void ShingleIds::clear() {
    release_if_large();
    std::fill(slots_.begin(), slots_.end(), Slot{});
    last_text_.clear();
    count_ = 0;
    texts_ = 0;
}

void ShingleIds::release_if_large() {
    constexpr size_t KEPT_SLOTS = size_t{1} << 16;
    constexpr size_t KEPT_KEYS = size_t{1} << 16;
    if (slots_.size() > KEPT_SLOTS) {
        slots_ = std::vector<Slot>(1024);
        last_text_ = {};
        count_ = 0;
        texts_ = 0;
    }
    if (keys_.capacity() > KEPT_KEYS) {
        keys_ = {};
        hashes_ = {};
    }
}

void ShingleIds::grow() {
    std::vector<Slot> larger(slots_.size() * 2);
    const size_t mask = larger.size() - 1;
    const int shift = 64 - std::countr_zero(larger.size());
    for (const Slot& slot : slots_) {
        if (slot.high == 0) continue;
        const ShingleKey key = (ShingleKey{static_cast<uint32_t>(slot.high)} << 64) | slot.low;
        size_t at = slot_hash(key) >> shift;
        while (larger[at].high != 0) at = (at + 1) & mask;
        larger[at] = slot;
    }
    slots_.swap(larger);
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
