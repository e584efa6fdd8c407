#pragma once
// The JSON reader: one RFC 8259 text, read once front to back. It is a
// template over a Sink that builds the values it meets, so the same reader
// fills json::Value trees in the core and Python objects at the boundary.
//
// A Sink provides:
//     using Value  = ...;   // a built value (movable)
//     using Array  = ...;   // builder state of one array
//     using Object = ...;   // builder state of one object
//     Value make_null();  Value make_bool(bool);
//     Value make_uint(uint64_t);  Value make_int(int64_t);  Value make_double(double);
//     Value make_string(std::string_view utf8);    // view valid during the call only
//     Array begin_array();   void array_push(Array&, Value&&);  Value end_array(Array&&);
//     Object begin_object(); void object_insert(Object&, std::string_view key, Value&&);
//     Value end_object(Object&&);
// A sink may instead build in place, into a null value the reader hands it: `void make_null(Value&)`,
// `make_string(Value&, std::string_view)`, and so on to `end_object(Value&, Object&&)`; no built value
// is then moved. It may also hand out a member's value to build a scalar into: `Value& object_slot(Object&,
// std::string_view key)`, inserting as object_insert would.
// A repeated key keeps its first position and takes the later value.
// A sink may throw to abort; the reader owns nothing that could leak.
//
// Error positions: a failure at the byte with 0-based index k reports column
// k + 1 of its line; running out of input reports the column of the end.
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "arch/bytes.hpp"
#include "json/decimal.hpp"
#include "json/value.hpp"
#include "platform/result.hpp"

namespace velkin::json {

enum class ErrorCode : uint8_t {
    EofWhileParsingList,
    EofWhileParsingObject,
    EofWhileParsingString,
    EofWhileParsingValue,
    ExpectedColon,
    ExpectedListCommaOrEnd,
    ExpectedObjectCommaOrEnd,
    ExpectedIdent,
    ExpectedValue,
    InvalidEscape,
    InvalidNumber,
    NumberOutOfRange,
    ControlCharacterInString,
    KeyMustBeAString,
    LoneLeadingSurrogateInHexEscape,
    UnexpectedEndOfHexEscape,
    TrailingComma,
    TrailingCharacters,
    RecursionLimitExceeded,
};

std::string_view error_text(ErrorCode code);

// Arrays and objects open at once, the outermost included.
inline constexpr int MAX_NESTING = 127;

// Why and where reading stopped, kept as parts until it is shown.
struct ReadError {
    ErrorCode code = ErrorCode::ExpectedValue;
    std::string custom;  // a schema message in place of the code's text
    uint64_t line = 1;
    uint64_t column = 0;  // bytes from the start of the line

