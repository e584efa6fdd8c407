// is_nfc and lowercase decide most text from bit tables and call ICU only for
// the rest; these checks hold them to ICU's own answers, code point by code
// point and over mixed text.
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

// ICU's answer through its UTF-16 interface, the whole text at once.
bool icu_is_nfc(std::u32string_view code_points) {
    std::u16string units;
    for (char32_t cp : code_points) {
        if (cp >= 0x10000) {
            units += static_cast<char16_t>(0xD7C0 + (cp >> 10));
            units += static_cast<char16_t>(0xDC00 | (cp & 0x3FF));
        } else {
            units += static_cast<char16_t>(cp);
        }
    }
    UErrorCode status = U_ZERO_ERROR;
    const icu::Normalizer2* normalizer = icu::Normalizer2::getNFCInstance(status);
    bool result = normalizer->isNormalized(icu::UnicodeString(units.data(), static_cast<int32_t>(units.size())), status);
    CHECK(U_SUCCESS(status));
    return result;
}

// The lower case of one code point standing alone, by ICU's UTF-16 interface
// (alone, capital sigma has no final form).
std::string icu_lowercase_alone(char32_t cp) {
    UChar source[2];
    int32_t length = 0;
    U16_APPEND_UNSAFE(source, length, static_cast<UChar32>(cp));
    UChar lower[8];
    UErrorCode status = U_ZERO_ERROR;
    int32_t lower_length = u_strToLower(lower, 8, source, length, "", &status);
    CHECK(U_SUCCESS(status));
    std::string out;
    for (int32_t i = 0; i < lower_length;) {
        UChar32 c;
        U16_NEXT(lower, i, lower_length, c);
        append_utf8(out, static_cast<char32_t>(c));
    }
    return out;
}

std::string lowercase_code_point_by_code_point(std::u32string_view code_points) {
    std::string out;
    for (char32_t cp : code_points) out += icu_lowercase_alone(cp);
    return out;
}

// Mixed text: ASCII runs and code points from the scripts and marks that
// matter, including some NFC rejects, so that every path is taken.
std::u32string random_text(std::mt19937& rng) {
    static const std::vector<std::pair<char32_t, char32_t>> ranges = {
        {0x20, 0x7E},       {0x41, 0x5A},       {0xC0, 0x24F},      {0x300, 0x36F},   {0x370, 0x3FF},
        {0x400, 0x52F},     {0x1E00, 0x1FFF},   {0x2100, 0x218F},   {0x1100, 0x11FF}, {0xAC00, 0xAC40},
        {0x3040, 0x30FF},   {0x4E00, 0x4E40},   {0xFF00, 0xFF5F},   {0x10400, 0x1044F}, {0x1D15E, 0x1D16F},
        {0x1F300, 0x1F64F}, {0x0130, 0x0130},   {0x03A3, 0x03A3},   {0x0958, 0x095F}, {0x2C60, 0x2C7F},
    };
    std::u32string text;
    std::uniform_int_distribution<size_t> length_of(0, 40);
    std::uniform_int_distribution<size_t> range_of(0, ranges.size() - 1);
    for (size_t n = length_of(rng); n > 0; --n) {
        auto [first, last] = ranges[range_of(rng)];
        text += std::uniform_int_distribution<char32_t>(first, last)(rng);
    }
    return text;
}

}  // namespace

TEST(is_nfc_agrees_with_icu_for_every_code_point_alone_and_after_a_letter) {
    for (char32_t cp = 0; cp <= 0x10FFFF; ++cp) {
        if (!is_scalar_value(cp)) continue;
        std::u32string alone(1, cp);
        std::u32string after = U"e" + alone;
        std::u32string before = alone + U"\u0301";
        for (const std::u32string& text : {alone, after, before})
            if (is_nfc(utf8(text)) != icu_is_nfc(text)) CHECK_EQ(static_cast<uint32_t>(cp), 0u);
    }
}

TEST(is_nfc_agrees_with_icu_on_mixed_text) {
    std::mt19937 rng(7);
    for (int i = 0; i < 20000; ++i) {
        std::u32string text = random_text(rng);
        CHECK_EQ(is_nfc(utf8(text)), icu_is_nfc(text));
    }
}

TEST(lowercase_agrees_with_icu_for_every_code_point) {
    for (char32_t cp = 0; cp <= 0x10FFFF; ++cp) {
        if (!is_scalar_value(cp)) continue;
        const std::string expected = icu_lowercase_alone(cp);
        if (lowercase(utf8(std::u32string(1, cp))) != expected) CHECK_EQ(static_cast<uint32_t>(cp), 0u);
        // Between ASCII letters, across the eight-byte steps of the ASCII path.
        std::u32string framed = U"ABCDEFGHI" + std::u32string(1, cp) + U"JKLMNOPQ";
        if (lowercase(utf8(framed)) != "abcdefghi" + expected + "jklmnopq") CHECK_EQ(static_cast<uint32_t>(cp), 1u);
    }
}

TEST(lowercase_agrees_with_icu_on_mixed_text) {
    std::mt19937 rng(11);
    for (int i = 0; i < 20000; ++i) {
        std::u32string text = random_text(rng);
        CHECK_EQ(lowercase(utf8(text)), lowercase_code_point_by_code_point(text));
    }
}

TEST(lowercase_length_changes_keep_the_rest_in_place) {
    // U+0130 grows from two bytes to three, U+023A from two to three, U+2C6F shrinks from three to two.
    CHECK_EQ(lowercase(utf8(U"x\u0130Y\u023Az\u2C6FW\u0130")),
             utf8(U"xi\u0307y\u2C65z\u0250wi\u0307"));
}

TEST(lowercase_keeps_ill_formed_bytes) {
    // A stray continuation byte, a truncated sequence and a byte that never occurs in UTF-8.
    CHECK_EQ(lowercase("A\x80" "B\xE2\x82" "C\xFF" "D\xC3\x89"), "a\x80" "b\xE2\x82" "c\xFF" "d\xC3\xA9");
    CHECK_EQ(lowercase("\xD0\x90\xD0"), "\xD0\xB0\xD0");  // cut after a lead byte at the end
}
