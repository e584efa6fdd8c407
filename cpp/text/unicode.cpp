#include "text/unicode.hpp"

#include <unicode/bytestream.h>
#include <unicode/casemap.h>
#include <unicode/normalizer2.h>
#include <unicode/uchar.h>
#include <unicode/uniset.h>

#include <array>
#include <climits>
#include <cstdint>
#include <cstring>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "json/result.hpp"

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

const icu::Normalizer2& nfc_normalizer() {
    UErrorCode status = U_ZERO_ERROR;
    const icu::Normalizer2* normalizer = icu::Normalizer2::getNFCInstance(status);
    if (U_FAILURE(status) || normalizer == nullptr)
        throw Panic(std::string("ICU NFC data unavailable: ") + u_errorName(status));
    return *normalizer;
}

// Calls visit(i) for each i, in order, where text[i] >= floor, until visit
// returns false; returns whether it never did. The bytes looked for are
// rare in most text, so whole blocks of bytes are compared at once.
template <class Visit>
bool visit_bytes_from(std::string_view text, unsigned char floor, Visit&& visit) {
    const auto* data = reinterpret_cast<const unsigned char*>(text.data());
    const size_t size = text.size();
    size_t i = 0;
#if defined(__SSE2__)
    // Sixty-four bytes per step: fewer ends of the inner loop, which the
    // processor cannot predict.
    const __m128i bound = _mm_set1_epi8(static_cast<char>(floor));
    auto mask_of = [&](size_t at) {
        const __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + at));
        return static_cast<uint64_t>(
            static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_max_epu8(chunk, bound), chunk))));
    };
    for (; i + 64 <= size; i += 64) {
        uint64_t mask = mask_of(i) | mask_of(i + 16) << 16 | mask_of(i + 32) << 32 | mask_of(i + 48) << 48;
        for (; mask; mask &= mask - 1)
            if (!visit(i + static_cast<size_t>(__builtin_ctzll(mask)))) return false;
    }
    for (; i + 16 <= size; i += 16)
        for (uint64_t mask = mask_of(i); mask; mask &= mask - 1)
            if (!visit(i + static_cast<size_t>(__builtin_ctzll(mask)))) return false;
#endif
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
    const uint32_t cp = (((lead & lead_bits[n]) << 18) | (((word >> 8) & 0x3F) << 12) |
                         (((word >> 16) & 0x3F) << 6) | ((word >> 24) & 0x3F)) >> (6 * (4 - n));
    const bool well_formed = ((word & continuation_mask[n]) == continuation_bits[n]) & (lead <= 0xF4) &
                             (cp >= shortest[n]) & (cp <= 0x10FFFF) & !(cp >= 0xD800 && cp <= 0xDFFF);
    length = well_formed ? n : 1;
    return well_formed ? cp : replacement_character;
}

// ICU's full lower-case mapping of one code point standing alone, as UTF-8.
std::string icu_lowercase(std::string_view code_point);

