#pragma once
// Unicode services over UTF-8 text, from the tables of unicode_tables.hpp
// (Unicode 15.0). Inputs are valid UTF-8.
#include <cstddef>
#include <span>
#include <string>
#include <string_view>

namespace velkin::text {

// Decodes the code point starting at text[i] and advances i past it.
char32_t next_code_point(std::string_view text, size_t& i);
void append_utf8(std::string& out, char32_t cp);

// Normalization Form C; returns the input unchanged (one copy) when it is already NFC.
std::string nfc(std::string_view text);
bool is_nfc(std::string_view text);
// Whether every code point is NFC-stable (quick check Yes, combining class 0),
// which makes the text NFC without normalising it. For text held one code point per
// element, as the interpreter stores a str.
bool only_nfc_stable(std::span<const char16_t> code_points);
bool only_nfc_stable(std::span<const char32_t> code_points);

// Full lower-case mapping, one code point at a time, without context
// (capital sigma always becomes the ordinary small sigma).
std::string lowercase(std::string_view text);
// Appends lowercase(text) to `out` and returns is_nfc(text), for most text
// from the one pass.
bool append_lowercase_checking_nfc(std::string_view text, std::string& out);

bool is_white_space(char32_t cp);
bool is_alphabetic(char32_t cp);
// General category Nd, Nl or No.
bool is_numeric(char32_t cp);

// The text in double quotes, as a debug representation shows it so that a
// reader of a message can see every character: \0 \t \r \n \\ \" as such;
// as \u{hex} every character that is not printable (general category Cc, Cf,
// Cs, Co, Cn, Zl, Zp, or Zs other than the space) and every grapheme extender;
// everything else as it is.
std::string debug_quoted(std::string_view text);

// Removes White_Space code points from both ends / from the end.
std::string_view trim_white_space(std::string_view text);
std::string_view trim_white_space_end(std::string_view text);

}  // namespace velkin::text
