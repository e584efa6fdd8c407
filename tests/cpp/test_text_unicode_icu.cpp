// The Unicode services against ICU, the library they replaced, whose data is
// the same Unicode version: every code point, alone and beside others, and
// mixed text from the scripts and marks that take every path. Built only where
// ICU is installed.
#include <unicode/normalizer2.h>
#include <unicode/uchar.h>
#include <unicode/ustring.h>

#include <random>
#include <string>
#include <vector>

#include "check.hpp"
#include "text/unicode.hpp"
#include "text/unicode_tables.hpp"

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
        if (cp < 0x10000)
            units += static_cast<char16_t>(cp);
        else
            units += {static_cast<char16_t>(0xD7C0 + (cp >> 10)), static_cast<char16_t>(0xDC00 | (cp & 0x3FF))};
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

const icu::Normalizer2& icu_nfc() {
    UErrorCode status = U_ZERO_ERROR;
    const icu::Normalizer2* normalizer = icu::Normalizer2::getNFCInstance(status);
    CHECK(U_SUCCESS(status));
    return *normalizer;
}

std::string icu_normalized(std::u32string_view code_points) {
    std::u16string units = utf16(code_points);
    UErrorCode status = U_ZERO_ERROR;
    icu::UnicodeString normal = icu_nfc().normalize(
        icu::UnicodeString(units.data(), static_cast<int32_t>(units.size())), status);
    CHECK(U_SUCCESS(status));
    std::string out;
    normal.toUTF8String(out);
    return out;
}

bool icu_escaped_in_debug(char32_t cp) {
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

bool icu_is_numeric(char32_t cp) {
    const int8_t category = u_charType(static_cast<UChar32>(cp));
    return category == U_DECIMAL_DIGIT_NUMBER || category == U_LETTER_NUMBER || category == U_OTHER_NUMBER;
}

// Mixed text: ASCII runs and code points from the scripts and marks that
// matter, including some NFC rejects, so that every path is taken.
std::u32string random_text(std::mt19937& rng) {
    static const std::vector<std::pair<char32_t, char32_t>> ranges = {
        {0x20, 0x7E},       {0x41, 0x5A},     {0xC0, 0x24F},    {0x300, 0x36F},     {0x370, 0x3FF},
        {0x400, 0x52F},     {0x1E00, 0x1FFF}, {0x2100, 0x218F}, {0x1100, 0x11FF},   {0xAC00, 0xAC40},
        {0x3040, 0x30FF},   {0x4E00, 0x4E40}, {0xFF00, 0xFF5F}, {0x10400, 0x1044F}, {0x1D15E, 0x1D16F},
        {0x1F300, 0x1F64F}, {0x0130, 0x0130}, {0x03A3, 0x03A3}, {0x0958, 0x095F},   {0x2C60, 0x2C7F},
    };
    std::u32string text;
    std::uniform_int_distribution<size_t> range_of(0, ranges.size() - 1);
    for (size_t n = std::uniform_int_distribution<size_t>(0, 40)(rng); n > 0; --n) {
        auto [first, last] = ranges[range_of(rng)];
        text += static_cast<char32_t>(std::uniform_int_distribution<uint32_t>(first, last)(rng));
    }
    return text;
}

}  // namespace

TEST(tables_and_icu_hold_the_same_unicode_version) {
    UVersionInfo version;
    u_getUnicodeVersion(version);
    CHECK_EQ(std::to_string(version[0]) + "." + std::to_string(version[1]) + "." + std::to_string(version[2]),
             std::string(tables::unicode_version));
}

TEST(character_classes_agree_with_icu_for_every_code_point) {
    for (char32_t cp = 0; cp <= 0x10FFFF; ++cp) {
        const auto code = static_cast<UChar32>(cp);
        if (is_white_space(cp) != static_cast<bool>(u_isUWhiteSpace(code))) CHECK_EQ(static_cast<uint32_t>(cp), 0u);
        if (is_alphabetic(cp) != static_cast<bool>(u_hasBinaryProperty(code, UCHAR_ALPHABETIC)))
            CHECK_EQ(static_cast<uint32_t>(cp), 1u);
        if (is_numeric(cp) != icu_is_numeric(cp)) CHECK_EQ(static_cast<uint32_t>(cp), 2u);
        // Surrogates cannot be written; \0 \t \n \r have escapes of their own.
        if (!is_scalar_value(cp) || cp == 0 || cp == U'\t' || cp == U'\n' || cp == U'\r') continue;
        const bool escaped = debug_quoted(utf8(std::u32string(1, cp))).find("\\u{") != std::string::npos;
        if (escaped != icu_escaped_in_debug(cp)) CHECK_EQ(static_cast<uint32_t>(cp), 3u);
    }
}

TEST(nfc_agrees_with_icu_for_every_code_point_and_on_mixed_text) {
    for (char32_t cp = 0; cp <= 0x10FFFF; ++cp) {
        if (!is_scalar_value(cp)) continue;
        const std::u32string alone(1, cp);
        // Alone, after a starter it may compose with, before a mark, and after a mark.
        for (const std::u32string& text :
             {alone, U"e" + alone, alone + U"\u0301", U"\u1100" + alone, U"a\u0323" + alone + U"\u0308"}) {
            if (nfc(utf8(text)) != icu_normalized(text)) CHECK_EQ(static_cast<uint32_t>(cp), 0u);
        }
    }
    std::mt19937 rng(11);
    for (int i = 0; i < 40000; ++i) {
        const std::u32string text = random_text(rng);
        CHECK_EQ(nfc(utf8(text)), icu_normalized(text));
    }
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
            ascii += static_cast<char32_t>(std::uniform_int_distribution<uint32_t>(0, 0x7F)(rng));
        CHECK(append_lowercase_checking_nfc(utf8(ascii), appended));
        expected += icu_lowercase_alone(ascii);
    }
    CHECK(appended == expected);
}