// Facts about every code point, read from ICU once and kept as bit tables
// (a BMP bit per code point, a supplementary bit per block of 256), so that
// common text needs no ICU call.
struct CodePointTables {
    // Quick check Yes and combining class 0: text made only of these is NFC.
    std::array<uint64_t, 0x10000 / 64> nfc_stable{};
    std::array<uint64_t, 0x1000 / 64> nfc_stable_blocks{};  // the whole block is
    // Changes_When_Lowercased; every other code point is its own lower case.
    std::array<uint64_t, 0x10000 / 64> lowercase_changes{};
    std::array<uint64_t, 0x1000 / 64> lowercase_changes_blocks{};  // some code point of the block does
    // The lower case of the two-byte code points that change, when it is one
    // code point (0 when it is longer).
    std::array<char32_t, 0x800> two_byte_lowercase{};
    // White_Space.
    std::array<uint64_t, 0x10000 / 64> white_space{};
    std::array<uint64_t, 0x1000 / 64> white_space_blocks{};  // some code point of the block is
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

icu::UnicodeSet frozen_set(const char16_t* pattern) {
    UErrorCode status = U_ZERO_ERROR;
    icu::UnicodeSet set(icu::UnicodeString(pattern), status);
    if (U_FAILURE(status)) throw Panic(std::string("ICU character properties unavailable: ") + u_errorName(status));
    set.freeze();
    return set;
}

bool icu_is_alphabetic(char32_t cp) { return u_hasBinaryProperty(static_cast<UChar32>(cp), UCHAR_ALPHABETIC); }

bool icu_is_numeric(char32_t cp) {
    int8_t category = u_charType(static_cast<UChar32>(cp));
    return category == U_DECIMAL_DIGIT_NUMBER || category == U_LETTER_NUMBER || category == U_OTHER_NUMBER;
}

CodePointTables build_code_point_tables() {
    const icu::UnicodeSet stable = frozen_set(u"[[:NFC_Quick_Check=Yes:]&[:Canonical_Combining_Class=0:]]");
    const icu::UnicodeSet changes = frozen_set(u"[:Changes_When_Lowercased:]");
    const icu::UnicodeSet white = frozen_set(u"[:White_Space:]");
    CodePointTables tables;
    for (char32_t cp = 0; cp < 0x10000; ++cp) {
        if (stable.contains(static_cast<UChar32>(cp))) CodePointTables::set_bit(tables.nfc_stable, cp);
        if (changes.contains(static_cast<UChar32>(cp))) CodePointTables::set_bit(tables.lowercase_changes, cp);
        if (white.contains(static_cast<UChar32>(cp))) CodePointTables::set_bit(tables.white_space, cp);
        if (icu_is_alphabetic(cp)) CodePointTables::set_bit(tables.alphabetic, cp);
        if (icu_is_numeric(cp)) CodePointTables::set_bit(tables.numeric, cp);
    }
    for (size_t block = 0; block < 0x1000; ++block) {
        const auto first = static_cast<UChar32>((block + 0x100) << 8);
        if (stable.contains(first, first + 0xFF)) CodePointTables::set_bit(tables.nfc_stable_blocks, block);
        if (changes.containsSome(first, first + 0xFF))
            CodePointTables::set_bit(tables.lowercase_changes_blocks, block);
        if (white.containsSome(first, first + 0xFF)) CodePointTables::set_bit(tables.white_space_blocks, block);
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
        if (!tables.may_change_when_lowercased(cp)) continue;
        std::string utf8;
        append_utf8(utf8, cp);
        const std::string lower = icu_lowercase(utf8);
        size_t at = 0;
        const char32_t single = next_code_point(lower, at);
        if (at == lower.size()) tables.two_byte_lowercase[cp] = single;
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

// ICU measures text in int32_t, so longer texts go through it in pieces.
constexpr size_t icu_max_length = INT32_MAX;

// End of the next piece of at most icu_max_length bytes starting at `begin`.
// NFC pieces may only be cut before a code point that starts a new
// normalisation segment, so that the pieces normalise independently.
size_t nfc_piece_end(std::string_view text, size_t begin, const icu::Normalizer2& normalizer) {
    if (text.size() - begin <= icu_max_length) return text.size();
    size_t cut = previous_code_point_start(text, begin + icu_max_length + 1);
    while (cut > begin) {
        size_t at = cut;
        if (normalizer.hasBoundaryBefore(static_cast<UChar32>(next_code_point(text, at)))) return cut;
        cut = previous_code_point_start(text, cut);
    }
    throw Panic("text has no normalisation boundary within 2 GiB");
}

icu::StringPiece piece_of(std::string_view text) {
    return icu::StringPiece(text.data(), static_cast<int32_t>(text.size()));
}

void append_nfc(std::string_view text, std::string& out) {
    const icu::Normalizer2& normalizer = nfc_normalizer();
    icu::StringByteSink<std::string> sink(&out);
    for (size_t begin = 0; begin < text.size();) {
        size_t end = nfc_piece_end(text, begin, normalizer);
        UErrorCode status = U_ZERO_ERROR;
        normalizer.normalizeUTF8(0, piece_of(text.substr(begin, end - begin)), sink, nullptr, status);
        if (U_FAILURE(status)) throw Panic(std::string("NFC normalisation failed: ") + u_errorName(status));
        begin = end;
    }
}

// ICU's full lower-case mapping in the root locale. A capital sigma between
// letters would get its final form from the context, the root locale's only
// context-dependent mapping; alone it becomes the ordinary small sigma.
std::string icu_lowercase(std::string_view code_point) {
    std::string out;
    icu::StringByteSink<std::string> sink(&out);
    UErrorCode status = U_ZERO_ERROR;
    icu::CaseMap::utf8ToLower("", 0, piece_of(code_point), sink, nullptr, status);
    if (U_FAILURE(status)) throw Panic(std::string("lower-case mapping failed: ") + u_errorName(status));
    return out;
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
        const uint64_t upper =
            (low_bits + ones * (0x80 - 'A')) & ~(low_bits + ones * (0x80 - 'Z' - 1)) & ~word & high_bits;
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
    const icu::Normalizer2& normalizer = nfc_normalizer();
    for (size_t begin = 0; begin < text.size();) {
        size_t end = nfc_piece_end(text, begin, normalizer);
        UErrorCode status = U_ZERO_ERROR;
        bool normalised = normalizer.isNormalizedUTF8(piece_of(text.substr(begin, end - begin)), status);
        if (U_FAILURE(status)) throw Panic(std::string("NFC check failed: ") + u_errorName(status));
        if (!normalised) return false;
        begin = end;
    }
    return true;
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
            lower = icu_lowercase(text.substr(i, length));
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
#if defined(__SSE2__)
    for (; i + 16 <= size; i += 16) {
        const __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + i));
        if (_mm_movemask_epi8(chunk) != 0) {
            out.resize(start);
            return false;
        }
        const __m128i upper = _mm_and_si128(_mm_cmpgt_epi8(chunk, _mm_set1_epi8('A' - 1)),
                                            _mm_cmplt_epi8(chunk, _mm_set1_epi8('Z' + 1)));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(data + i),
                         _mm_or_si128(chunk, _mm_and_si128(upper, _mm_set1_epi8(0x20))));
    }
#endif
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
    if (cp > 0x10FFFF || !CodePointTables::bit(tables.white_space_blocks, (cp >> 8) - 0x100)) return false;
    return u_isUWhiteSpace(static_cast<UChar32>(cp));
}

bool is_alphabetic(char32_t cp) {
    if (cp < 0x80) return (cp >= 'a' && cp <= 'z') || (cp >= 'A' && cp <= 'Z');
    if (cp < 0x10000) return CodePointTables::bit(code_point_tables().alphabetic, cp);
    return icu_is_alphabetic(cp);
}

bool is_numeric(char32_t cp) {
    if (cp < 0x80) return cp >= '0' && cp <= '9';
    if (cp < 0x10000) return CodePointTables::bit(code_point_tables().numeric, cp);
    return icu_is_numeric(cp);
}

static bool escaped_in_debug(char32_t cp) {
    const auto code = static_cast<UChar32>(cp);
    switch (u_charType(code)) {
        case U_CONTROL_CHAR:
        case U_FORMAT_CHAR:
        case U_SURROGATE:
        case U_PRIVATE_USE_CHAR:
        case U_UNASSIGNED:
        case U_LINE_SEPARATOR:
        case U_PARAGRAPH_SEPARATOR: return true;
        case U_SPACE_SEPARATOR: return cp != U' ';
        default: return u_hasBinaryProperty(code, UCHAR_GRAPHEME_EXTEND);
    }
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
        if (!escaped_in_debug(cp)) {
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
