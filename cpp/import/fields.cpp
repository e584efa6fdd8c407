#include "import/fields.hpp"

#include <cmath>

#include "json/reader.hpp"
#include "json/writer.hpp"

namespace velkin::imports {

void bad_input(std::string message) { throw BadInput{std::move(message)}; }

void bad_json(const json::ReadError& error) {
    if (error.line != 1) bad_input("invalid JSON: " + error.message());
    bad_input("invalid JSON: " + std::string(error.cause()) + " at column " + std::to_string(error.column));
}

void wrong_type(std::string_view name, std::string_view expected, const json::Value& value) {
    bad_input("field `" + std::string(name) + "`: expected " + std::string(expected) + ", found " +
              json::describe(value));
}

const json::Value* member(const json::Value& object, std::string_view key) {
    const json::Value* value = object.get(key);
    return value && !value->is_null() ? value : nullptr;
}

const std::string* string_member(const json::Value& object, std::string_view key) {
    const json::Value* value = member(object, key);
    if (!value) return nullptr;
    if (!value->as_string()) wrong_type(key, "a string", *value);
    return value->as_string();
}

const json::Array* array_member(const json::Value& object, std::string_view key) {
    const json::Value* value = member(object, key);
    if (!value) return nullptr;
    if (!value->as_array()) wrong_type(key, "an array", *value);
    return value->as_array();
}

const json::Value* object_member(const json::Value& object, std::string_view key) {
    const json::Value* value = member(object, key);
    if (!value) return nullptr;
    if (!value->as_object()) wrong_type(key, "an object", *value);
    return value;
}

std::optional<double> number_member(const json::Value& object, std::string_view key) {
    const json::Value* value = member(object, key);
    if (!value) return std::nullopt;
    if (!value->is_number()) wrong_type(key, "a number", *value);
    return value->as_double();
}

namespace {

[[noreturn]] void out_of_range(std::string_view key, std::string_view expected, double value) {
    bad_input("field `" + std::string(key) + "`: expected " + std::string(expected) + ", found " +
              json::to_compact(json::Value(value)));
}

constexpr double LAST_SECOND_OF_9999 = 253402300799.0;

}  // namespace

double checked_count(std::string_view key, double count) {
    if (!(count >= 0 && count <= MAX_WHOLE && std::floor(count) == count))
        out_of_range(key, "a token count (a whole number from 0 to 9007199254740991)", count);
    return count;
}

std::optional<double> count_member(const json::Value& object, std::string_view key) {
    std::optional<double> count = number_member(object, key);
    if (count) checked_count(key, *count);
    return count;
}

std::optional<double> milliseconds_member(const json::Value& object, std::string_view key) {
    std::optional<double> ms = number_member(object, key);
    if (ms && !(*ms >= 0 && *ms <= MAX_WHOLE)) out_of_range(key, "milliseconds from 0 to 9007199254740991", *ms);
    return ms;
}

std::optional<double> epoch_seconds_member(const json::Value& object, std::string_view key) {
    std::optional<double> seconds = number_member(object, key);
    if (seconds && !(*seconds >= 0 && *seconds <= LAST_SECOND_OF_9999))
        out_of_range(key, "seconds since 1970 up to the year 9999 (0 to 253402300799)", *seconds);
    return seconds;
}

const std::string& required_string(const json::Value& object, std::string_view key) {
    const std::string* value = string_member(object, key);
    if (!value) bad_input("field `" + std::string(key) + "`: expected a string, found nothing");
    return *value;
}

const json::Array& required_array(const json::Value& object, std::string_view key) {
    const json::Array* value = array_member(object, key);
    if (!value) bad_input("field `" + std::string(key) + "`: expected an array, found nothing");
    return *value;
}

const json::Value& required_object(const json::Value& object, std::string_view key) {
    const json::Value* value = object_member(object, key);
    if (!value) bad_input("field `" + std::string(key) + "`: expected an object, found nothing");
    return *value;
}

json::Value count_value(double count) {
    if (count >= 0 && count < 9007199254740992.0 && std::floor(count) == count)
        return json::Value(static_cast<uint64_t>(count));
    return json::Value(count);
}

}  // namespace velkin::imports
