// Lines the importers write are held to the trace reader's limits: at most 127 nested arrays and
// objects (brackets inside strings do not nest), at most 16 MiB with the line feed.
#include <string>

#include "check.hpp"
#include "import/readable.hpp"

using velkin::imports::unreadable_line;
using velkin::imports::unreadable_trace;

namespace {

std::string nested(size_t depth, const std::string& inside = "") {
    return std::string(depth, '[') + inside + std::string(depth, ']') + "\n";
}

}  // namespace

TEST(nesting_up_to_the_limit_reads) {
    CHECK(!unreadable_line(nested(127)));
    CHECK_EQ(
        unreadable_line(nested(128)).value_or(""),
        std::string(
            "its line would nest arrays and objects 128 deep, more than the 127 levels an .agentlog line may hold"));
}

TEST(brackets_inside_strings_do_not_nest) {
    // 200 brackets, escaped quotes and backslashes inside a string, then 127 real levels.
    std::string text = "\"" + std::string(200, '{') + "\\\"[[\\\\\"";
    CHECK(!unreadable_line(nested(127, text)));
    // A string that ends in an escaped backslash closes: the brackets after it nest.
    CHECK(unreadable_line("[\"a\\\\\"" + std::string(128, '[') + std::string(129, ']') + "\n"));
}

TEST(nesting_is_found_across_long_lines) {
    // Levels far apart, past the 2032 bytes the bracket count takes in one go.
    std::string filler = "\"";
    for (int i = 0; i < 100; ++i) filler += std::string(31, 'x') + "{";
    filler += "\",";
    std::string line = std::string(64, '[') + filler + std::string(64, '[') + filler + std::string(128, ']') + "\n";
    CHECK(unreadable_line(line).value_or("").starts_with("its line would nest arrays and objects 128 deep"));
    line = std::string(63, '[') + filler + std::string(64, '[') + filler + std::string(127, ']') + "\n";
    CHECK(!unreadable_line(line));
}

TEST(lines_up_to_16_mib_read) {
    std::string line(16777215, 'x');
    line += '\n';
    CHECK(!unreadable_line(line));
    line += 'x';
    CHECK_EQ(
        unreadable_line(line).value_or(""),
        std::string("its line would be 16777217 bytes, more than the 16777216 (16 MiB) an .agentlog line may hold"));
}

TEST(traces_up_to_1_gib_read) {
    CHECK(!unreadable_trace(1073741824));
    CHECK(unreadable_trace(1073741825).has_value());
}