    std::string_view cause() const { return custom.empty() ? error_text(code) : std::string_view(custom); }
    // "{cause} at line {line} column {column}"
    std::string message() const;
};

// The line (from 1) and the column (bytes into the line) of byte `index` of `text`.
struct Position {
    uint64_t line = 1;
    uint64_t column = 0;
};
Position position_of(std::string_view text, size_t index);

// One JSON text with optional surrounding whitespace.
Result<Value, ReadError> parse_document(std::string_view text);
// Whether `text` is exactly one JSON value surrounded by nothing but JSON whitespace.
bool is_document(std::string_view text);

namespace detail {

inline bool is_json_whitespace(char c) { return c == ' ' || c == '\n' || c == '\t' || c == '\r'; }

// Whether any of the 8 bytes is '"', '\\' or below 0x20 (bytes >= 0x80 never match).
inline bool word_has_string_special(uint64_t w) {
    constexpr uint64_t ones = 0x0101010101010101ull, highs = 0x8080808080808080ull;
    uint64_t quote = w ^ (ones * '"');
    uint64_t backslash = w ^ (ones * '\\');
    uint64_t found = ((quote - ones) & ~quote) | ((backslash - ones) & ~backslash) | ((w - ones * 0x20) & ~w);
    return (found & highs) != 0;
}

// All ones in the lanes of the sixteen bytes at `at` that are '"', '\\' or a control byte (top three bits clear).
[[gnu::always_inline]] inline arch::Bytes16 string_special_lanes(const char* at) {
    // '"' is 0x20 with bit 1 set: flipping that bit takes it to 0x20 and keeps each control byte below
    // 0x20, so one unsigned comparison finds both.
    using arch::UnsignedBytes16;
    const UnsignedBytes16 chunk = arch::load_unsigned16(at);
    const UnsignedBytes16 none{};
    return std::bit_cast<arch::Bytes16>((chunk ^ (none + 0x02)) <= (none + 0x20)) |
           std::bit_cast<arch::Bytes16>(chunk == (none + '\\'));
}

// The index of the first '"', '\\' or control byte at or after `pos` (or a
// position close before it, from where a byte loop finishes the scan).
[[gnu::always_inline]] inline size_t skip_plain_string_bytes(const char* data, size_t pos, size_t size) {
    while (pos + 16 <= size) {
        if (const uint32_t mask = arch::top_bits(string_special_lanes(data + pos)))
            return pos + static_cast<size_t>(std::countr_zero(mask));
        pos += 16;
    }
    while (pos + 8 <= size) {
        uint64_t word;
        std::memcpy(&word, data + pos, 8);
        if (word_has_string_special(word)) break;
        pos += 8;
    }
    return pos;
}

inline bool is_string_special(char c) { return c == '"' || c == '\\' || static_cast<unsigned char>(c) < 0x20; }

inline int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Four hex digits at data[at, at + 4), all before `end`, into `value`.
inline bool hex4(const char* data, size_t at, size_t end, uint32_t& value) {
    if (at + 4 > end) return false;
    value = 0;
    for (size_t k = at; k < at + 4; ++k) {
        const int digit = hex_digit(data[k]);
        if (digit < 0) return false;
        value = value * 16 + static_cast<uint32_t>(digit);
    }
    return true;
}

// The UTF-8 bytes of `cp` at `at`; gives the end of what it wrote.
inline char* put_code_point(char* at, uint32_t cp) {
    if (cp < 0x80) {
        *at++ = static_cast<char>(cp);
    } else if (cp < 0x800) {
        *at++ = static_cast<char>(0xC0 | (cp >> 6));
        *at++ = static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        *at++ = static_cast<char>(0xE0 | (cp >> 12));
        *at++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        *at++ = static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        *at++ = static_cast<char>(0xF0 | (cp >> 18));
        *at++ = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        *at++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        *at++ = static_cast<char>(0x80 | (cp & 0x3F));
    }
    return at;
}

inline void append_code_point(std::string& out, uint32_t cp) {
    char bytes[4];
    out.append(bytes, static_cast<size_t>(put_code_point(bytes, cp) - bytes));
}

inline constexpr size_t NOT_SKIPPED = SIZE_MAX;

// The end of the value after whitespace at `pos`, stepped over token by token without a sink; NOT_SKIPPED
// where the value opens more than `room` arrays and objects, or is anything but well-formed text that
// reads without converting a number, without a surrogate escape: the validating reader reads it again.
size_t skip_plain_value(const char* data, size_t pos, size_t size, int room);

}  // namespace detail

// Where and why reading stopped while it runs: the position is a byte index,
// turned into a line and column only when the error is taken.
struct ReadFailure {
    ErrorCode code = ErrorCode::ExpectedValue;
    std::string custom;  // non-empty for schema errors
    size_t index = 0;
};

template <class Sink>
class Reader {
public:
    using SinkValue = typename Sink::Value;
    static constexpr bool in_place = requires(Sink& sink, SinkValue& out) { sink.make_null(out); };

    Reader(std::string_view text, Sink& sink) : text_(text), pos_(0), sink_(sink) {}

    // --- cursor -----------------------------------------------------------
    size_t offset() const { return pos_; }
    bool at_end() const { return pos_ >= text_.size(); }
    char peek() const { return text_[pos_]; }
    void advance() { ++pos_; }
    // Onto `offset`, a byte the caller knows: ahead over bytes it has checked, or back to read again.
    void seek(size_t offset) { pos_ = offset; }
    [[gnu::always_inline]] void skip_whitespace() {
        // Compact text has none: one test, then the loop only where there is some.
        if (pos_ < text_.size() && static_cast<unsigned char>(text_[pos_]) > ' ') [[likely]]
            return;
        while (pos_ < text_.size() && detail::is_json_whitespace(text_[pos_])) ++pos_;
    }

