#pragma once
// Doubles to and from decimal text: the shortest round-trip digits of a
// double and their positional layout, shared by the compact and canonical
// writers and value descriptions, and the double nearest to decimal text.
#include <charconv>
#include <string>

namespace velkin::json {

// value = (negative ? -1 : 1) × 0.d1 d2 ... d_count × 10^exponent, with the
// fewest digits that read back as the same double (ties: closest to it).
struct ShortestDigits {
    char digits[17];
    int count = 0;
    int exponent = 0;
    bool negative = false;
};

// `value` must be finite and non-zero.
ShortestDigits shortest_digits(double value);

// The sign and digits in plain positional notation, never an exponent and
// without a fractional part when the value is a whole number: "-120", "0.0015".
void append_positional(const ShortestDigits& decimal, std::string& out);

// Reads [first, last) as std::from_chars reads a double in its general format
// (an optional '-', digits with an optional point and exponent, or inf/nan),
// into the nearest double, on every standard library. A finite number that is
// too large, or non-zero and too small, for a double is result_out_of_range,
// `value` then being the nearest (±infinity or ±0).
std::from_chars_result read_double(const char* first, const char* last, double& value);

}  // namespace velkin::json
