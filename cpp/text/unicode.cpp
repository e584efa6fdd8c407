#include "text/unicode.hpp"

#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <vector>

#include "arch/bytes.hpp"
#include "text/unicode_tables.hpp"

namespace velkin::text {

namespace {

constexpr char32_t replacement_character = 0xFFFD;
constexpr uint64_t high_bits = 0x8080808080808080ull;

bool is_continuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

// Start of the code point that ends at `end` (exclusive).
size_t previous_code_point_start(std::string_view text, size_t end) {
    size_t i = end - 1;
    size_t floor = end >= 4 ? end - 4 : 0;
    while (i > floor && is_continuation(static_cast<unsigned char>(text[i]))) --i;
    return i;
}

// Calls visit(i) for each i, in order, where text[i] >= floor, until visit
// returns false; returns whether it never did. The bytes looked for are
// rare in most text, so whole blocks of bytes are compared at once.
template <class Visit>
bool visit_bytes_from(std::string_view text, unsigned char floor, Visit&& visit) {
    const auto* data = reinterpret_cast<const unsigned char*>(text.data());
    const size_t size = text.size();
    size_t i = 0;
    // Sixty-four bytes per step: fewer ends of the inner loop, which the
    // processor cannot predict.
    auto mask_of = [&](size_t at) { return static_cast<uint64_t>(arch::at_or_above(data + at, floor)); };
    for (; i + 64 <= size; i += 64) {
        uint64_t mask = mask_of(i) | mask_of(i + 16) << 16 | mask_of(i + 32) << 32 | mask_of(i + 48) << 48;
        for (; mask; mask &= mask - 1)
            if (!visit(i + static_cast<size_t>(std::countr_zero(mask)))) return false;
    }
    for (; i + 16 <= size; i += 16)
        for (uint64_t mask = mask_of(i); mask; mask &= mask - 1)
            if (!visit(i + static_cast<size_t>(std::countr_zero(mask)))) return false;
    for (; i < size; ++i)
        if (data[i] >= floor && !visit(i)) return false;
    return true;
}

// The code point of the sequence at text[i], whose lead byte is at least
// 0xC2, and its length; replacement_character and 1 when it is ill-formed.
// Mixed-script text has unpredictable sequence lengths, so the common case
// decodes without branching on the length.
char32_t code_point_at(std::string_view text, size_t i, size_t& length) {
    if (text.size() - i < 4) {
        size_t next = i;
        const char32_t cp = next_code_point(text, next);
        length = next - i;
        return cp;
    }
    static constexpr uint32_t lead_bits[5] = {0, 0, 0x1F, 0x0F, 0x07};
    static constexpr uint32_t continuation_mask[5] = {0, 0, 0xC000, 0xC0C000, 0xC0C0C000};
    static constexpr uint32_t continuation_bits[5] = {0, 0, 0x8000, 0x808000, 0x80808000};
    static constexpr uint32_t shortest[5] = {0, 0, 0x80, 0x800, 0x10000};
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data() + i);
    const uint32_t word = bytes[0] | (bytes[1] << 8) | (bytes[2] << 16) | (uint32_t{bytes[3]} << 24);
    const uint32_t lead = bytes[0];
    const size_t n = 2 + (lead >= 0xE0) + (lead >= 0xF0);
    const uint32_t cp = (((lead & lead_bits[n]) << 18) | (((word >> 8) & 0x3F) << 12) | (((word >> 16) & 0x3F) << 6) |
                         ((word >> 24) & 0x3F)) >>
                        (6 * (4 - n));
    const bool well_formed = ((word & continuation_mask[n]) == continuation_bits[n]) & (lead <= 0xF4) &
                             (cp >= shortest[n]) & (cp <= 0x10FFFF) & !(cp >= 0xD800 && cp <= 0xDFFF);
    length = well_formed ? n : 1;
    return well_formed ? cp : replacement_character;
}

// The full lower-case mapping of one code point standing alone (so a capital
// sigma becomes the ordinary small sigma, which only context would make final).
void append_lowercase(char32_t cp, std::string& out) {
    const tables::Record record = tables::record(cp);
    if (record.flags & tables::lowercase_expands) {
        for (char32_t part : tables::lowercase_expansion(cp)) append_utf8(out, part);
    } else {
        append_utf8(out, static_cast<char32_t>(cp + tables::lowercase_delta(record)));
    }
}

bool lowercase_changes(char32_t cp) {
    const tables::Record record = tables::record(cp);
    return (record.flags & tables::lowercase_expands) || tables::lowercase_delta(record) != 0;
}

bool is_nfc_stable_code_point(char32_t cp) {
    const tables::Record record = tables::record(cp);
    return record.combining_class == 0 && !(record.flags & (tables::nfc_maybe | tables::nfc_no));
}

// Facts about every code point, unpacked once from the Unicode tables into bit
// tables (a BMP bit per code point, a supplementary bit per block of 256) for
// the loops over common text.
struct CodePointTables {
    // Quick check Yes and combining class 0: text made only of these is NFC.
    std::array<uint64_t, 0x10000 / 64> nfc_stable{};
    std::array<uint64_t, 0x1000 / 64> nfc_stable_blocks{};  // the whole block is
    // Code points that are not their own lower case.
    std::array<uint64_t, 0x10000 / 64> lowercase_changes{};
    std::array<uint64_t, 0x1000 / 64> lowercase_changes_blocks{};  // some code point of the block does
    // The lower case of the two-byte code points that change, when it is one
    // code point (0 when it is longer).
    std::array<char32_t, 0x800> two_byte_lowercase{};
    // White_Space.
    std::array<uint64_t, 0x10000 / 64> white_space{};
    // Alphabetic, and numeric (general category Nd, Nl or No), of the BMP.
    std::array<uint64_t, 0x10000 / 64> alphabetic{};
    std::array<uint64_t, 0x10000 / 64> numeric{};

