#include "json/decimal.hpp"

#include <charconv>
#include <cmath>
#include <string_view>

#include "fast_float/fast_float.h"
#include "platform/result.hpp"

namespace velkin::json {

ShortestDigits shortest_digits(double value) {
    if (!std::isfinite(value) || value == 0) throw Panic("shortest_digits needs a finite non-zero double");
    // The scientific form without a precision carries the shortest digits: "-d.ddde-xx".
    char buffer[32];
    auto [end, status] = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
    if (status != std::errc()) throw Panic("double formatting failed");
    ShortestDigits result;
    const char* p = buffer;
    if (*p == '-') {
        result.negative = true;
        ++p;
    }
    for (; *p != 'e'; ++p)
        if (*p != '.') result.digits[result.count++] = *p;
    ++p;
    if (*p == '+') ++p;
    int scientific_exponent = 0;
    auto parsed = std::from_chars(p, end, scientific_exponent);
    if (parsed.ec != std::errc() || parsed.ptr != end) throw Panic("double formatting gave an unreadable exponent");
    result.exponent = scientific_exponent + 1;
    return result;
}

void append_positional(const ShortestDigits& decimal, std::string& out) {
    const std::string_view digits(decimal.digits, static_cast<size_t>(decimal.count));
    const int n = decimal.count;
    const int e = decimal.exponent;  // value = 0.d1...dn × 10^e
    if (decimal.negative) out.push_back('-');
    if (e >= n) {
        out.append(digits);
        out.append(static_cast<size_t>(e - n), '0');
    } else if (e > 0) {
        out.append(digits.substr(0, static_cast<size_t>(e)));
        out.push_back('.');
        out.append(digits.substr(static_cast<size_t>(e)));
    } else {
        out.append("0.");
        out.append(static_cast<size_t>(-e), '0');
        out.append(digits);
    }
}

std::from_chars_result read_double(const char* first, const char* last, double& value) {
    const fast_float::from_chars_result read = fast_float::from_chars(first, last, value);
    if (read.ec != std::errc()) return {read.ptr, read.ec};
    // fast_float rounds a number out of range to the nearest double without
    // saying so; from_chars says so, and so does this.
    const char* digits = first < read.ptr && *first == '-' ? first + 1 : first;
    const bool spells_infinity = digits < read.ptr && (*digits == 'i' || *digits == 'I');
    bool nonzero_digit = false;
    for (const char* at = digits; at < read.ptr && *at != 'e' && *at != 'E'; ++at)
        nonzero_digit = nonzero_digit || (*at >= '1' && *at <= '9');
    const bool out_of_range = (std::isinf(value) && !spells_infinity) || (value == 0.0 && nonzero_digit);
    return {read.ptr, out_of_range ? std::errc::result_out_of_range : std::errc()};
}

}  // namespace velkin::json
