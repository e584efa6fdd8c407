#include "json/reader.hpp"

#include <algorithm>

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
