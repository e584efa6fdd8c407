#include "diff/shingles.hpp"

#include <algorithm>
#include <bit>
#include <utility>

#include "arch/bytes.hpp"
#include "platform/result.hpp"
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

bool is_ascii_white(unsigned char byte) { return byte == ' ' || (byte >= '\t' && byte <= '\r'); }

enum class AsciiForm { Normal, NotNormal, NotAscii };

// Whether the text is ASCII and, if so, already whitespace-normalised (single
// spaces between other characters only), sixteen bytes at a time.
AsciiForm ascii_form(std::string_view text) {
    using arch::Bytes16, arch::splat16, arch::top_bits;
    bool normal = text.empty() || (!is_ascii_white(static_cast<unsigned char>(text.front())) &&
                                   !is_ascii_white(static_cast<unsigned char>(text.back())));
    uint32_t space_before = 0;  // bit 0: the byte before these sixteen is a space
    for (size_t at = 0; at < text.size(); at += 16) {
        Bytes16 lanes{};  // the bytes past the end read as NUL, which is neither white nor wide
        if (at + 16 <= text.size()) {
            lanes = arch::load16(text.data() + at);
        } else {
            std::memcpy(&lanes, text.data() + at, text.size() - at);
        }
        if (top_bits(lanes)) return AsciiForm::NotAscii;
        const uint32_t spaces = top_bits(lanes == splat16(' '));
        const uint32_t controls = top_bits((lanes >= splat16('\t')) & (lanes <= splat16('\r')));
        if (controls | (spaces & ((spaces << 1) | space_before))) normal = false;
        space_before = spaces >> 15;
    }
    return normal ? AsciiForm::Normal : AsciiForm::NotNormal;
}

// normalise_whitespace of ASCII text.
void normalise_ascii(std::string_view text, std::string& out) {
    out.clear();
    bool pending_space = false;
    for (char c : text) {
        if (is_ascii_white(static_cast<unsigned char>(c))) {
            pending_space = !out.empty();
            continue;
        }
        if (pending_space) out.push_back(' ');
        pending_space = false;
        out.push_back(c);
    }
}

// Writes the code points of normalise_whitespace(text) to `out`, which has
// room for text.size(); returns how many, and whether the text was already normalised.
std::pair<size_t, bool> normalised_code_points(std::string_view text, char32_t* out) {
    size_t written = 0;
    bool normal = true;
    bool pending_space = false;
    for (size_t i = 0; i < text.size();) {
        unsigned char byte = static_cast<unsigned char>(text[i]);
        char32_t cp;
        bool white;
        if (byte < 0x80) {
            cp = byte, ++i;
            white = is_ascii_white(byte);
        } else {
            cp = text::next_code_point(text, i);
            white = text::is_white_space(cp);
        }
        if (white) {
            // Normal text has single spaces between other code points only.
            if (cp != ' ' || written == 0 || pending_space) normal = false;
            pending_space = written > 0;
            continue;
        }
        if (pending_space) out[written++] = ' ';
        pending_space = false;
        out[written++] = cp;
    }
    return {written, normal && !pending_space};
}

// The ASCII table is kept at most a quarter full: its slots are half as wide
// as the others, and short probes spare most mispredicted branches.
constexpr uint64_t ASCII_LOAD_LIMIT = 4;

// The tables' hashes: the top bits pick the slot. Products are cheaper than
// mixing every bit, and their high bits depend on every bit of the key. The
// ASCII table's is a 32-bit product, whose factor fits in the instruction.
uint32_t ascii_slot_hash(uint32_t key) { return key * 0x9e3779b1u; }
uint64_t slot_hash(ShingleKey key) {
    return (static_cast<uint64_t>(key) * 0x9e3779b97f4a7c15ull) ^
           (static_cast<uint64_t>(key >> 64) * 0xc2b2ae3d27d4eb4full);
}

template <class Slots>
int shift_of(const Slots& slots) {
    return 64 - std::countr_zero(slots.size());
}
// An ASCII table holds at most 2^28 keys (four ASCII bytes) in four times as many slots: 32 bits of hash suffice.
template <class Slots>
int ascii_shift_of(const Slots& slots) {
    return 32 - std::countr_zero(slots.size());
}

// The slots of the windows a few ahead are fetched while one is looked up:
// a large report's table outgrows the second-level cache, and the lookups of
// one text do not depend on each other until a shingle is new.
constexpr size_t AHEAD = 16;
// Tables this small stay in the second-level cache, whose latency the lookups of
// one text overlap by themselves: fetching ahead would only cost instructions.
constexpr size_t NEAR_TABLE_BYTES = 256 * 1024;

}  // namespace