    // --- failures ---------------------------------------------------------
    // At the byte under the cursor (or the end of input).
    bool fail_here(ErrorCode code) { return fail_at(code, pos_ < text_.size() ? pos_ + 1 : text_.size()); }
    // After the byte just consumed.
    bool fail_after(ErrorCode code) { return fail_at(code, pos_); }
    bool fail_at(ErrorCode code, size_t index) {
        failure_.code = code;
        failure_.index = index;
        return false;
    }
    // A schema error, positioned after what has been consumed unless given.
    bool fail_custom(std::string message) { return fail_custom_at(std::move(message), pos_); }
    bool fail_custom_at(std::string message, size_t index) {
        failure_.custom = std::move(message);
        failure_.index = index;
        return false;
    }
    ReadError error() const {
        Position at = position_of(text_, failure_.index);
        return ReadError{failure_.code, failure_.custom, at.line, at.column};
    }

    // --- values -----------------------------------------------------------
    // Reads one value after skipping whitespace; `depth` counts the arrays and
    // objects already open around it.
    bool read_value(SinkValue& out, int depth) {
        skip_whitespace();
        if (at_end()) return fail_here(ErrorCode::EofWhileParsingValue);
        char c = peek();
        switch (c) {
            case 'n':
                if (!read_ident("null")) return false;
                build(out, [&](auto&... into) { return sink_.make_null(into...); });
                return true;
            case 't':
                if (!read_ident("true")) return false;
                build(out, [&](auto&... into) { return sink_.make_bool(into..., true); });
                return true;
            case 'f':
                if (!read_ident("false")) return false;
                build(out, [&](auto&... into) { return sink_.make_bool(into..., false); });
                return true;
            case '"': {
                std::string_view s;
                if (!read_string(s, scratch_)) return false;
                build(out, [&](auto&... into) { return sink_.make_string(into..., s); });
                return true;
            }
            case '[': return read_array(out, depth);
            case '{': return read_object(out, depth);
            default:
                if (c == '-' || (c >= '0' && c <= '9')) return read_number(out);
                return fail_here(ErrorCode::ExpectedValue);
        }
    }

    // The cursor is on the first letter of `word`.
    bool read_ident(std::string_view word) {
        ++pos_;
        for (size_t i = 1; i < word.size(); ++i) {
            if (at_end()) return fail_here(ErrorCode::EofWhileParsingValue);
            if (text_[pos_] != word[i]) {
                ++pos_;
                return fail_after(ErrorCode::ExpectedIdent);
            }
            ++pos_;
        }
        return true;
    }

    // The cursor is on the opening quote. The result views either the input
    // (no escapes) or `scratch`.
    [[gnu::always_inline]] bool read_string(std::string_view& out, std::string& scratch) {
        return read_string_into(out, scratch, false);
    }
    // As read_string, but a string with escapes is unescaped onto the end of `buffer`, whose
    // earlier contents stay, and viewed there.
    bool read_string_onto(std::string_view& out, std::string& buffer) { return read_string_into(out, buffer, true); }