    static bool bit(const auto& bits, size_t index) { return (bits[index / 64] >> (index % 64)) & 1; }
    static void set_bit(auto& bits, size_t index) { bits[index / 64] |= uint64_t{1} << (index % 64); }

    bool is_nfc_stable(char32_t cp) const {
        return cp < 0x10000 ? bit(nfc_stable, cp) : bit(nfc_stable_blocks, (cp >> 8) - 0x100);
    }
    bool may_change_when_lowercased(char32_t cp) const {
        return cp < 0x10000 ? bit(lowercase_changes, cp) : bit(lowercase_changes_blocks, (cp >> 8) - 0x100);
    }
    // Per first two bytes of a sequence (lead << 8 | next): clear when every
    // code point whose UTF-8 begins with them is NFC-stable and its own lower
    // case, so that lower-casing valid text passes those code points by unread.
    std::array<uint64_t, 0x10000 / 64> lead_pair_needs_reading{};
    bool needs_reading(unsigned char lead, unsigned char next) const {
        return bit(lead_pair_needs_reading, static_cast<size_t>(lead) << 8 | next);
    }
};

CodePointTables build_code_point_tables() {
    CodePointTables tables;
    for (char32_t cp = 0; cp < 0x10000; ++cp) {
        const uint8_t flags = tables::record(cp).flags;
        if (is_nfc_stable_code_point(cp)) CodePointTables::set_bit(tables.nfc_stable, cp);
        if (lowercase_changes(cp)) CodePointTables::set_bit(tables.lowercase_changes, cp);
        if (flags & tables::white_space) CodePointTables::set_bit(tables.white_space, cp);
        if (flags & tables::alphabetic) CodePointTables::set_bit(tables.alphabetic, cp);
        if (flags & tables::numeric) CodePointTables::set_bit(tables.numeric, cp);
    }
    for (size_t block = 0; block < 0x1000; ++block) {
        const char32_t first = static_cast<char32_t>((block + 0x100) << 8);
        bool stable = true;
        for (char32_t cp = first; cp <= first + 0xFF; ++cp) {
            stable = stable && is_nfc_stable_code_point(cp);
            if (lowercase_changes(cp)) CodePointTables::set_bit(tables.lowercase_changes_blocks, block);
        }
        if (stable) CodePointTables::set_bit(tables.nfc_stable_blocks, block);
    }
    for (unsigned lead = 0xC0; lead <= 0xFF; ++lead) {
        for (unsigned next = 0; next <= 0xFF; ++next) {
            const size_t n = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
            const uint32_t lead_bits = lead & (0x7F >> n);
            const char32_t first = static_cast<char32_t>(((lead_bits << 6) | (next & 0x3F)) << (6 * (n - 2)));
            const char32_t last = first + (char32_t{1} << (6 * (n - 2))) - 1;
            bool plain = (next & 0xC0) == 0x80 && lead >= 0xC2 && lead <= 0xF4 && first >= (n == 3 ? 0x800u : 0x80u) &&
                         !(first >= 0xD800 && first <= 0xDFFF) && (n < 4 || (first >= 0x10000 && last <= 0x10FFFF));
            // Supplementary code points are known by blocks of 256, which a pair covers whole.
            for (char32_t cp = first; plain && cp <= last; cp += cp < 0x10000 ? 1 : 0x100)
                plain = tables.is_nfc_stable(cp) && !tables.may_change_when_lowercased(cp);
            if (!plain) CodePointTables::set_bit(tables.lead_pair_needs_reading, lead << 8 | next);
        }
    }
    for (char32_t cp = 0x80; cp < 0x800; ++cp) {
        const tables::Record record = tables::record(cp);
        if (lowercase_changes(cp) && !(record.flags & tables::lowercase_expands))
            tables.two_byte_lowercase[cp] = static_cast<char32_t>(cp + tables::lowercase_delta(record));
    }
    return tables;
}

const CodePointTables& code_point_tables() {
    static const CodePointTables tables = build_code_point_tables();
    return tables;
}

// True when every code point of `text` is NFC-stable, which settles the
// common case without the normaliser; false says nothing. Bytes from 0xCC
// up start the code points from U+0300 up; all code points below are stable.
bool only_nfc_stable(std::string_view text) {
    const CodePointTables& tables = code_point_tables();
    return visit_bytes_from(text, 0xCC, [&](size_t i) {
        size_t length;
        return tables.is_nfc_stable(code_point_at(text, i, length)) && length > 1;
    });
}

// Hangul syllables decompose and compose by arithmetic rather than by table.
namespace hangul {
constexpr char32_t s_base = 0xAC00, l_base = 0x1100, v_base = 0x1161, t_base = 0x11A7;
constexpr char32_t l_count = 19, v_count = 21, t_count = 28, n_count = v_count * t_count, s_count = l_count * n_count;
}  // namespace hangul

void append_decomposition(char32_t cp, std::u32string& out) {
    using namespace hangul;
    if (cp - s_base < s_count) {
        const char32_t index = cp - s_base;
        out += l_base + index / n_count;
        out += v_base + index % n_count / t_count;
        if (index % t_count) out += t_base + index % t_count;
        return;
    }
    const std::u32string_view parts = tables::canonical_decomposition(cp);
    if (parts.empty())
        out += cp;
    else
        out += parts;
}

char32_t composite(char32_t first, char32_t second) {
    using namespace hangul;
    if (first - l_base < l_count && second - v_base < v_count)
        return s_base + ((first - l_base) * v_count + (second - v_base)) * t_count;
    if (first - s_base < s_count && (first - s_base) % t_count == 0 && second - t_base - 1 < t_count - 1)
        return first + (second - t_base);
    return tables::primary_composite(first, second);
}

uint8_t combining_class(char32_t cp) { return tables::record(cp).combining_class; }

// Appends the NFC of a decomposed segment: its marks put in canonical order,
// then each composed with the last starter unless a mark between blocks it.
void append_composed(std::u32string& decomposed, std::string& out) {
    for (size_t i = 1; i < decomposed.size(); ++i) {
        const char32_t cp = decomposed[i];
        const uint8_t cp_class = combining_class(cp);
        if (cp_class == 0) continue;
        size_t at = i;
        for (; at > 0 && combining_class(decomposed[at - 1]) > cp_class; --at) decomposed[at] = decomposed[at - 1];
        decomposed[at] = cp;
    }
    size_t starter = 0;
    size_t kept = 1;
    // 256: a leading mark has no starter to compose with.
    int last_class = combining_class(decomposed[0]) == 0 ? 0 : 256;
    for (size_t i = 1; i < decomposed.size(); ++i) {
        const char32_t cp = decomposed[i];
        const int cp_class = combining_class(cp);
        if (last_class < cp_class || last_class == 0) {
            if (const char32_t composed = composite(decomposed[starter], cp)) {
                decomposed[starter] = composed;
                continue;
            }
        }
        if (cp_class == 0) starter = kept;
        last_class = cp_class;
        decomposed[kept++] = cp;
    }
    for (size_t i = 0; i < kept; ++i) append_utf8(out, decomposed[i]);
}

// Appends the NFC of `text`. A code point that is NFC-stable starts a segment
// that normalises independently of what precedes it; only segments holding
// other code points are rewritten. Ill-formed bytes are copied as they are.
void append_nfc(std::string_view text, std::string& out) {
    size_t copied = 0;
    size_t segment = 0;
    std::u32string decomposed;
    // Whether the code point at `at` ends a segment; advances `at` past it either way.
    auto starts_segment = [&](size_t& at, bool& ill_formed) {
        const size_t start = at;
        const char32_t cp = next_code_point(text, at);
        ill_formed = cp == replacement_character && at - start == 1;
        return ill_formed || is_nfc_stable_code_point(cp);
    };
    for (size_t i = 0; i < text.size();) {
        const size_t start = i;
        bool ill_formed;
        if (starts_segment(i, ill_formed)) {
            segment = ill_formed ? i : start;
            continue;
        }
        size_t end = i;
        for (size_t next = end; next < text.size() && !starts_segment(next, ill_formed);) end = next;
        out.append(text, copied, segment - copied);
        decomposed.clear();
        for (size_t at = segment; at < end;) append_decomposition(next_code_point(text, at), decomposed);
        append_composed(decomposed, out);
        copied = segment = i = end;
    }
    out.append(text, copied);
}

// A-Z to a-z in place, eight bytes at a time; other bytes are left alone.
// Adding to the low seven bits of a byte cannot carry into the next byte, so
// the high bits of the sums mark the upper-case letters.
void lowercase_ascii_letters(char* data, size_t size) {
    constexpr uint64_t ones = 0x0101010101010101ull;
    size_t i = 0;
    for (; i + 8 <= size; i += 8) {
        uint64_t word;
        std::memcpy(&word, data + i, 8);
        const uint64_t low_bits = word & ~high_bits;
        const uint64_t upper = (low_bits + ones * (0x80 - 'A')) & ~(low_bits + ones * (0x80 - 'Z' - 1)) & ~word &
                               high_bits;
        word |= upper >> 2;
        std::memcpy(data + i, &word, 8);
    }
    for (; i < size; ++i)
        if (data[i] >= 'A' && data[i] <= 'Z') data[i] = static_cast<char>(data[i] + ('a' - 'A'));
}

std::array<bool, 128> ascii_white_space_table() {
    std::array<bool, 128> table{};
    for (char c : {'\t', '\n', '\v', '\f', '\r', ' '}) table[static_cast<unsigned char>(c)] = true;
    return table;
}
const std::array<bool, 128> ascii_white_space = ascii_white_space_table();

}  // namespace

