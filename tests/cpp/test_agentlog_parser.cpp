// The parser's limits and line handling, which Python callers cannot change.
#include <string>

#include "agentlog/parser.hpp"
#include "check.hpp"

using velkin::agentlog::ParseError;
using velkin::agentlog::Parser;
using velkin::agentlog::parse_records;

namespace {

const std::string record_line = R"({"version":"0.1","id":"a","kind":"chat_response","ts":"t","payload":null})";

std::string error_of(const Parser& parser, const std::string& input) {
    auto result = parse_records(parser, input);
    if (auto* error = std::get_if<ParseError>(&result)) return error->message();
    return "ok " + std::to_string(std::get<0>(result).size());
}

// A blank line of `length` bytes including its line feed.
std::string blank(size_t length) { return std::string(length - 1, '\r') + "\n"; }

}  // namespace

TEST(line_limit_accepts_a_line_of_exactly_the_limit) {
    CHECK_EQ(error_of(Parser{}.with_max_line_bytes(10), std::string(9, '\r') + "\n"), "ok 0");
    CHECK_EQ(error_of(Parser{}.with_max_line_bytes(10), blank(10) + blank(10)), "ok 0");
}

TEST(line_limit_rejects_one_byte_more) {
    CHECK_EQ(error_of(Parser{}.with_max_line_bytes(10), std::string(10, 'x') + "\n"),
             "line 1 exceeds byte limit (11 > 10)\nhint: raise via Parser::with_max_line_bytes or check for corrupt "
             "input");
    // Without a final line feed the line is still cut at limit + 1 bytes.
    CHECK_EQ(error_of(Parser{}.with_max_line_bytes(3), "\n" + std::string(100, 'x')),
             "line 2 exceeds byte limit (4 > 3)\nhint: raise via Parser::with_max_line_bytes or check for corrupt "
             "input");
}

TEST(line_limit_counts_the_terminator) {
    std::string line = record_line + "\n";
    CHECK_EQ(error_of(Parser{}.with_max_line_bytes(line.size()), line), "ok 1");
    CHECK(error_of(Parser{}.with_max_line_bytes(line.size() - 1), line).rfind("line 1 exceeds byte limit", 0) == 0);
}

TEST(utf8_error_wins_over_line_limit_when_cut_inside_a_character) {
    // "é" is two bytes; a limit of 1 reads two bytes and cuts it after its first byte.
    CHECK_EQ(error_of(Parser{}.with_max_line_bytes(1), "a\xC3\xA9\n"),
             "io error on line 1: stream did not contain valid UTF-8\nhint: check that the file is readable and not "
             "truncated mid-line");
}

TEST(total_limit_names_the_running_total) {
    std::string forty = blank(40);
    CHECK_EQ(error_of(Parser{}.with_max_total_bytes(100), forty + forty + forty),
             "trace exceeds total byte limit (120 > 100)\nhint: raise via Parser::with_max_total_bytes or split the "
             "trace");
    CHECK_EQ(error_of(Parser{}.with_max_total_bytes(120), forty + forty + forty), "ok 0");
}

TEST(total_limit_counts_blank_lines_and_terminators) {
    CHECK(error_of(Parser{}.with_max_total_bytes(3), "\n\n\n\n").rfind("trace exceeds total byte limit (4 > 3)", 0) ==
          0);
}

TEST(line_limit_is_checked_before_total_limit) {
    CHECK(error_of(Parser{}.with_max_line_bytes(5).with_max_total_bytes(5), std::string(10, 'x'))
              .rfind("line 1 exceeds byte limit (6 > 5)", 0) == 0);
}

TEST(largest_line_limit_reads_whole_input) {
    Parser parser = Parser{}.with_max_line_bytes(UINT64_MAX - 1);
    CHECK_EQ(error_of(parser, record_line + "\n" + record_line), "ok 2");
}

TEST(line_numbers_count_blank_lines) {
    std::string input = "\n\r\n" + record_line.substr(0, record_line.size() - 1) + ",}\n";
    CHECK(error_of(Parser{}, input).rfind("parse error on line 3: trailing comma at line 1 column ", 0) == 0);
}
