#include "text/unicode.hpp"

#include <unicode/bytestream.h>
#include <unicode/casemap.h>
#include <unicode/normalizer2.h>
#include <unicode/uchar.h>

#include <array>
#include <climits>
#include <cstdint>
#include <cstring>

#include "json/result.hpp"

namespace velkin::text {

namespace {

constexpr char32_t replacement_character = 0xFFFD;
constexpr uint64_t high_bits = 0x8080808080808080ull;

// Length of the leading run of ASCII bytes, eight bytes at a time.
size_t ascii_prefix_length(std::string_view text) {
    const char* data = text.data();
    size_t size = text.size();
    size_t i = 0;
    for (; i + 8 <= size; i += 8) {
        uint64_t word;
        std::memcpy(&word, data + i, 8);
        if (word & high_bits) break;
    }
    while (i < size && static_cast<unsigned char>(data[i]) < 0x80) ++i;
    return i;
}

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

constexpr char capital_sigma[] = "\xCE\xA3";
constexpr char small_sigma[] = "\xCF\x83";

// Lower-cases text that holds no capital sigma: in the root locale every other
// mapping is context-free, so any code point boundary is a valid cut.
void append_lowercase_without_sigma(std::string_view text, std::string& out) {
    icu::StringByteSink<std::string> sink(&out);
    for (size_t begin = 0; begin < text.size();) {
        size_t end = text.size();
        if (end - begin > icu_max_length) end = previous_code_point_start(text, begin + icu_max_length + 1);
        UErrorCode status = U_ZERO_ERROR;
        icu::CaseMap::utf8ToLower("", 0, piece_of(text.substr(begin, end - begin)), sink, nullptr, status);
        if (U_FAILURE(status)) throw Panic(std::string("lower-case mapping failed: ") + u_errorName(status));
        begin = end;
    }
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
    if (ascii_prefix_length(text) == text.size()) return true;
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

std::string nfc(std::string_view text) {
    if (is_nfc(text)) return std::string(text);
    std::string out;
    out.reserve(text.size());
    append_nfc(text, out);
    return out;
}

std::string lowercase(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    size_t ascii = ascii_prefix_length(text);
    for (size_t i = 0; i < ascii; ++i) {
        char c = text[i];
        out.push_back(c >= 'A' && c <= 'Z' ? static_cast<char>(c + ('a' - 'A')) : c);
    }
    // Capital sigma is mapped by hand: ICU would pick the final form by context.
    std::string_view rest = text.substr(ascii);
    for (size_t sigma; (sigma = rest.find(capital_sigma)) != std::string_view::npos;) {
        append_lowercase_without_sigma(rest.substr(0, sigma), out);
        out.append(small_sigma, 2);
        rest.remove_prefix(sigma + 2);
    }
    append_lowercase_without_sigma(rest, out);
    return out;
}

bool is_white_space(char32_t cp) {
    if (cp < 0x80) return ascii_white_space[cp];
    return u_isUWhiteSpace(static_cast<UChar32>(cp));
}

bool is_alphabetic(char32_t cp) {
    if (cp < 0x80) return (cp >= 'a' && cp <= 'z') || (cp >= 'A' && cp <= 'Z');
    return u_hasBinaryProperty(static_cast<UChar32>(cp), UCHAR_ALPHABETIC);
}

bool is_numeric(char32_t cp) {
    if (cp < 0x80) return cp >= '0' && cp <= '9';
    int8_t category = u_charType(static_cast<UChar32>(cp));
    return category == U_DECIMAL_DIGIT_NUMBER || category == U_LETTER_NUMBER || category == U_OTHER_NUMBER;
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