char32_t next_code_point(std::string_view text, size_t& i) {
    auto byte = [&](size_t at) { return static_cast<unsigned char>(text[at]); };
    unsigned char lead = byte(i);
    if (lead < 0x80) {
        ++i;
        return lead;
    }
    size_t length;
    char32_t cp;
    char32_t minimum;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2, cp = lead & 0x1F, minimum = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3, cp = lead & 0x0F, minimum = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4, cp = lead & 0x07, minimum = 0x10000;
    } else {
        ++i;
        return replacement_character;
    }
    if (text.size() - i < length) {
        ++i;
        return replacement_character;
    }
    for (size_t k = 1; k < length; ++k) {
        if (!is_continuation(byte(i + k))) {
            ++i;
            return replacement_character;
        }
        cp = (cp << 6) | (byte(i + k) & 0x3F);
    }
    if (cp < minimum || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
        ++i;
        return replacement_character;
    }
    i += length;
    return cp;
}

void append_utf8(std::string& out, char32_t cp) {
    if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) cp = replacement_character;
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        char bytes[2] = {static_cast<char>(0xC0 | (cp >> 6)), static_cast<char>(0x80 | (cp & 0x3F))};
        out.append(bytes, 2);
    } else if (cp < 0x10000) {
        char bytes[3] = {static_cast<char>(0xE0 | (cp >> 12)), static_cast<char>(0x80 | ((cp >> 6) & 0x3F)),
                         static_cast<char>(0x80 | (cp & 0x3F))};
        out.append(bytes, 3);
    } else {
        char bytes[4] = {static_cast<char>(0xF0 | (cp >> 18)), static_cast<char>(0x80 | ((cp >> 12) & 0x3F)),
                         static_cast<char>(0x80 | ((cp >> 6) & 0x3F)), static_cast<char>(0x80 | (cp & 0x3F))};
        out.append(bytes, 4);
    }
}