bool ShingleIds::add_text(std::string_view text, std::vector<uint32_t>& ids) {
    if (texts_ == UINT32_MAX) throw Panic("too many texts");
    const uint32_t number = ++texts_;
    AsciiForm form = ascii_form(text);
    if (form != AsciiForm::NotAscii) {
        std::string_view normal = text;
        if (form == AsciiForm::NotNormal) {
            normalise_ascii(text, normal_bytes_);
            normal = normal_bytes_;
        }
        if (normal.size() < SHINGLE_LENGTH) {
            ShingleKey packed = 0;
            for (char c : normal) packed = (packed << CODE_POINT_BITS) | static_cast<unsigned char>(c);
            if (!normal.empty())
                add_windows(
                    1, [](size_t) { return EMPTY_ASCII; }, [&](size_t) { return tagged(packed, normal.size()); },
                    number, ids);
            return form == AsciiForm::Normal;
        }
        add_ascii_windows(normal, number, ids);
        return form == AsciiForm::Normal;
    }

    // Buffers that outlive the text, written through pointers: stores
    // through them would otherwise make the loops reload their ends.
    code_points_.resize(text.size());
    const auto [size, normal] = normalised_code_points(text, code_points_.data());
    const char32_t* cps = code_points_.data();
    if (size < SHINGLE_LENGTH) {
        ShingleKey packed = 0;
        for (size_t c = 0; c < size; ++c) packed = (packed << CODE_POINT_BITS) | cps[c];
        if (size > 0)
            add_windows(
                1, [](size_t) { return EMPTY_ASCII; }, [&](size_t) { return tagged(packed, size); }, number, ids);
        return normal;
    }
    // Every window's key first, in one pass that shifts each code point in
    // once; windows of ASCII characters only have the key they have in ASCII
    // texts, and no wide key.
    const size_t windows = size - SHINGLE_LENGTH + 1;
    ascii_keys_.resize(windows);
    wide_keys_.resize(windows);
    uint32_t* ascii_keys = ascii_keys_.data();
    ShingleKey* wide_keys = wide_keys_.data();
    ShingleKey window = 0;
    uint32_t bytes = 0;
    size_t wide_until = 0;  // windows before this one hold a code point beyond ASCII
    for (size_t c = 0; c < size; ++c) {
        window = ((window << CODE_POINT_BITS) | cps[c]) & WINDOW_MASK;
        bytes = (bytes >> 8) | (static_cast<uint32_t>(cps[c] & 0x7f) << 24);
        if (cps[c] >= 0x80) wide_until = c + 1;
        if (c + 1 < SHINGLE_LENGTH) continue;
        const size_t k = c + 1 - SHINGLE_LENGTH;
        const bool ascii = k >= wide_until;
        ascii_keys[k] = ascii ? bytes : EMPTY_ASCII;
        wide_keys[k] = ascii ? 0 : tagged(window, SHINGLE_LENGTH);
    }
    add_windows(windows, [&](size_t k) { return ascii_keys[k]; }, [&](size_t k) { return wide_keys[k]; }, number, ids);
    return normal;
}