    bool read_number(SinkValue& out) {
        const char* data = text_.data();
        const size_t size = text_.size();
        size_t start = pos_;
        bool negative = false;
        if (data[pos_] == '-') {
            negative = true;
            ++pos_;
            if (pos_ >= size) return fail_after(ErrorCode::EofWhileParsingValue);
        }
        uint64_t magnitude = 0;
        bool overflow = false;
        char first = data[pos_];
        if (first == '0') {
            ++pos_;
            if (pos_ < size && data[pos_] >= '0' && data[pos_] <= '9') return fail_here(ErrorCode::InvalidNumber);
        } else if (first >= '1' && first <= '9') {
            const size_t first_digit = pos_;
            while (pos_ < size && data[pos_] >= '0' && data[pos_] <= '9') {
                magnitude = magnitude * 10 + static_cast<uint64_t>(data[pos_] - '0');
                ++pos_;
            }
            // Nineteen digits always fit; more are read again, each checked.
            if (pos_ - first_digit > 19) {
                magnitude = 0;
                for (size_t k = first_digit; k < pos_; ++k) {
                    const auto digit = static_cast<uint64_t>(data[k] - '0');
                    if (magnitude > (UINT64_MAX - digit) / 10) overflow = true;
                    magnitude = magnitude * 10 + digit;
                }
            }
        } else {
            ++pos_;
            return fail_after(ErrorCode::InvalidNumber);
        }
        bool is_float = false;
        if (pos_ < size && data[pos_] == '.') {
            is_float = true;
            ++pos_;
            if (!read_digits()) return false;
        }
        if (pos_ < size && (data[pos_] == 'e' || data[pos_] == 'E')) {
            is_float = true;
            ++pos_;
            if (pos_ < size && (data[pos_] == '+' || data[pos_] == '-')) ++pos_;
            if (!read_digits()) return false;
        }
        if (!is_float && !overflow) {
            if (!negative) {
                build(out, [&](auto&... into) { return sink_.make_uint(into..., magnitude); });
                return true;
            }
            // "-0" has no integer form: it reads as the double -0.0.
            if (magnitude != 0 && magnitude <= (uint64_t{1} << 63)) {
                const auto signed_value = static_cast<int64_t>(0 - magnitude);
                build(out, [&](auto&... into) { return sink_.make_int(into..., signed_value); });
                return true;
            }
        }
        double value = 0.0;
        auto [end, ec] = read_double(data + start, data + pos_, value);
        if (ec == std::errc::result_out_of_range) {
            // Underflow reads as the nearest double, ±0; only overflow is an error.
            if (std::isinf(value)) return fail_after(ErrorCode::NumberOutOfRange);
        } else if (ec != std::errc() || end != data + pos_) {
            return fail_after(ErrorCode::InvalidNumber);
        }
        build(out, [&](auto&... into) { return sink_.make_double(into..., value); });
        return true;
    }

    // An object read member by member, for a caller that builds (or skips) each as it sees its key: the
    // cursor is on the '{', and `member(key)` is called with the cursor before the value, which it reads
    // at depth + 1. Checked as read_value checks an object.
    template <class OnMember>
    bool read_members(int depth, OnMember&& member) {
        if (depth >= MAX_NESTING) return fail_here(ErrorCode::RecursionLimitExceeded);
        ++pos_;
        skip_whitespace();
        if (at_end()) return fail_here(ErrorCode::EofWhileParsingObject);
        if (peek() == '}') {
            ++pos_;
            return true;
        }
        std::string escaped_key;
        for (;;) {
            if (peek() != '"') return fail_here(ErrorCode::KeyMustBeAString);
            std::string_view key;
            if (!read_string(key, scratch_)) return false;
            if (key.data() == scratch_.data()) {
                escaped_key.assign(key);
                key = escaped_key;
            }
            skip_whitespace();
            if (at_end()) return fail_here(ErrorCode::EofWhileParsingObject);
            if (peek() != ':') return fail_here(ErrorCode::ExpectedColon);
            ++pos_;
            if (!member(key)) return false;
            skip_whitespace();
            if (at_end()) return fail_here(ErrorCode::EofWhileParsingObject);
            const char c = peek();
            if (c == '}') {
                ++pos_;
                return true;
            }
            if (c != ',') return fail_here(ErrorCode::ExpectedObjectCommaOrEnd);
            ++pos_;
            skip_whitespace();
            if (at_end()) return fail_here(ErrorCode::EofWhileParsingValue);
            if (peek() == '}') return fail_here(ErrorCode::TrailingComma);
        }
    }

