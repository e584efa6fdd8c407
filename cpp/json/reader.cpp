#include "json/reader.hpp"

#include <algorithm>
#include <cstring>

namespace velkin::json {

std::string_view error_text(ErrorCode code) {
    switch (code) {
        case ErrorCode::EofWhileParsingList: return "EOF while parsing a list";
        case ErrorCode::EofWhileParsingObject: return "EOF while parsing an object";
        case ErrorCode::EofWhileParsingString: return "EOF while parsing a string";
        case ErrorCode::EofWhileParsingValue: return "EOF while parsing a value";
        case ErrorCode::ExpectedColon: return "expected `:`";
        case ErrorCode::ExpectedListCommaOrEnd: return "expected `,` or `]`";
        case ErrorCode::ExpectedObjectCommaOrEnd: return "expected `,` or `}`";
        case ErrorCode::ExpectedIdent: return "expected ident";
        case ErrorCode::ExpectedValue: return "expected value";
        case ErrorCode::InvalidEscape: return "invalid escape";
        case ErrorCode::InvalidNumber: return "invalid number";
        case ErrorCode::NumberOutOfRange: return "number out of range";
        case ErrorCode::ControlCharacterInString:
            return "control character (\\u0000-\\u001F) found while parsing a string";
        case ErrorCode::KeyMustBeAString: return "key must be a string";
        case ErrorCode::LoneLeadingSurrogateInHexEscape: return "lone leading surrogate in hex escape";
        case ErrorCode::UnexpectedEndOfHexEscape: return "unexpected end of hex escape";
        case ErrorCode::TrailingComma: return "trailing comma";
        case ErrorCode::TrailingCharacters: return "trailing characters";
        case ErrorCode::RecursionLimitExceeded: return "recursion limit exceeded";
    }
    return "expected value";
}

std::string ReadError::message() const {
    std::string text(cause());
    text += " at line " + std::to_string(line) + " column " + std::to_string(column);
    return text;
}

Position position_of(std::string_view text, size_t index) {
    index = std::min(index, text.size());
    std::string_view before = text.substr(0, index);
    size_t line_start = before.rfind('\n');
    line_start = line_start == std::string_view::npos ? 0 : line_start + 1;
    return Position{1 + static_cast<uint64_t>(std::count(before.begin(), before.begin() + line_start, '\n')),
                    index - line_start};
}

namespace {

std::vector<Value>& value_stack() {
    thread_local std::vector<Value> stack;
    return stack;
}

std::vector<Member>& member_stack() {
    thread_local std::vector<Member> stack;
    return stack;
}

// What an emptied stack may keep for the next document; a larger one is given back.
constexpr size_t KEPT_STACK_ENTRIES = 4096;

template <class Entry>
void restore(std::vector<Entry>& stack, size_t base) {
    if (stack.size() > base) stack.erase(stack.begin() + static_cast<std::ptrdiff_t>(base), stack.end());
    if (stack.empty() && stack.capacity() > KEPT_STACK_ENTRIES) std::vector<Entry>().swap(stack);
}

}  // namespace

ValueSink::ValueSink()
    : values_(value_stack()), members_(member_stack()), values_base_(values_.size()), members_base_(members_.size()) {}

ValueSink::~ValueSink() {
    restore(values_, values_base_);
    restore(members_, members_base_);
}

void ValueSink::end_array(Value& out, Array&& array) {
    auto first = values_.begin() + static_cast<std::ptrdiff_t>(array.start);
    out.data.emplace<json::Array>(std::make_move_iterator(first), std::make_move_iterator(values_.end()));
    values_.erase(first, values_.end());
}

Value& ValueSink::object_slot(Object& object, std::string_view key) {
    constexpr size_t linear_limit = 16;
    const size_t count = members_.size() - object.start;
    if (count < linear_limit) {
        for (size_t i = object.start; i < members_.size(); ++i) {
            if (members_[i].key == key) {
                members_[i].value = Value();
                return members_[i].value;
            }
        }
        return members_.emplace_back(std::string(key)).value;
    }
    object_insert(object, key, Value());
    return members_[object.index.find(std::string(key))->second].value;
}

void ValueSink::object_insert(Object& object, std::string_view key, Value&& value) {
    constexpr size_t linear_limit = 16;
    const size_t count = members_.size() - object.start;
    if (count < linear_limit) {
        for (size_t i = object.start; i < members_.size(); ++i) {
            if (members_[i].key == key) {
                members_[i].value = std::move(value);
                return;
            }
        }
        members_.push_back(Member{std::string(key), std::move(value)});
        return;
    }
    if (object.index.empty()) {
        for (size_t i = object.start; i < members_.size(); ++i) object.index.emplace(members_[i].key, i);
    }
    auto [it, inserted] = object.index.emplace(std::string(key), members_.size());
    if (inserted) {
        members_.push_back(Member{std::string(key), std::move(value)});
    } else {
        members_[it->second].value = std::move(value);
    }
}

void ValueSink::end_object(Value& out, Object&& object) {
    auto first = members_.begin() + static_cast<std::ptrdiff_t>(object.start);
    out.data.emplace<json::Object>(std::make_move_iterator(first), std::make_move_iterator(members_.end()));
    members_.erase(first, members_.end());
}

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

[[gnu::always_inline]] inline size_t past_whitespace(const char* data, size_t pos, size_t size) {
    // Compact text has none: one test, then the loop only where there is some.
    if (pos < size && static_cast<unsigned char>(data[pos]) > ' ') [[likely]]
        return pos;
    while (pos < size && detail::is_json_whitespace(data[pos])) ++pos;
    return pos;
}

// The first '"', '\\' or control byte at or after `pos`, else `size`: sixteen bytes at a time, the few
// left at the end of the text one by one.
[[gnu::always_inline]] inline size_t next_string_special(const char* data, size_t pos, size_t size) {
    for (; pos + 16 <= size; pos += 16) {
        if (const uint32_t mask = arch::top_bits(detail::string_special_lanes(data + pos)))
            return pos + static_cast<size_t>(std::countr_zero(mask));
    }
    while (pos < size && !detail::is_string_special(data[pos])) ++pos;
    return pos;
}

// Past the string whose quote is at `pos`.
[[gnu::always_inline]] inline size_t skip_plain_string(const char* data, size_t pos, size_t size) {
    ++pos;
    for (;;) {
        pos = next_string_special(data, pos, size);
        if (pos >= size) return detail::NOT_SKIPPED;
        if (data[pos] == '"') return pos + 1;
        if (data[pos] != '\\' || pos + 1 >= size) return detail::NOT_SKIPPED;
        switch (data[pos + 1]) {
            case '"':
            case '\\':
            case '/':
            case 'b':
            case 'f':
            case 'n':
            case 'r':
            case 't': pos += 2; continue;
            case 'u': break;
            default: return detail::NOT_SKIPPED;
        }
        uint32_t code = 0;
        if (!detail::hex4(data, pos + 2, size, code) || (code >= 0xD800 && code <= 0xDFFF)) return detail::NOT_SKIPPED;
        pos += 6;
    }
}

// Past the number at `pos`, one without an exponent and with too few digits before its point to be out of range.
size_t skip_plain_number(const char* data, size_t pos, size_t size) {
    if (data[pos] == '-') ++pos;
    const size_t first = pos;
    while (pos < size && is_digit(data[pos])) ++pos;
    const size_t digits = pos - first;
    if (digits == 0 || digits > 300 || (digits > 1 && data[first] == '0')) return detail::NOT_SKIPPED;
    if (pos < size && data[pos] == '.') {
        const size_t point = ++pos;
        while (pos < size && is_digit(data[pos])) ++pos;
        if (pos == point) return detail::NOT_SKIPPED;
    }
    if (pos < size && (data[pos] == 'e' || data[pos] == 'E')) return detail::NOT_SKIPPED;
    return pos;
}

size_t skip_word(const char* data, size_t pos, size_t size, std::string_view word) {
    if (size - pos < word.size() || std::memcmp(data + pos, word.data(), word.size()) != 0) return detail::NOT_SKIPPED;
    return pos + word.size();
}

}  // namespace

