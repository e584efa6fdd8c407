// The Unicode services. is_nfc and lowercase decide most text from bit tables
// and call ICU only for the rest, so they are held to ICU's own answers, code
// point by code point and over mixed text.
#include <unicode/normalizer2.h>
#include <unicode/ustring.h>

#include <random>
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

bool is_scalar_value(char32_t cp) { return cp < 0xD800 || (cp > 0xDFFF && cp <= 0x10FFFF); }

std::u16string utf16(std::u32string_view code_points) {
    std::u16string units;
    for (char32_t cp : code_points) {
        if (cp < 0x10000) units += static_cast<char16_t>(cp);
        else units += {static_cast<char16_t>(0xD7C0 + (cp >> 10)), static_cast<char16_t>(0xDC00 | (cp & 0x3FF))};
    }
    return units;
}

bool icu_is_nfc(std::u32string_view code_points) {
    std::u16string units = utf16(code_points);
    UErrorCode status = U_ZERO_ERROR;
    const icu::Normalizer2* normalizer = icu::Normalizer2::getNFCInstance(status);
    icu::UnicodeString text(units.data(), static_cast<int32_t>(units.size()));
    bool result = normalizer->isNormalized(text, status);
    CHECK(U_SUCCESS(status));
    return result;
}

// The lower case of each code point standing alone (alone, capital sigma has no final form).
std::string icu_lowercase_alone(std::u32string_view code_points) {
    std::string out;
    for (char32_t cp : code_points) {
        std::u16string source = utf16(std::u32string(1, cp));
        UChar lower[8];
        UErrorCode status = U_ZERO_ERROR;
        int32_t length = u_strToLower(lower, 8, source.data(), static_cast<int32_t>(source.size()), "", &status);
        CHECK(U_SUCCESS(status));
        for (int32_t i = 0; i < length;) {
            UChar32 c;
            U16_NEXT(lower, i, length, c);
            append_utf8(out, static_cast<char32_t>(c));
        }
    }
    return out;
}

// Mixed text: ASCII runs and code points from the scripts and marks that
// matter, including some NFC rejects, so that every path is taken.
std::u32string random_text(std::mt19937& rng) {
    static const std::vector<std::pair<char32_t, char32_t>> ranges = {
        {0x20, 0x7E},     {0x41, 0x5A},     {0xC0, 0x24F},    {0x300, 0x36F},     {0x370, 0x3FF},
        {0x400, 0x52F},   {0x1E00, 0x1FFF}, {0x2100, 0x218F}, {0x1100, 0x11FF},   {0xAC00, 0xAC40},
        {0x3040, 0x30FF}, {0x4E00, 0x4E40}, {0xFF00, 0xFF5F}, {0x10400, 0x1044F}, {0x1D15E, 0x1D16F},
        {0x1F300, 0x1F64F}, {0x0130, 0x0130}, {0x03A3, 0x03A3}, {0x0958, 0x095F}, {0x2C60, 0x2C7F},
    };
    std::u32string text;
    std::uniform_int_distribution<size_t> range_of(0, ranges.size() - 1);
    for (size_t n = std::uniform_int_distribution<size_t>(0, 40)(rng); n > 0; --n) {
        auto [first, last] = ranges[range_of(rng)];
        text += std::uniform_int_distribution<char32_t>(first, last)(rng);
    }
    return text;
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
    CHECK_EQ(nfc(utf8(U"x e\u0301 \u212B")), utf8(U"x \u00E9 \u00C5"));     // singleton angstrom sign
    CHECK_EQ(nfc(utf8(U"\u1100\u1161\u11A8")), utf8(U"\uAC01"));            // conjoining jamo -> syllable
    CHECK_EQ(nfc(utf8(U"a\u0301\u0323")), utf8(U"\u1EA1\u0301"));           // below-dot sorts first, then composes
    CHECK_EQ(nfc(utf8(U"\u0958")), utf8(U"\u0915\u093C"));                  // composition exclusion stays apart
    const std::string compatibility = utf8(U"\uFB01\u2460\u00BD\uFF21\u00B2");
    CHECK_EQ(nfc(compatibility), compatibility);
}