    // An array read element by element: the cursor is on the '[', and `element()` reads each at depth + 1.
    template <class OnElement>
    bool read_elements(int depth, OnElement&& element) {
        if (depth >= MAX_NESTING) return fail_here(ErrorCode::RecursionLimitExceeded);
        ++pos_;
        skip_whitespace();
        if (at_end()) return fail_here(ErrorCode::EofWhileParsingList);
        if (peek() == ']') {
            ++pos_;
            return true;
        }
        for (;;) {
            if (!element()) return false;
            skip_whitespace();
            if (at_end()) return fail_here(ErrorCode::EofWhileParsingList);
            const char c = peek();
            if (c == ']') {
                ++pos_;
                return true;
            }
            if (c != ',') return fail_here(ErrorCode::ExpectedListCommaOrEnd);
            ++pos_;
            skip_whitespace();
            if (at_end()) return fail_here(ErrorCode::EofWhileParsingValue);
            if (peek() == ']') return fail_here(ErrorCode::TrailingComma);
        }
    }

    // Reads one value from the cursor with another sink (e.g. to describe or skip it).
    template <class OtherSink>
    bool read_value_with(OtherSink& other_sink, typename OtherSink::Value& out, int depth);
    // Validates and skips one value, building nothing.
    bool skip_value(int depth);

private:
    template <class>
    friend class Reader;

    // `out` set to what `make` has the sink build: in place where the sink can, else assigned.
    template <class Make>
    void build(SinkValue& out, Make make) {
        if constexpr (in_place)
            make(out);
        else
            out = make();
    }

    // Plain strings, nearly all of them, take the short way inline; the rest are called for.
    [[gnu::always_inline]] bool read_string_into(std::string_view& out, std::string& buffer, bool keep_buffer) {
        ++pos_;
        const size_t start = pos_;
        const char* data = text_.data();
        const size_t size = text_.size();
        pos_ = detail::skip_plain_string_bytes(data, pos_, size);
        while (pos_ < size && !detail::is_string_special(data[pos_])) ++pos_;
        if (pos_ < size && data[pos_] == '"') [[likely]] {
            out = std::string_view(data + start, pos_ - start);
            ++pos_;
            return true;
        }
        return read_unusual_string(start, out, buffer, keep_buffer);
    }

    // The cursor stopped before the end of the string that starts at `start` (just past its quote).
    [[gnu::noinline]] bool read_unusual_string(size_t start, std::string_view& out, std::string& buffer,
                                               bool keep_buffer) {
        if (pos_ < text_.size() && text_[pos_] == '\\' && unescape_plain(start, out, buffer, keep_buffer)) return true;
        // Anything unusual is read again byte by byte, which says where and why it fails.
        pos_ = start;
        return read_string_checked(out, buffer, keep_buffer);
    }

    // The string from `start` (just past its quote) unescaped into `buffer` in one go, when it ends in the
    // input and holds only well-formed escapes and no control byte; false otherwise, `buffer` then as it was.
    bool unescape_plain(size_t start, std::string_view& out, std::string& buffer, bool keep_buffer) {
        const char* data = text_.data();
        const size_t size = text_.size();
        size_t end = pos_;
        for (;;) {
            end = detail::skip_plain_string_bytes(data, end, size);
            while (end < size && !detail::is_string_special(data[end])) ++end;
            if (end >= size) return false;
            if (data[end] == '"') break;
            if (data[end] != '\\') return false;
            end += 2;
        }
        const size_t base = keep_buffer ? buffer.size() : 0;
        // Unescaping only shortens the text.
        buffer.resize(base + (end - start));
        char* const first = buffer.data() + base;
        char* at = first;
        size_t i = start;
        while (i < end) {
            if (i + 16 <= end) {
                // Sixteen bytes fit: what is written never runs ahead of what is read.
                const arch::Bytes16 chunk = arch::load16(data + i);
                std::memcpy(at, data + i, 16);
                const uint32_t mask = arch::top_bits(chunk == arch::splat16('\\'));
                const size_t plain = mask ? static_cast<size_t>(std::countr_zero(mask)) : 16;
                at += plain;
                i += plain;
                if (!mask) continue;
            } else {
                while (i < end && data[i] != '\\') *at++ = data[i++];
                if (i == end) break;
            }
            const char letter = data[i + 1];
            i += 2;
            switch (letter) {
                case '"': *at++ = '"'; continue;
                case '\\': *at++ = '\\'; continue;
                case '/': *at++ = '/'; continue;
                case 'b': *at++ = '\b'; continue;
                case 'f': *at++ = '\f'; continue;
                case 'n': *at++ = '\n'; continue;
                case 'r': *at++ = '\r'; continue;
                case 't': *at++ = '\t'; continue;
                case 'u': break;
                default: buffer.resize(base); return false;
            }
            uint32_t code = 0;
            if (!detail::hex4(data, i, end, code) || (code >= 0xDC00 && code <= 0xDFFF)) {
                buffer.resize(base);
                return false;
            }
            i += 4;
            if (code >= 0xD800 && code <= 0xDBFF) {
                uint32_t low = 0;
                if (i + 2 > end || data[i] != '\\' || data[i + 1] != 'u' || !detail::hex4(data, i + 2, end, low) ||
                    low < 0xDC00 || low > 0xDFFF) {
                    buffer.resize(base);
                    return false;
                }
                i += 6;
                code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
            }
            at = detail::put_code_point(at, code);
        }
        buffer.resize(base + static_cast<size_t>(at - first));
        out = std::string_view(buffer).substr(base);
        pos_ = end + 1;
        return true;
    }