// The windows of an ASCII text at least a window long, each key its four
// bytes as they lie in the text: add_windows without the wide table, in a
// loop that keeps the table and the output in registers (one pointer walks
// the windows, and the hash's factor is no register). A new shingle is added
// in the loop, which it leaves only when the table must grow.
void ShingleIds::add_ascii_windows(std::string_view text, uint32_t number, std::vector<uint32_t>& ids) {
    const size_t windows = text.size() - SHINGLE_LENGTH + 1;
    size_t written = ids.size();
    ids.resize(written + windows);
    uint32_t* const out = ids.data();
    const char* const end = text.data() + windows;
    uint32_t* const last_text = last_text_for(windows);
    auto key_at = [](const char* window) {
        uint32_t key;
        std::memcpy(&key, window, sizeof key);
        return key;
    };
    // Windows from `window` on, until the table is full enough to grow.
    auto windows_until_full = [&]<bool FETCH_AHEAD>(const char*& at_window) {
        AsciiSlot* const slots = ascii_slots_.data();
        const uint32_t mask = static_cast<uint32_t>(ascii_slots_.size() - 1);
        const int shift = ascii_shift_of(ascii_slots_);
        const uint64_t full = ascii_slots_.size() / ASCII_LOAD_LIMIT;
        uint32_t* const into = out;
        size_t count = written;
        uint32_t next_id = count_;
        uint64_t held_keys = ascii_count_;
        const char* window = at_window;
        const char* const last_pair = end - 1;  // windows before it have a window after them
        // Without a branch: whether a shingle repeats within a text is a coin toss.
        // No text drawn an id after this one: a compare and a carry say it is new.
        auto seen = [&](uint32_t id) {
            into[count] = id;
            count += last_text[id] < number;
            last_text[id] = number;
        };
        while (window < end) {
            // Two windows a turn while both are in their first slots, as most are.
            for (; window < last_pair; window += 2) {
                if (FETCH_AHEAD && end - window > static_cast<ptrdiff_t>(AHEAD + 1)) {
                    __builtin_prefetch(&slots[ascii_slot_hash(key_at(window + AHEAD)) >> shift]);
                    __builtin_prefetch(&slots[ascii_slot_hash(key_at(window + AHEAD + 1)) >> shift]);
                }
                const uint32_t first = key_at(window), second = key_at(window + 1);
                const AsciiSlot& first_slot = slots[ascii_slot_hash(first) >> shift];
                const AsciiSlot& second_slot = slots[ascii_slot_hash(second) >> shift];
                if (first_slot.key != first) break;
                seen(first_slot.id);
                if (second_slot.key != second) {
                    ++window;
                    break;
                }
                seen(second_slot.id);
            }
            if (window == end) break;
            if (FETCH_AHEAD && end - window > static_cast<ptrdiff_t>(AHEAD))
                __builtin_prefetch(&slots[ascii_slot_hash(key_at(window + AHEAD)) >> shift]);
            const uint32_t key = key_at(window++);
            uint32_t at = ascii_slot_hash(key) >> shift;
            if (slots[at].key != key) [[unlikely]] {
                uint32_t held;
                while ((held = slots[at].key) != key && held != EMPTY_ASCII) at = (at + 1) & mask;
                if (held == EMPTY_ASCII) {
                    if (next_id == UINT32_MAX) throw Panic("too many distinct shingles");
                    slots[at] = {key, next_id};
                    into[count++] = next_id;
                    last_text[next_id++] = number;
                    if (++held_keys > full) break;
                    continue;
                }
            }
            seen(slots[at].id);
        }
        at_window = window;
        written = count;
        count_ = next_id;
        ascii_count_ = static_cast<uint32_t>(held_keys);
    };
    for (const char* window = text.data();;) {
        const bool far = ascii_slots_.size() * sizeof(AsciiSlot) + slots_.size() * sizeof(Slot) > NEAR_TABLE_BYTES;
        if (far)
            windows_until_full.template operator()<true>(window);
        else
            windows_until_full.template operator()<false>(window);
        if (uint64_t{ascii_count_} * ASCII_LOAD_LIMIT > ascii_slots_.size()) grow_ascii();
        if (window == end) break;
    }
    ids.resize(written);
}

