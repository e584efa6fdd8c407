#pragma once
// The JSON value shared by every subsystem: owned, objects keep insertion
// order, numbers keep their unsigned / signed / double form.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace velkin::json {

struct Value;
struct Member;
using Array = std::vector<Value>;
using Object = std::vector<Member>;  // insertion order; keys are unique once built by the reader

enum class Type : uint8_t { Null, Bool, UInt, Int, Double, String, Array, Object };

struct Value {
    // Alternative order matches Type.
    std::variant<std::nullptr_t, bool, uint64_t, int64_t, double, std::string, Array, Object> data;

    // Defined below Member: building the variant needs every alternative complete (libc++ checks).
    Value();
    Value(std::nullptr_t);
    Value(bool b);
    Value(uint64_t u);
    Value(int64_t i);
    Value(double d);
    Value(std::string s);
    Value(const char* s);
    Value(Array a);
    Value(Object o);

    Type type() const { return static_cast<Type>(data.index()); }
    bool is_null() const { return type() == Type::Null; }
    bool is_number() const { return type() == Type::UInt || type() == Type::Int || type() == Type::Double; }

    const bool* as_bool() const { return std::get_if<bool>(&data); }
    const std::string* as_string() const { return std::get_if<std::string>(&data); }
    const Array* as_array() const { return std::get_if<Array>(&data); }
    const Object* as_object() const { return std::get_if<Object>(&data); }
    Object* as_object() { return std::get_if<Object>(&data); }
    Array* as_array() { return std::get_if<Array>(&data); }

    // Any JSON number as a double (integers converted to the nearest double).
    std::optional<double> as_double() const;

    // Member of an object by key; nullptr when this is not an object or lacks the key.
    const Value* get(std::string_view key) const;
};

struct Member {
    std::string key;
    Value value;
};

inline Value::Value() : data(nullptr) {}
inline Value::Value(std::nullptr_t) : data(nullptr) {}
inline Value::Value(bool b) : data(b) {}
inline Value::Value(uint64_t u) : data(u) {}
inline Value::Value(int64_t i) : data(i) {}
inline Value::Value(double d) : data(d) {}
inline Value::Value(std::string s) : data(std::move(s)) {}
inline Value::Value(const char* s) : data(std::string(s)) {}
inline Value::Value(Array a) : data(std::move(a)) {}
inline Value::Value(Object o) : data(std::move(o)) {}

// Deep equality: objects compare as unordered maps, numbers are equal only
// within the same class (both integers of the same value, or both doubles).
bool deep_equal(const Value& a, const Value& b);

// The description of a value in type-mismatch messages: "integer `5`",
// "floating point `1.5`", "boolean `true`", "string \"abc\"", "null", "map", "sequence".
std::string describe(const Value& value);
// "invalid type: {found}, expected {expected}", `found` being such a description.
std::string invalid_type_message(std::string_view found, std::string_view expected);

// Inserts or replaces: a repeated key keeps its first position and takes the later value.
void object_set(Object& object, std::string key, Value value);

}  // namespace velkin::json