    bool read_string_checked(std::string_view& out, std::string& buffer, bool keep_buffer) {
        size_t start = pos_;
        size_t base = std::string::npos;  // where the unescaped text starts in `buffer`, once an escape is met
        const char* data = text_.data();
        const size_t size = text_.size();
        for (;;) {
            pos_ = detail::skip_plain_string_bytes(data, pos_, size);
            while (pos_ < size && !detail::is_string_special(data[pos_])) ++pos_;
            if (pos_ >= size) return fail_at(ErrorCode::EofWhileParsingString, size);
            char c = data[pos_];
            if (c == '"') {
                if (base != std::string::npos) {
                    buffer.append(data + start, pos_ - start);
                    out = std::string_view(buffer).substr(base);
                } else {
                    out = std::string_view(data + start, pos_ - start);
                }
                ++pos_;
                return true;
            }
            if (c != '\\') {
                ++pos_;
                return fail_after(ErrorCode::ControlCharacterInString);
            }
            if (base == std::string::npos) {
                if (!keep_buffer) buffer.clear();
                base = buffer.size();
            }
            buffer.append(data + start, pos_ - start);
            ++pos_;
            if (!read_escape(buffer)) return false;
            start = pos_;
        }
    }

    bool read_digits() {
        const char* data = text_.data();
        if (pos_ >= text_.size()) return fail_here(ErrorCode::EofWhileParsingValue);
        if (data[pos_] < '0' || data[pos_] > '9') return fail_here(ErrorCode::InvalidNumber);
        while (pos_ < text_.size() && data[pos_] >= '0' && data[pos_] <= '9') ++pos_;
        return true;
    }

    bool read_hex4(uint32_t& out) {
        if (pos_ + 4 > text_.size()) return fail_at(ErrorCode::EofWhileParsingString, text_.size());
        uint32_t value = 0;
        for (int i = 0; i < 4; ++i) {
            int digit = detail::hex_digit(text_[pos_ + i]);
            if (digit < 0) {
                pos_ += 4;
                return fail_after(ErrorCode::InvalidEscape);
            }
            value = value * 16 + static_cast<uint32_t>(digit);
        }
        pos_ += 4;
        out = value;
        return true;
    }