// Looks up the windows 0..windows - 1, whose keys are ascii_key_at(k), or
// wide_key_at(k) where that is 0, and appends the ids of the shingles that
// are new to text `number`. The loop keeps the tables and the output in
// locals, which stores through the id pointers would otherwise make it
// reload; only a new shingle, which may grow a table, refreshes them.
template <class AsciiKeyAt, class WideKeyAt>
void ShingleIds::add_windows(size_t windows, AsciiKeyAt ascii_key_at, WideKeyAt wide_key_at, uint32_t number,
                             std::vector<uint32_t>& ids) {
    size_t written = ids.size();
    ids.resize(written + windows);
    uint32_t* out = ids.data();
    AsciiSlot* ascii_slots = nullptr;
    Slot* slots = nullptr;
    size_t ascii_mask = 0, mask = 0;
    int ascii_shift = 0, shift = 0;
    uint32_t* const last_text = last_text_for(windows);
    bool fetch_ahead = false;
    auto refresh = [&] {
        fetch_ahead = ascii_slots_.size() * sizeof(AsciiSlot) + slots_.size() * sizeof(Slot) > NEAR_TABLE_BYTES;
        ascii_slots = ascii_slots_.data(), ascii_mask = ascii_slots_.size() - 1,
        ascii_shift = ascii_shift_of(ascii_slots_);
        slots = slots_.data(), mask = slots_.size() - 1, shift = shift_of(slots_);
    };
    refresh();
    // Without a branch: whether a shingle repeats within a text is a coin toss.
    // No text drawn an id after this one: a compare and a carry say it is new.
    auto seen = [&](uint32_t id) {
        out[written] = id;
        written += last_text[id] < number;
        last_text[id] = number;
    };
    auto next_id = [&] {
        if (count_ == UINT32_MAX) throw Panic("too many distinct shingles");
        out[written++] = count_;
        last_text[count_] = number;
        return count_++;
    };
    for (size_t k = 0; k < windows; ++k) {
        if (fetch_ahead && k + AHEAD < windows) {
            if (const uint32_t ahead = ascii_key_at(k + AHEAD); ahead != EMPTY_ASCII)
                __builtin_prefetch(&ascii_slots[ascii_slot_hash(ahead) >> ascii_shift]);
            else
                __builtin_prefetch(&slots[slot_hash(wide_key_at(k + AHEAD)) >> shift]);
        }
        if (const uint32_t key = ascii_key_at(k); key != EMPTY_ASCII) {
            size_t at = ascii_slot_hash(key) >> ascii_shift;
            while (ascii_slots[at].key != EMPTY_ASCII && ascii_slots[at].key != key) at = (at + 1) & ascii_mask;
            if (ascii_slots[at].key != EMPTY_ASCII) {
                seen(ascii_slots[at].id);
                continue;
            }
            ascii_slots[at] = {key, next_id()};
            if (uint64_t{++ascii_count_} * ASCII_LOAD_LIMIT > ascii_slots_.size()) grow_ascii();
        } else {
            const ShingleKey wide = wide_key_at(k);
            const uint64_t low = static_cast<uint64_t>(wide), high = static_cast<uint64_t>(wide >> 64);
            size_t at = slot_hash(wide) >> shift;
            while (slots[at].high != 0 && (slots[at].low != low || static_cast<uint32_t>(slots[at].high) != high))
                at = (at + 1) & mask;
            if (slots[at].high != 0) {
                seen(static_cast<uint32_t>(slots[at].high >> 32));
                continue;
            }
            slots[at] = {low, high | (uint64_t{next_id()} << 32)};
            if (uint64_t{++wide_count_} * 2 > slots_.size()) grow_wide();
        }
        refresh();
    }
    ids.resize(written);
}

uint32_t* ShingleIds::last_text_for(size_t more) {
    const size_t needed = size_t{count_} + more;
    if (last_text_.size() < needed) last_text_.resize(std::max(needed, 2 * last_text_.size()));
    return last_text_.data();
}

void ShingleIds::clear() {
    release_if_large();
    std::fill(ascii_slots_.begin(), ascii_slots_.end(), AsciiSlot{});
    std::fill(slots_.begin(), slots_.end(), Slot{});
    // last_text_ keeps its entries: each is written when its id is drawn again, before any read.
    ascii_count_ = wide_count_ = count_ = 0;
    texts_ = 0;
}

void ShingleIds::release_if_large() {
    constexpr size_t KEPT_SLOTS = size_t{1} << 16;
    constexpr size_t KEPT_BUFFER = size_t{1} << 16;
    if (ascii_slots_.size() > KEPT_SLOTS || slots_.size() > KEPT_SLOTS) {
        ascii_slots_ = std::vector<AsciiSlot>(1024);
        slots_ = std::vector<Slot>(64);
        last_text_ = {};
        ascii_count_ = wide_count_ = count_ = 0;
        texts_ = 0;
    }
    if (normal_bytes_.capacity() > KEPT_BUFFER) normal_bytes_ = {};
    if (code_points_.capacity() > KEPT_BUFFER) {
        code_points_ = {};
        ascii_keys_ = {};
        wide_keys_ = {};
    }
}

void ShingleIds::grow_ascii() {
    std::vector<AsciiSlot> larger(ascii_slots_.size() * 2);
    const size_t mask = larger.size() - 1;
    const int shift = ascii_shift_of(larger);
    for (const AsciiSlot& slot : ascii_slots_) {
        if (slot.key == EMPTY_ASCII) continue;
        size_t at = ascii_slot_hash(slot.key) >> shift;
        while (larger[at].key != EMPTY_ASCII) at = (at + 1) & mask;
        larger[at] = slot;
    }
    ascii_slots_.swap(larger);
}

void ShingleIds::grow_wide() {
    std::vector<Slot> larger(slots_.size() * 2);
    const size_t mask = larger.size() - 1;
    const int shift = shift_of(larger);
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
