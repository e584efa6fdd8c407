// Decimal text read into doubles as std::from_chars reads it, on a standard
// library with or without a floating-point from_chars.
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <string>

#include "check.hpp"
#include "json/decimal.hpp"

using velkin::json::read_double;

namespace {

struct Read {
    double value;
    std::errc ec;
    size_t used;
};

Read read(const std::string& text) {
    double value = -7.0;
    const std::from_chars_result result = read_double(text.data(), text.data() + text.size(), value);
    return {value, result.ec, static_cast<size_t>(result.ptr - text.data())};
}

uint64_t bits(double value) { return std::bit_cast<uint64_t>(value); }

}  // namespace

TEST(plain_numbers_read_as_the_nearest_double) {
    CHECK_EQ(read("1.5").value, 1.5);
    CHECK_EQ(read("-0.25e1").value, -2.5);
    CHECK_EQ(bits(read("-0").value), bits(-0.0));
    // 0.1 is not a double: the nearest one, as the compiler reads the literal.
    CHECK_EQ(bits(read("0.1").value), bits(0.1));
    // 4e-320 is 8096.1 units of the smallest subnormal, 2^-1074: it rounds to 8096 of them.
    CHECK_EQ(bits(read("4e-320").value), bits(std::ldexp(8096.0, -1074)));
    CHECK_EQ(read("1.7976931348623157e308").value, std::numeric_limits<double>::max());
    CHECK(read("4e-320").ec == std::errc());
}

// Reading stops where the general format does: no hexadecimal, no '+', no
// leading space; a dangling exponent is left unread.
TEST(reading_stops_where_the_general_format_ends) {
    CHECK_EQ(read("0x10").used, size_t{1});
    CHECK_EQ(read("0x10").value, 0.0);
    CHECK_EQ(read("1e").used, size_t{1});
    CHECK_EQ(read("12.5,").used, size_t{4});
    CHECK(read("+1").ec == std::errc::invalid_argument);
    CHECK(read(" 1").ec == std::errc::invalid_argument);
    CHECK(read("").ec == std::errc::invalid_argument);
    CHECK_EQ(read("+1").value, -7.0);
}

// Overflow and underflow are out of range with the nearest double; spelled
// infinities and zeros with any exponent are not.
TEST(numbers_beyond_a_double_are_out_of_range) {
    CHECK(read("1e400").ec == std::errc::result_out_of_range);
    CHECK_EQ(read("-1e400").value, -std::numeric_limits<double>::infinity());
    // Halfway between the largest double and the next power: rounds up, out of range.
    CHECK(read("1.7976931348623159e308").ec == std::errc::result_out_of_range);
    CHECK(read("1e-400").ec == std::errc::result_out_of_range);
    CHECK_EQ(bits(read("-1e-400").value), bits(-0.0));
    // Just below half the smallest subnormal rounds to zero, out of range; just above, to that subnormal.
    CHECK(read("2.4703282292062327e-324").ec == std::errc::result_out_of_range);
    CHECK(read("2.4703282292062328e-324").ec == std::errc());
    CHECK(read("0e999").ec == std::errc());
    CHECK(read("0.000e-999").ec == std::errc());
    CHECK(read("inf").ec == std::errc());
    CHECK(read("-Infinity").ec == std::errc());
    CHECK(std::isinf(read("-Infinity").value));
    CHECK(std::isnan(read("nan").value));
}

// Every double printed in its shortest form reads back as itself.
TEST(shortest_forms_read_back_exactly) {
    std::mt19937_64 random(23);
    for (int round = 0; round < 20000; ++round) {
        const double value = std::bit_cast<double>(random());
        if (!std::isfinite(value)) continue;
        char buffer[64];
        const auto written = std::to_chars(buffer, buffer + sizeof buffer, value);
        const std::string text(buffer, written.ptr);
        const Read back = read(text);
        CHECK(back.ec == std::errc());
        CHECK_EQ(back.used, text.size());
        CHECK_EQ(bits(back.value), bits(value));
    }
}

#if defined(__cpp_lib_to_chars)
// Where the standard library reads doubles, both agree on value, error and end,
// on digits strings of every length with and without exponents.
TEST(reads_agree_with_the_standard_library) {
    std::mt19937_64 random(29);
    const char alphabet[] = "0123456789.e-+";
    for (int round = 0; round < 50000; ++round) {
        std::string text;
        const size_t length = 1 + random() % 30;
        for (size_t k = 0; k < length; ++k) text.push_back(alphabet[random() % (k == 0 ? 11 : 14)]);
        if (random() % 4 == 0)
            text = std::to_string(random() % 1000) + "e" + std::to_string(static_cast<int>(random() % 800) - 400);
        double ours = -7.0, theirs = -7.0;
        const auto a = read_double(text.data(), text.data() + text.size(), ours);
        const auto b = std::from_chars(text.data(), text.data() + text.size(), theirs);
        CHECK(a.ec == b.ec);
        CHECK(a.ptr == b.ptr);
        if (b.ec == std::errc()) CHECK_EQ(bits(ours), bits(theirs));
    }
}
#endif