size_t detail::skip_plain_value(const char* data, size_t pos, size_t size, int room) {
    bool in_object[MAX_NESTING];  // of each array or object open, whether it is an object
    int open = 0;
    // Past an object's key and its colon, from the whitespace before the key.
    auto past_key = [&] {
        pos = past_whitespace(data, pos, size);
        if (pos >= size || data[pos] != '"') return false;
        pos = past_whitespace(data, skip_plain_string(data, pos, size), size);
        if (pos >= size || data[pos] != ':') return false;
        ++pos;
        return true;
    };
    for (;;) {
        pos = past_whitespace(data, pos, size);
        if (pos >= size) return NOT_SKIPPED;
        const char c = data[pos];
        if (c == '{' || c == '[') {
            if (open >= room || open >= MAX_NESTING) return NOT_SKIPPED;
            pos = past_whitespace(data, pos + 1, size);
            if (pos >= size) return NOT_SKIPPED;
            if (data[pos] != (c == '{' ? '}' : ']')) {
                in_object[open++] = c == '{';
                if (c == '{' && !past_key()) return NOT_SKIPPED;
                continue;
            }
            ++pos;
        } else if (c == '"') {
            pos = skip_plain_string(data, pos, size);
        } else if (c == 't') {
            pos = skip_word(data, pos, size, "true");
        } else if (c == 'f') {
            pos = skip_word(data, pos, size, "false");
        } else if (c == 'n') {
            pos = skip_word(data, pos, size, "null");
        } else {
            pos = skip_plain_number(data, pos, size);
        }
        if (pos == NOT_SKIPPED) return NOT_SKIPPED;
        // The value read: close what it ends, up to the next member or element.
        for (;;) {
            if (open == 0) return pos;
            pos = past_whitespace(data, pos, size);
            if (pos >= size) return NOT_SKIPPED;
            const char next = data[pos++];
            if (next == ',') break;
            if (next != (in_object[open - 1] ? '}' : ']')) return NOT_SKIPPED;
            --open;
        }
        if (in_object[open - 1] && !past_key()) return NOT_SKIPPED;
    }
}

template <class Sink>
static bool read_document(Reader<Sink>& reader, typename Sink::Value& out) {
    if (!reader.read_value(out, 0)) return false;
    reader.skip_whitespace();
    if (!reader.at_end()) return reader.fail_here(ErrorCode::TrailingCharacters);
    return true;
}

Result<Value, ReadError> parse_document(std::string_view text) {
    ValueSink sink;
    Reader<ValueSink> reader(text, sink);
    Value value;
    if (!read_document(reader, value)) return reader.error();
    return value;
}

bool is_document(std::string_view text) {
    NullSink sink;
    Reader<NullSink> reader(text, sink);
    NullSink::Value ignored;
    return read_document(reader, ignored);
}

}  // namespace velkin::json