    // The cursor is just past the backslash.
    bool read_escape(std::string& out) {
        if (at_end()) return fail_at(ErrorCode::EofWhileParsingString, text_.size());
        char c = text_[pos_++];
        switch (c) {
            case '"': out.push_back('"'); return true;
            case '\\': out.push_back('\\'); return true;
            case '/': out.push_back('/'); return true;
            case 'b': out.push_back('\b'); return true;
            case 'f': out.push_back('\f'); return true;
            case 'n': out.push_back('\n'); return true;
            case 'r': out.push_back('\r'); return true;
            case 't': out.push_back('\t'); return true;
            case 'u': break;
            default: return fail_after(ErrorCode::InvalidEscape);
        }
        uint32_t first;
        if (!read_hex4(first)) return false;
        if (first >= 0xDC00 && first <= 0xDFFF) return fail_after(ErrorCode::LoneLeadingSurrogateInHexEscape);
        if (first < 0xD800 || first > 0xDBFF) {
            detail::append_code_point(out, first);
            return true;
        }
        if (at_end()) return fail_at(ErrorCode::EofWhileParsingString, text_.size());
        if (text_[pos_] != '\\') {
            ++pos_;
            return fail_after(ErrorCode::UnexpectedEndOfHexEscape);
        }
        ++pos_;
        if (at_end()) return fail_at(ErrorCode::EofWhileParsingString, text_.size());
        if (text_[pos_] != 'u') {
            ++pos_;
            return fail_after(ErrorCode::UnexpectedEndOfHexEscape);
        }
        ++pos_;
        uint32_t second;
        if (!read_hex4(second)) return false;
        if (second < 0xDC00 || second > 0xDFFF) return fail_after(ErrorCode::LoneLeadingSurrogateInHexEscape);
        detail::append_code_point(out, 0x10000 + ((first - 0xD800) << 10) + (second - 0xDC00));
        return true;
    }

    void end_array(SinkValue& out, typename Sink::Array&& array) {
        build(out, [&](auto&... into) { return sink_.end_array(into..., std::move(array)); });
    }
    void end_object(SinkValue& out, typename Sink::Object&& object) {
        build(out, [&](auto&... into) { return sink_.end_object(into..., std::move(object)); });
    }

    bool read_array(SinkValue& out, int depth) {
        if (depth >= MAX_NESTING) return fail_here(ErrorCode::RecursionLimitExceeded);
        ++pos_;
        typename Sink::Array array = sink_.begin_array();
        skip_whitespace();
        if (at_end()) return fail_here(ErrorCode::EofWhileParsingList);
        if (peek() == ']') {
            ++pos_;
            end_array(out, std::move(array));
            return true;
        }
        for (;;) {
            SinkValue element{};
            if (!read_value(element, depth + 1)) return false;
            sink_.array_push(array, std::move(element));
            skip_whitespace();
            if (at_end()) return fail_here(ErrorCode::EofWhileParsingList);
            char c = peek();
            if (c == ']') {
                ++pos_;
                end_array(out, std::move(array));
                return true;
            }
            if (c != ',') return fail_here(ErrorCode::ExpectedListCommaOrEnd);
            ++pos_;
            skip_whitespace();
            if (at_end()) return fail_here(ErrorCode::EofWhileParsingValue);
            if (peek() == ']') return fail_here(ErrorCode::TrailingComma);
        }
    }

    bool read_member_value(typename Sink::Object& object, std::string_view key, int depth) {
        if constexpr (requires { sink_.object_slot(object, key); }) {
            // A scalar goes straight into its member: reading one moves none of the sink's stacks.
            skip_whitespace();
            if (!at_end() && peek() != '{' && peek() != '[') return read_value(sink_.object_slot(object, key), depth);
        }
        SinkValue value{};
        if (!read_value(value, depth)) return false;
        sink_.object_insert(object, key, std::move(value));
        return true;
    }

    bool read_object(SinkValue& out, int depth) {
        if (depth >= MAX_NESTING) return fail_here(ErrorCode::RecursionLimitExceeded);
        ++pos_;
        typename Sink::Object object = sink_.begin_object();
        skip_whitespace();
        if (at_end()) return fail_here(ErrorCode::EofWhileParsingObject);
        if (peek() == '}') {
            ++pos_;
            end_object(out, std::move(object));
            return true;
        }
        std::string escaped_key;
        for (;;) {
            if (peek() != '"') return fail_here(ErrorCode::KeyMustBeAString);
            std::string_view key;
            if (!read_string(key, scratch_)) return false;
            if (key.data() == scratch_.data()) {
                // Reading the value reuses the scratch buffer.
                escaped_key.assign(key);
                key = escaped_key;
            }
            skip_whitespace();
            if (at_end()) return fail_here(ErrorCode::EofWhileParsingObject);
            if (peek() != ':') return fail_here(ErrorCode::ExpectedColon);
            ++pos_;
            if (!read_member_value(object, key, depth + 1)) return false;
            skip_whitespace();
            if (at_end()) return fail_here(ErrorCode::EofWhileParsingObject);
            char c = peek();
            if (c == '}') {
                ++pos_;
                end_object(out, std::move(object));
                return true;
            }
            if (c != ',') return fail_here(ErrorCode::ExpectedObjectCommaOrEnd);
            ++pos_;
            skip_whitespace();
            if (at_end()) return fail_here(ErrorCode::EofWhileParsingValue);
            if (peek() == '}') return fail_here(ErrorCode::TrailingComma);
        }
    }

