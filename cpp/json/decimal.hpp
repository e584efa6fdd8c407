#pragma once
// The shortest round-trip decimal digits of a double and their positional
// layout, shared by the compact and canonical writers and value descriptions.
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

}  // namespace velkin::json
