#pragma once
// What the Unicode Character Database says of each code point, as far as the
// services of unicode.hpp need it. The tables are generated from a pinned UCD
// version by tools/make_unicode_tables.py (unicode_tables.cpp).
#include <cstdint>
#include <string_view>

namespace velkin::text::tables {

inline constexpr std::string_view unicode_version = "15.0.0";

enum Flag : uint8_t {
    nfc_maybe = 1,  // NFC_Quick_Check=Maybe: may combine with what precedes it
    nfc_no = 2,     // NFC_Quick_Check=No: never in NFC text
    white_space = 4,
    alphabetic = 8,
    numeric = 16,            // general category Nd, Nl or No
    escaped_in_debug = 32,   // not printable (Cc Cf Cs Co Cn Zl Zp, Zs but the space) or a grapheme extender
    lowercase_expands = 64,  // the full lower case is several code points
};

struct Record {
    uint8_t combining_class;
    uint8_t flags;
    uint8_t lowercase;  // index of the lower-case delta, read through lowercase_delta
};

struct LowercaseExpansion {
    uint8_t length;
    char32_t parts[3];
};

Record record(char32_t cp);
// The lower case of a code point whose lower case is one code point is cp + this.
int32_t lowercase_delta(const Record& record);
// The full lower case of a code point flagged lowercase_expands.
std::u32string_view lowercase_expansion(char32_t cp);
// The full canonical decomposition; empty for a code point that has none
// (Hangul syllables included: theirs is computed).
std::u32string_view canonical_decomposition(char32_t cp);
// The primary composite of the pair, or 0 (Hangul syllables excluded).
char32_t primary_composite(char32_t first, char32_t second);

}  // namespace velkin::text::tables