bool is_nfc(std::string_view text) {
    if (only_nfc_stable(text)) return true;
    // The quick check: a code point never in NFC, or marks out of order, settle it; a code
    // point that may compose with what precedes it needs the text normalised.
    uint8_t last_class = 0;
    bool maybe = false;
    for (size_t i = 0; i < text.size();) {
        const tables::Record record = tables::record(next_code_point(text, i));
        if ((record.flags & tables::nfc_no) || (record.combining_class != 0 && last_class > record.combining_class))
            return false;
        maybe = maybe || (record.flags & tables::nfc_maybe);
        last_class = record.combining_class;
    }
    if (!maybe) return true;
    std::string normalised;
    normalised.reserve(text.size());
    append_nfc(text, normalised);
    return normalised == text;
}

bool only_nfc_stable(std::span<const char16_t> code_points) {
    const CodePointTables& tables = code_point_tables();
    bool stable = true;
    // No early exit: the loop stays branch-free and text is mostly stable.
    for (char16_t cp : code_points) stable &= CodePointTables::bit(tables.nfc_stable, cp);
    return stable;
}

bool only_nfc_stable(std::span<const char32_t> code_points) {
    const CodePointTables& tables = code_point_tables();
    for (char32_t cp : code_points) {
        if (!tables.is_nfc_stable(cp)) return false;
    }
    return true;
}