    std::string_view text_;
    size_t pos_;
    Sink& sink_;
    std::string scratch_;
    ReadFailure failure_;
};

// Builds json::Value trees. The elements of the arrays and objects being read wait on two stacks
// of the thread, so each array or object is allocated once, at its size. A sink is used on the
// thread that made it; sinks of one thread read nested in one another, each leaving the stacks
// as it found them.
struct ValueSink {
    using Value = json::Value;
    struct Array {
        size_t start = 0;  // of its elements on the value stack
    };
    struct Object {
        size_t start = 0;  // of its members on the member stack
        // Built once an object grows large, so repeated-key checks stay linear overall.
        std::unordered_map<std::string, size_t> index;
    };

    ValueSink();
    ~ValueSink();
    ValueSink(const ValueSink&) = delete;
    ValueSink& operator=(const ValueSink&) = delete;

    void make_null(Value& out) { out.data.emplace<std::nullptr_t>(); }
    void make_bool(Value& out, bool b) { out.data.emplace<bool>(b); }
    void make_uint(Value& out, uint64_t u) { out.data.emplace<uint64_t>(u); }
    void make_int(Value& out, int64_t i) { out.data.emplace<int64_t>(i); }
    void make_double(Value& out, double d) { out.data.emplace<double>(d); }
    void make_string(Value& out, std::string_view s) { out.data.emplace<std::string>(s); }
    Array begin_array() { return Array{values_.size()}; }
    void array_push(Array&, Value&& value) { values_.push_back(std::move(value)); }
    void end_array(Value& out, Array&& array);
    Object begin_object() { return Object{members_.size(), {}}; }
    void object_insert(Object& object, std::string_view key, Value&& value);
    // The null value of member `key`, to be built in place; it must not move the stacks while it is.
    Value& object_slot(Object& object, std::string_view key);
    void end_object(Value& out, Object&& object);

private:
    std::vector<Value>& values_;
    std::vector<Member>& members_;
    size_t values_base_, members_base_;
};

// Builds nothing: validation only.
struct NullSink {
    struct Value {};
    using Array = Value;
    using Object = Value;
    Value make_null() { return {}; }
    Value make_bool(bool) { return {}; }
    Value make_uint(uint64_t) { return {}; }
    Value make_int(int64_t) { return {}; }
    Value make_double(double) { return {}; }
    Value make_string(std::string_view) { return {}; }
    Array begin_array() { return {}; }
    void array_push(Array&, Value&&) {}
    Value end_array(Array&&) { return {}; }
    Object begin_object() { return {}; }
    void object_insert(Object&, std::string_view, Value&&) {}
    Value end_object(Object&&) { return {}; }
};

template <class Sink>
template <class OtherSink>
bool Reader<Sink>::read_value_with(OtherSink& other_sink, typename OtherSink::Value& out, int depth) {
    Reader<OtherSink> inner(text_, other_sink);
    inner.pos_ = pos_;
    bool ok = inner.read_value(out, depth);
    pos_ = inner.pos_;
    if (!ok) failure_ = inner.failure_;
    return ok;
}

template <class Sink>
bool Reader<Sink>::skip_value(int depth) {
    if (const size_t end = detail::skip_plain_value(text_.data(), pos_, text_.size(), MAX_NESTING - depth);
        end != detail::NOT_SKIPPED) {
        pos_ = end;
        return true;
    }
    // What the short way leaves, the reader says where and why it fails, or reads anyway.
    NullSink null_sink;
    NullSink::Value ignored;
    return read_value_with(null_sink, ignored, depth);
}

}  // namespace velkin::json
