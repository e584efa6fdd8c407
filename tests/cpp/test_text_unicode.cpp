#include <string>
#include <vector>

#include "check.hpp"
#include "text/unicode.hpp"

using namespace velkin::text;

namespace {

std::string utf8(std::u32string_view code_points) {
    std::string out;
    for (char32_t cp : code_points) append_utf8(out, cp);
    return out;
}

std::u32string decode(std::string_view text) {
    std::u32string out;
    for (size_t i = 0; i < text.size();) out.push_back(next_code_point(text, i));
    return out;
}

}  // namespace

TEST(utf8_encoding_uses_one_to_four_bytes) {
    CHECK_EQ(utf8(U"A"), "A");
    CHECK_EQ(utf8(U"\u00E9"), "\xC3\xA9");
    CHECK_EQ(utf8(U"\u20AC"), "\xE2\x82\xAC");
    CHECK_EQ(utf8(U"\U0001F600"), "\xF0\x9F\x98\x80");
    CHECK_EQ(utf8(U"\U0010FFFF"), "\xF4\x8F\xBF\xBF");
}

TEST(decoding_round_trips_and_advances_by_sequence_length) {
    std::u32string text = U"a\u007F\u0080\u07FF\u0800\uFFFF\U00010000\U0010FFFF";
    CHECK(decode(utf8(text)) == text);
    size_t i = 1;
    CHECK_EQ(static_cast<uint32_t>(next_code_point("a\xE2\x82\xAC", i)), 0x20ACu);
    CHECK_EQ(i, 4u);
}

TEST(ill_formed_bytes_decode_as_replacement_one_byte_at_a_time) {
    // Stray continuation, overlong form, encoded surrogate, truncated sequence.
    for (std::string_view bad : {"\x80", "\xC0\xAF", "\xED\xA0\x80", "\xE2\x82", "\xF5\x80\x80\x80"}) {
        size_t i = 0;
        CHECK_EQ(static_cast<uint32_t>(next_code_point(bad, i)), 0xFFFDu);
        CHECK_EQ(i, 1u);
    }
}

TEST(nfc_composes_and_reorders) {
    CHECK_EQ(nfc("e\xCC\x81"), "\xC3\xA9");                               // e + U+0301 -> U+00E9
    CHECK_EQ(nfc(utf8(U"\u212B")), utf8(U"\u00C5"));                       // angstrom sign, a singleton
    CHECK_EQ(nfc(utf8(U"\u1100\u1161\u11A8")), utf8(U"\uAC01"));           // conjoining jamo -> syllable
    CHECK_EQ(nfc(utf8(U"a\u0301\u0323")), utf8(U"\u1EA1\u0301"));          // below-dot sorts first, then composes
    CHECK_EQ(nfc(utf8(U"\u0958")), utf8(U"\u0915\u093C"));                 // composition exclusion stays apart
    CHECK_EQ(nfc(utf8(U"x e\u0301 y \u00C5\u030A")), utf8(U"x \u00E9 y \u00C5\u030A"));
}

TEST(nfc_applies_no_compatibility_mappings) {
    for (std::u32string_view kept : {U"\uFB01", U"\u2460", U"\u00BD", U"\uFF21", U"\u00B2"}) {
        std::string text = utf8(kept);
        CHECK(is_nfc(text));
        CHECK_EQ(nfc(text), text);
    }
    CHECK_EQ(nfc(utf8(U"\u2126x")), utf8(U"\u03A9x"));  // ohm sign is a canonical singleton
}

TEST(is_nfc_matches_normalisation) {
    for (std::string_view text : {"", "plain ascii text, long enough for the word loop", "\xC3\xA9t\xC3\xA9",
                                  "e\xCC\x81", "abcdefgh" "e\xCC\x81", "\xE2\x84\xAB", "\xEA\xB0\x80"}) {
        CHECK_EQ(is_nfc(text), nfc(text) == text);
    }
    CHECK(!is_nfc("abcdefghij" "e\xCC\x81"));
    CHECK(is_nfc("\xEA\xB0\x80"));
}

