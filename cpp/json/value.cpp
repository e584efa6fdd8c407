#include "json/value.hpp"

#include <cmath>

#include "json/decimal.hpp"
#include "text/unicode.hpp"

namespace velkin::json {

std::optional<double> Value::as_double() const {
    switch (type()) {
        case Type::UInt: return static_cast<double>(std::get<uint64_t>(data));
        case Type::Int: return static_cast<double>(std::get<int64_t>(data));
        case Type::Double: return std::get<double>(data);
        default: return std::nullopt;
    }
}

const Value* Value::get(std::string_view key) const {
    const Object* object = as_object();
    if (!object) return nullptr;
    for (const Member& member : *object)
        if (member.key == key) return &member.value;
    return nullptr;
}

static bool integers_equal(const Value& a, const Value& b) {
    // UInt holds only non-negative values and Int only negative ones when read
    // from text, but values built elsewhere may use either; compare by value.
    auto as_signed_pair = [](const Value& v, bool& negative, uint64_t& magnitude) {
        if (v.type() == Type::UInt) {
            negative = false;
            magnitude = std::get<uint64_t>(v.data);
        } else {
            int64_t i = std::get<int64_t>(v.data);
            negative = i < 0;
            magnitude = negative ? 0 - static_cast<uint64_t>(i) : static_cast<uint64_t>(i);
        }
    };
    bool na, nb;
    uint64_t ma, mb;
    as_signed_pair(a, na, ma);
    as_signed_pair(b, nb, mb);
    return na == nb && ma == mb;
}

bool deep_equal(const Value& a, const Value& b) {
    Type ta = a.type(), tb = b.type();
    bool a_int = ta == Type::UInt || ta == Type::Int;
    bool b_int = tb == Type::UInt || tb == Type::Int;
    if (a_int || b_int) return a_int && b_int && integers_equal(a, b);
    if (ta != tb) return false;
    switch (ta) {
        case Type::Null: return true;
        case Type::Bool: return std::get<bool>(a.data) == std::get<bool>(b.data);
        case Type::Double: return std::get<double>(a.data) == std::get<double>(b.data);
        case Type::String: return std::get<std::string>(a.data) == std::get<std::string>(b.data);
        case Type::Array: {
            const Array& x = std::get<Array>(a.data);
            const Array& y = std::get<Array>(b.data);
            if (x.size() != y.size()) return false;
            for (size_t i = 0; i < x.size(); ++i)
                if (!deep_equal(x[i], y[i])) return false;
            return true;
        }
        case Type::Object: {
            const Object& x = std::get<Object>(a.data);
            const Object& y = std::get<Object>(b.data);
            if (x.size() != y.size()) return false;
            for (const Member& member : x) {
                const Value* other = b.get(member.key);
                if (!other || !deep_equal(member.value, *other)) return false;
            }
            return true;
        }
        default: return false;
    }
}

static std::string describe_double(double value) {
    std::string out = "floating point `";
    if (std::isnan(value)) {
        out += "NaN";
    } else if (std::isinf(value)) {
        out += value < 0 ? "-inf" : "inf";
    } else {
        // Plain positional digits, always with a fractional part.
        if (value == 0.0) {
            out += std::signbit(value) ? "-0.0" : "0.0";
        } else {
            ShortestDigits decimal = shortest_digits(value);
            append_positional(decimal, out);
            if (decimal.exponent >= decimal.count) out += ".0";
        }
    }
    out += "`";
    return out;
}

std::string describe(const Value& value) {
    switch (value.type()) {
        case Type::Null: return "null";
        case Type::Bool: return std::get<bool>(value.data) ? "boolean `true`" : "boolean `false`";
        case Type::UInt: return "integer `" + std::to_string(std::get<uint64_t>(value.data)) + "`";
        case Type::Int: return "integer `" + std::to_string(std::get<int64_t>(value.data)) + "`";
        case Type::Double: return describe_double(std::get<double>(value.data));
        case Type::String: return "string " + text::debug_quoted(std::get<std::string>(value.data));
        case Type::Array: return "sequence";
        case Type::Object: return "map";
    }
    return "null";
}

std::string invalid_type_message(std::string_view found, std::string_view expected) {
    std::string message = "invalid type: ";
    message += found;
    message += ", expected ";
    message += expected;
    return message;
}

void object_set(Object& object, std::string key, Value value) {
    for (Member& member : object) {
        if (member.key == key) {
            member.value = std::move(value);
            return;
        }
    }
    object.push_back(Member{std::move(key), std::move(value)});
}

}  // namespace velkin::json