TEST(is_nfc_and_lowercase_agree_with_icu_for_every_code_point_and_on_mixed_text) {
    for (char32_t cp = 0; cp <= 0x10FFFF; ++cp) {
        if (!is_scalar_value(cp)) continue;
        const std::u32string alone(1, cp);
        for (const std::u32string& text : {alone, U"e" + alone, alone + U"\u0301"}) {
            if (is_nfc(utf8(text)) != icu_is_nfc(text)) CHECK_EQ(static_cast<uint32_t>(cp), 0u);
            std::string lowered;
            if (append_lowercase_checking_nfc(utf8(text), lowered) != icu_is_nfc(text))
                CHECK_EQ(static_cast<uint32_t>(cp), 3u);
        }
        const std::string lower = icu_lowercase_alone(alone);
        if (lowercase(utf8(alone)) != lower) CHECK_EQ(static_cast<uint32_t>(cp), 1u);
        // Between ASCII letters, across the eight-byte steps of the ASCII path.
        if (lowercase(utf8(U"ABCDEFGHI" + alone + U"JKLMNOPQ")) != "abcdefghi" + lower + "jklmnopq")
            CHECK_EQ(static_cast<uint32_t>(cp), 2u);
        // After sixteen bytes of ASCII, where the ASCII path hands the text to the general one.
        const std::u32string late = U"ABCDEFGHIJKLMNOPQ" + alone + U"RS";
        std::string after = "Kept";
        if (append_lowercase_checking_nfc(utf8(late), after) != icu_is_nfc(late) ||
            after != "Keptabcdefghijklmnopq" + lower + "rs")
            CHECK_EQ(static_cast<uint32_t>(cp), 4u);
    }
    std::mt19937 rng(7);
    std::string appended = "Kept";
    std::string expected = appended;
    for (int i = 0; i < 40000; ++i) {
        std::u32string text = random_text(rng);
        CHECK_EQ(is_nfc(utf8(text)), icu_is_nfc(text));
        CHECK_EQ(lowercase(utf8(text)), icu_lowercase_alone(text));
        // Appending to what is there already changes only the appended part.
        CHECK_EQ(append_lowercase_checking_nfc(utf8(text), appended), icu_is_nfc(text));
        expected += icu_lowercase_alone(text);
        // ASCII alone, every byte below 0x80, which has a path of its own.
        std::u32string ascii;
        for (size_t n = std::uniform_int_distribution<size_t>(0, 80)(rng); n > 0; --n)
            ascii += std::uniform_int_distribution<char32_t>(0, 0x7F)(rng);
        CHECK(append_lowercase_checking_nfc(utf8(ascii), appended));
        expected += icu_lowercase_alone(ascii);
    }
    CHECK(appended == expected);
}

TEST(lowercase_spelled_out) {
    // No final sigma and no Turkic dotless i; U+0130 grows by a byte, U+2C6F shrinks by one.
    CHECK_EQ(lowercase(utf8(U"\u03A3\u0391\u03A3 I\u0130Y\u2C6F")), utf8(U"\u03C3\u03B1\u03C3 ii\u0307y\u0250"));
    // Ill-formed bytes stay: a stray continuation byte, a truncated sequence, a byte never in UTF-8, a cut lead.
    CHECK_EQ(lowercase("A\x80" "B\xE2\x82" "C\xFF" "D\xC3\x89\xD0"), "a\x80" "b\xE2\x82" "c\xFF" "d\xC3\xA9\xD0");
}

TEST(character_classes) {
    for (char32_t cp : {0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x20, 0x85, 0xA0, 0x1680, 0x2000, 0x200A, 0x2028, 0x2029,
                        0x202F, 0x205F, 0x3000})
        CHECK(is_white_space(cp));
    for (char32_t cp : {0x00, 0x08, 0x0E, 0x1C, 0x1F, 0x21, 0x7F, 0x180E, 0x200B, 0x2060, 0xFEFF, 0x61, 0x1F600, 0x10FFFF})
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
