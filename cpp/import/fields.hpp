#pragma once
// Reading the members of an input document. A member of the wrong type is bad
// input: the mapper throws BadInput with the member's name and what was
// expected, and the import entry point turns it into an error value that
// names the file and line.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "json/value.hpp"

namespace velkin::json {
struct ReadError;
}

namespace velkin::imports {

struct BadInput {
    std::string message;
};

[[noreturn]] void bad_input(std::string message);
// "invalid JSON: {cause} at column {column}" for a document on one line (the
// import names the line), with "line {line} " before the column otherwise.
[[noreturn]] void bad_json(const json::ReadError& error);
// "field `{name}`: expected {expected}, found {description of value}"
[[noreturn]] void wrong_type(std::string_view name, std::string_view expected, const json::Value& value);

// The member when present and not null.
const json::Value* member(const json::Value& object, std::string_view key);
// Typed optional members: absent or null gives nothing; another type is bad input.
const std::string* string_member(const json::Value& object, std::string_view key);
const json::Array* array_member(const json::Value& object, std::string_view key);
const json::Value* object_member(const json::Value& object, std::string_view key);
std::optional<double> number_member(const json::Value& object, std::string_view key);
// The largest whole number below which a double holds every whole number: the bound of counts
// and durations.
inline constexpr double MAX_WHOLE = 9007199254740991.0;
// Members with a range: absent or null gives nothing; a number out of the range is bad input,
// as a member of the wrong type is (a guess in its place would change what the diff measures).
// A token count: a whole number from 0 to MAX_WHOLE.
std::optional<double> count_member(const json::Value& object, std::string_view key);
// The same check for a count read otherwise (an OTLP attribute).
double checked_count(std::string_view key, double count);
// Milliseconds from 0 to MAX_WHOLE.
std::optional<double> milliseconds_member(const json::Value& object, std::string_view key);
// Seconds since 1970-01-01 up to the end of the year 9999 (what a timestamp can show).
std::optional<double> epoch_seconds_member(const json::Value& object, std::string_view key);
// Required members.
const std::string& required_string(const json::Value& object, std::string_view key);
const json::Array& required_array(const json::Value& object, std::string_view key);
const json::Value& required_object(const json::Value& object, std::string_view key);

// A count as JSON: integral values stay integers.
json::Value count_value(double count);

inline void add_members(json::Object&) {}
template <class Item, class... Rest>
void add_members(json::Object& object, std::string_view key, Item&& value, Rest&&... rest) {
    object.push_back(json::Member{std::string(key), json::Value(std::forward<Item>(value))});
    add_members(object, std::forward<Rest>(rest)...);
}

// An object of keys and values in turn, taken over: a braced list would copy every member.
template <class... KeysAndValues>
json::Value object_of(KeysAndValues&&... keys_and_values) {
    json::Object object;
    object.reserve(sizeof...(keys_and_values) / 2);
    add_members(object, std::forward<KeysAndValues>(keys_and_values)...);
    return json::Value(std::move(object));
}

// An array of one value, taken over.
inline json::Array array_of(json::Value value) {
    json::Array array;
    array.push_back(std::move(value));
    return array;
}

}  // namespace velkin::imports
