#pragma once
// The compact JSON form of the log writer: no whitespace, members in stored
// order, no normalisation, shortest round-trip floats laid out as "1.0",
// "1e16", "1.5e-7", "0.00001". Also the form explanations quote values in.
#include <cstdint>
#include <string>
#include <string_view>

#include "json/value.hpp"

namespace velkin::json {

void write_compact(const Value& value, std::string& out);
std::string to_compact(const Value& value);
// The compact form with the members of every object ordered by the bytes of
// their names, stably (repeated names keep their order), without copying the value.
void write_compact_sorted(const Value& value, std::string& out);
void write_compact_string(std::string_view text, std::string& out);
void write_compact_double(double value, std::string& out);
// Decimal digits, "-" for negatives; the canonical form writes integers the same way.
void write_integer(uint64_t value, std::string& out);
void write_integer(int64_t value, std::string& out);

}  // namespace velkin::json