std::string nfc(std::string_view text) {
    if (is_nfc(text)) return std::string(text);
    std::string out;
    out.reserve(text.size());
    append_nfc(text, out);
    return out;
}

namespace {

// Appends lowercase(text) to `out`; returns whether every code point of
// valid text is NFC-stable (which makes it NFC; false says nothing).
bool append_lowercase_of_stable(std::string_view text, std::string& out) {
    const CodePointTables& tables = code_point_tables();
    const size_t start = out.size();
    out.append(text);
    lowercase_ascii_letters(out.data() + start, text.size());
    bool stable = true;
    // Mappings that change the length wait until the scan is over.
    struct Splice {
        size_t position;
        size_t length;
        std::string replacement;
    };
    std::vector<Splice> splices;
    // U+00C0, the first code point beyond ASCII with a lower case, starts with 0xC3.
    visit_bytes_from(text, 0xC3, [&](size_t i) {
        if (i + 1 < text.size() && !tables.needs_reading(text[i], text[i + 1])) return true;
        size_t length;
        const char32_t cp = code_point_at(text, i, length);
        // Code points below U+0300 (lead bytes below 0xCC) are all stable.
        stable = stable && (static_cast<unsigned char>(text[i]) < 0xCC || (tables.is_nfc_stable(cp) && length > 1));
        if (!tables.may_change_when_lowercased(cp) || length == 1) return true;  // ill-formed bytes stay
        std::string lower;
        if (cp < 0x800 && tables.two_byte_lowercase[cp])
            append_utf8(lower, tables.two_byte_lowercase[cp]);
        else
            append_lowercase(cp, lower);
        if (lower.size() == length)
            std::memcpy(out.data() + start + i, lower.data(), length);
        else
            splices.push_back({i, length, std::move(lower)});
        return true;
    });
    if (splices.empty()) return stable;
    const std::string lowered = out.substr(start);
    out.resize(start);
    size_t copied = 0;
    for (const Splice& splice : splices) {
        out.append(lowered, copied, splice.position - copied);
        out += splice.replacement;
        copied = splice.position + splice.length;
    }
    out.append(lowered, copied);
    return stable;
}

}  // namespace

