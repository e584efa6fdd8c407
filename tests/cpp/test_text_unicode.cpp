// The Unicode services on cases worked out by hand from the Unicode Character
// Database; test_text_unicode_icu holds them to ICU on every code point.
#include <string>

#include "check.hpp"
#include "text/unicode.hpp"

using namespace velkin::text;

namespace {

std::string utf8(std::u32string_view code_points) {
    std::string out;
    for (char32_t cp : code_points) append_utf8(out, cp);
    return out;
}

}  // namespace

TEST(utf8_round_trips_and_ill_formed_bytes_decode_one_at_a_time) {
    CHECK_EQ(utf8(U"A\u00E9\u20AC\U0010FFFF"), "A\xC3\xA9\xE2\x82\xAC\xF4\x8F\xBF\xBF");
    std::u32string text = U"a\u007F\u0080\u07FF\u0800\uFFFF\U00010000\U0010FFFF";
    std::string encoded = utf8(text);
    std::u32string decoded;
    for (size_t i = 0; i < encoded.size();) decoded.push_back(next_code_point(encoded, i));
    CHECK(decoded == text);
    // Stray continuation, overlong form, encoded surrogate, truncated sequence, beyond U+10FFFF.
    for (std::string_view bad : {"\x80", "\xC0\xAF", "\xED\xA0\x80", "\xE2\x82", "\xF5\x80\x80\x80"}) {
        size_t i = 0;
        CHECK_EQ(static_cast<uint32_t>(next_code_point(bad, i)), 0xFFFDu);
        CHECK_EQ(i, 1u);
    }
}

TEST(nfc_composes_reorders_and_applies_no_compatibility_mappings) {
    CHECK_EQ(nfc(utf8(U"x e\u0301 \u212B")), utf8(U"x \u00E9 \u00C5"));  // singleton angstrom sign
    CHECK_EQ(nfc(utf8(U"\u1100\u1161\u11A8")), utf8(U"\uAC01"));         // conjoining jamo -> syllable
    CHECK_EQ(nfc(utf8(U"a\u0301\u0323")), utf8(U"\u1EA1\u0301"));        // below-dot sorts first, then composes
    CHECK_EQ(nfc(utf8(U"\u0958")), utf8(U"\u0915\u093C"));               // composition exclusion stays apart
    const std::string compatibility = utf8(U"\uFB01\u2460\u00BD\uFF21\u00B2");
    CHECK_EQ(nfc(compatibility), compatibility);
    CHECK_EQ(nfc(utf8(U"\uAC00\u11A8 \u1100\u1161")), utf8(U"\uAC01 \uAC00"));  // LV + T, L + V
    CHECK_EQ(nfc(utf8(U"\u0301e\u0301")), utf8(U"\u0301\u00E9"));               // a leading mark has no starter
    CHECK_EQ(nfc(utf8(U"\u00E9\u0323")), utf8(U"\u1EB9\u0301"));                // decomposed to recompose
    // Ill-formed bytes are kept and end a segment: the mark after one has no starter.
    CHECK_EQ(nfc("e\x80\xCC\x81"), "e\x80\xCC\x81");
    CHECK_EQ(nfc("\xFF"
                 "e\xCC\x81"),
             "\xFF\xC3\xA9");
}

TEST(is_nfc_spelled_out) {
    CHECK(is_nfc(utf8(U"\u00E9\u1EA1\u0301 \uAC01 \u0915\u093C")));
    CHECK(!is_nfc(utf8(U"e\u0301")));        // composes
    CHECK(!is_nfc(utf8(U"x\u0301\u0323")));  // marks out of order
    CHECK(!is_nfc(utf8(U"\u212B")));         // never in NFC
    CHECK(!is_nfc(utf8(U"\u1100\u1161")));   // conjoining jamo compose
    CHECK(is_nfc(utf8(U"x\u0323\u0301")));
}

TEST(debug_quoted_escapes_what_a_reader_cannot_see) {
    CHECK_EQ(debug_quoted(utf8(U"a\"\\\n\t\u00E9 \u4E00")), utf8(U"\"a\\\"\\\\\\n\\t\u00E9 \u4E00\""));
    // Format, grapheme extender, no-break space, private use, unassigned, line separator, control.
    CHECK_EQ(debug_quoted(utf8(U"\u00AD\u0301\u00A0\uE000\u0378\u2028\u0085\U000E0001")),
             "\"\\u{ad}\\u{301}\\u{a0}\\u{e000}\\u{378}\\u{2028}\\u{85}\\u{e0001}\"");
}

TEST(lowercase_spelled_out) {
    // No final sigma and no Turkic dotless i; U+0130 grows by a byte, U+2C6F shrinks by one.
    CHECK_EQ(lowercase(utf8(U"\u03A3\u0391\u03A3 I\u0130Y\u2C6F")), utf8(U"\u03C3\u03B1\u03C3 ii\u0307y\u0250"));
    // Ill-formed bytes stay: a stray continuation byte, a truncated sequence, a byte never in UTF-8, a cut lead.
    CHECK_EQ(lowercase("A\x80"
                       "B\xE2\x82"
                       "C\xFF"
                       "D\xC3\x89\xD0"),
             "a\x80"
             "b\xE2\x82"
             "c\xFF"
             "d\xC3\xA9\xD0");
}

TEST(character_classes) {
    for (char32_t cp : {0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x20, 0x85, 0xA0, 0x1680, 0x2000, 0x200A, 0x2028, 0x2029, 0x202F,
                        0x205F, 0x3000})
        CHECK(is_white_space(cp));
    for (char32_t cp :
         {0x00, 0x08, 0x0E, 0x1C, 0x1F, 0x21, 0x7F, 0x180E, 0x200B, 0x2060, 0xFEFF, 0x61, 0x1F600, 0x10FFFF})
        CHECK(!is_white_space(cp));
    for (char32_t cp : {U'a', U'Z', U'\u00E9', U'\u03A3', U'\u4E00', U'\u0345', U'\u2160', U'\u02B0', U'\uAC00'})
        CHECK(is_alphabetic(cp));
    for (char32_t cp : {U'0', U'_', U'@', U'[', U' ', U'\u0301', U'\u00BD', U'\u0660', U'\U0001F600'})
        CHECK(!is_alphabetic(cp));
    for (char32_t cp : {U'0', U'9', U'\u0660', U'\uFF19', U'\u2160', U'\u3007', U'\u00BD', U'\u00B2', U'\u2460'})
        CHECK(is_numeric(cp));
    for (char32_t cp : {U'a', U'/', U':', U'\u4E00', U'\u4E94', U'\u00B7'}) CHECK(!is_numeric(cp));
}

TEST(trims_remove_white_space_code_points_only) {
    const std::string padded = utf8(U"\u3000 \t\u00A0x y\u2029\n\u0085");
    CHECK_EQ(trim_white_space(padded), "x y");
    CHECK_EQ(trim_white_space_end(padded), utf8(U"\u3000 \t\u00A0x y"));
    CHECK_EQ(trim_white_space(" \n\t "), "");
    CHECK_EQ(trim_white_space_end(" \n\t "), "");
    const std::string zero_width = utf8(U"\u200Bx\u200B");
    CHECK_EQ(trim_white_space(zero_width), zero_width);
    CHECK_EQ(trim_white_space(utf8(U"\u00E9 ")), utf8(U"\u00E9"));
}