TEST(lowercase_maps_ascii_and_beyond) {
    CHECK_EQ(lowercase("Hello, WORLD! 42X"), "hello, world! 42x");
    CHECK_EQ(lowercase(utf8(U"\u00C9T\u00C9")), utf8(U"\u00E9t\u00E9"));
    CHECK_EQ(lowercase(utf8(U"\U00010400")), utf8(U"\U00010428"));  // Deseret, four bytes
    CHECK_EQ(lowercase(utf8(U"\u1E9E")), utf8(U"\u00DF"));          // capital sharp s
    CHECK_EQ(lowercase(utf8(U"\u1F88")), utf8(U"\u1F80"));          // titlecase form with prosgegrammeni
    CHECK_EQ(lowercase(utf8(U"\u00DF\u03C2\u0131")), utf8(U"\u00DF\u03C2\u0131"));  // already lower
    CHECK_EQ(lowercase(""), "");
}

TEST(lowercase_capital_i_with_dot_expands) {
    CHECK_EQ(lowercase(utf8(U"\u0130")), "i\xCC\x87");
    CHECK_EQ(lowercase(utf8(U"\u0130STANBUL")), "i\xCC\x87stanbul");
    CHECK_EQ(lowercase("I"), "i");  // no Turkic dotless mapping
}

TEST(lowercase_sigma_ignores_word_position) {
    const std::string small = utf8(U"\u03C3");
    CHECK_EQ(lowercase(utf8(U"\u03A3")), small);
    CHECK_EQ(lowercase(utf8(U"\u039F\u0394\u039F\u03A3")), utf8(U"\u03BF\u03B4\u03BF\u03C3"));
    CHECK_EQ(lowercase(utf8(U"\u03A3\u0391\u03A3 x\u03A3")), utf8(U"\u03C3\u03B1\u03C3 x\u03C3"));
    CHECK_EQ(lowercase(utf8(U"AB\u03A3\u03A3")), "ab" + small + small);
}

TEST(white_space_is_the_unicode_property) {
    for (char32_t cp : {0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x20, 0x85, 0xA0, 0x1680, 0x2000, 0x2005, 0x200A, 0x2028,
                        0x2029, 0x202F, 0x205F, 0x3000})
        CHECK(is_white_space(cp));
    for (char32_t cp : {0x00, 0x08, 0x0E, 0x1C, 0x1F, 0x21, 0x7F, 0x180E, 0x200B, 0x2060, 0xFEFF, 0x61})
        CHECK(!is_white_space(cp));
}

TEST(alphabetic_class) {
    for (char32_t cp : {U'a', U'Z', U'\u00E9', U'\u03A3', U'\u4E00', U'\u0345', U'\u2160', U'\u02B0', U'\uAC00'})
        CHECK(is_alphabetic(cp));
    for (char32_t cp : {U'0', U'_', U'-', U' ', U'\u0301', U'\u00BD', U'\u0660', U'\U0001F600'})
        CHECK(!is_alphabetic(cp));
}

TEST(numeric_class_is_nd_nl_no) {
    for (char32_t cp : {U'0', U'9', U'\u0660', U'\uFF19', U'\u2160', U'\u3007', U'\u00BD', U'\u00B2', U'\u2460'})
        CHECK(is_numeric(cp));
    for (char32_t cp : {U'a', U'/', U'\u4E00', U'\u4E94', U'\u00B7', U'.'}) CHECK(!is_numeric(cp));
}

TEST(trims_remove_white_space_code_points_only) {
    const std::string padded = utf8(U"\u3000 \t\u00A0x y\u2029\n\u0085");
    CHECK_EQ(trim_white_space(padded), "x y");
    CHECK_EQ(trim_white_space_end(padded), utf8(U"\u3000 \t\u00A0x y"));
    CHECK_EQ(trim_white_space(" \n\t "), "");
    CHECK_EQ(trim_white_space_end(" \n\t "), "");
    CHECK_EQ(trim_white_space(""), "");
    const std::string zero_width = utf8(U"\u200Bx\u200B");
    CHECK_EQ(trim_white_space(zero_width), zero_width);
    CHECK_EQ(trim_white_space(utf8(U"\u00E9 ")), utf8(U"\u00E9"));
}