std::string lowercase(std::string_view text) {
    std::string out;
    append_lowercase_of_stable(text, out);
    return out;
}

namespace {

// Appends lowercase(text) of ASCII text (which is NFC) in one pass, sixteen
// bytes at a time; false, with `out` as it was, for text beyond ASCII.
bool append_lowercase_of_ascii(std::string_view text, std::string& out) {
    const size_t start = out.size();
    out.append(text);
    auto* data = reinterpret_cast<unsigned char*>(out.data() + start);
    const size_t size = text.size();
    size_t i = 0;
    for (; i + 16 <= size; i += 16) {
        if (!arch::lower_ascii(data + i)) {
            out.resize(start);
            return false;
        }
    }
    for (; i < size; ++i) {
        if (data[i] >= 0x80) {
            out.resize(start);
            return false;
        }
        if (data[i] >= 'A' && data[i] <= 'Z') data[i] += 'a' - 'A';
    }
    return true;
}

}  // namespace

bool append_lowercase_checking_nfc(std::string_view text, std::string& out) {
    return append_lowercase_of_ascii(text, out) || append_lowercase_of_stable(text, out) || is_nfc(text);
}

bool is_white_space(char32_t cp) {
    if (cp < 0x80) return ascii_white_space[cp];
    const CodePointTables& tables = code_point_tables();
    if (cp < 0x10000) return CodePointTables::bit(tables.white_space, cp);
    return cp <= 0x10FFFF && (tables::record(cp).flags & tables::white_space);
}

bool is_alphabetic(char32_t cp) {
    if (cp < 0x80) return (cp >= 'a' && cp <= 'z') || (cp >= 'A' && cp <= 'Z');
    if (cp < 0x10000) return CodePointTables::bit(code_point_tables().alphabetic, cp);
    return tables::record(cp).flags & tables::alphabetic;
}

bool is_numeric(char32_t cp) {
    if (cp < 0x80) return cp >= '0' && cp <= '9';
    if (cp < 0x10000) return CodePointTables::bit(code_point_tables().numeric, cp);
    return tables::record(cp).flags & tables::numeric;
}

std::string debug_quoted(std::string_view text) {
    static constexpr char HEX[] = "0123456789abcdef";
    std::string out = "\"";
    for (size_t i = 0; i < text.size();) {
        const size_t start = i;
        const char32_t cp = next_code_point(text, i);
        switch (cp) {
            case U'"': out += "\\\""; continue;
            case U'\\': out += "\\\\"; continue;
            case U'\n': out += "\\n"; continue;
            case U'\r': out += "\\r"; continue;
            case U'\t': out += "\\t"; continue;
            case U'\0': out += "\\0"; continue;
            default: break;
        }
        if (!(tables::record(cp).flags & tables::escaped_in_debug)) {
            out.append(text, start, i - start);
            continue;
        }
        out += "\\u{";
        int shift = 20;
        while (shift > 0 && (cp >> shift) == 0) shift -= 4;
        for (; shift >= 0; shift -= 4) out.push_back(HEX[(cp >> shift) & 15]);
        out += "}";
    }
    out += "\"";
    return out;
}

std::string_view trim_white_space(std::string_view text) {
    size_t begin = 0;
    while (begin < text.size()) {
        size_t next = begin;
        if (!is_white_space(next_code_point(text, next))) break;
        begin = next;
    }
    return trim_white_space_end(text.substr(begin));
}

std::string_view trim_white_space_end(std::string_view text) {
    size_t end = text.size();
    while (end > 0) {
        size_t start = previous_code_point_start(text, end);
        size_t at = start;
        if (!is_white_space(next_code_point(text, at))) break;
        end = start;
    }
    return text.substr(0, end);
}

}  // namespace velkin::text
