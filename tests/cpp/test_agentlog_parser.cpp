// The parser's limits and line handling, which Python callers cannot change.
#include <string>

#include "agentlog/parser.hpp"
#include "check.hpp"
#include "json/writer.hpp"

using velkin::agentlog::parse_records;
using velkin::agentlog::ParseError;
using velkin::agentlog::Parser;

namespace {

const std::string record_line = R"({"version":"0.1","id":"a","kind":"chat_response","ts":"t","payload":null})";
const std::string line_hint = "\nhint: raise via Parser::with_max_line_bytes or check for corrupt input";
const std::string total_hint = "\nhint: raise via Parser::with_max_total_bytes or split the trace";

std::string outcome(const Parser& parser, const std::string& input) {
    auto result = parse_records(parser, input);
    if (auto* error = std::get_if<ParseError>(&result)) return error->message();
    return "ok " + std::to_string(std::get<0>(result).size());
}

// A blank line of `length` bytes including its line feed.
std::string blank(size_t length) { return std::string(length - 1, '\r') + "\n"; }

}  // namespace

TEST(line_limit_counts_the_terminator_and_reads_one_byte_more) {
    const Parser ten = Parser{}.with_max_line_bytes(10);
    CHECK_EQ(outcome(ten, blank(10) + blank(10)), "ok 0");
    CHECK_EQ(outcome(ten, std::string(10, 'x') + "\n"), "line 1 exceeds byte limit (11 > 10)" + line_hint);
    // Without a final line feed the line is still cut at limit + 1 bytes.
    CHECK_EQ(outcome(Parser{}.with_max_line_bytes(3), "\n" + std::string(100, 'x')),
             "line 2 exceeds byte limit (4 > 3)" + line_hint);
    const std::string line = record_line + "\n";
    CHECK_EQ(outcome(Parser{}.with_max_line_bytes(line.size()), line), "ok 1");
    CHECK_EQ(outcome(Parser{}.with_max_line_bytes(line.size() - 1), line),
             "line 1 exceeds byte limit (" + std::to_string(line.size()) + " > " + std::to_string(line.size() - 1) +
                 ")" + line_hint);
    CHECK_EQ(outcome(Parser{}.with_max_line_bytes(UINT64_MAX - 1), line + record_line), "ok 2");
}

TEST(utf8_error_wins_over_line_limit_when_cut_inside_a_character) {
    // "é" is two bytes; a limit of 1 reads two bytes and cuts it after its first byte.
    CHECK_EQ(outcome(Parser{}.with_max_line_bytes(1), "a\xC3\xA9\n"),
             "io error on line 1: stream did not contain valid UTF-8\nhint: check that the file is readable and not "
             "truncated mid-line");
}

TEST(total_limit_counts_blank_lines_and_terminators) {
    const std::string forty = blank(40);
    CHECK_EQ(outcome(Parser{}.with_max_total_bytes(100), forty + forty + forty),
             "trace exceeds total byte limit (120 > 100)" + total_hint);
    CHECK_EQ(outcome(Parser{}.with_max_total_bytes(120), forty + forty + forty), "ok 0");
    CHECK_EQ(outcome(Parser{}.with_max_total_bytes(3), "\n\n\n\n"),
             "trace exceeds total byte limit (4 > 3)" + total_hint);
    // The line limit is checked first.
    CHECK_EQ(outcome(Parser{}.with_max_line_bytes(5).with_max_total_bytes(5), std::string(10, 'x')),
             "line 1 exceeds byte limit (6 > 5)" + line_hint);
}

TEST(line_numbers_count_blank_lines) {
    std::string input = "\n\r\n" + record_line.substr(0, record_line.size() - 1) + ",}\n";
    CHECK(outcome(Parser{}, input).rfind("parse error on line 3: trailing comma at line 1 column ", 0) == 0);
}

TEST(errors_keep_their_cause_line_and_column_until_shown) {
    using velkin::json::ErrorCode;
    struct Case {
        std::string input;
        ErrorCode code;
        std::string custom;
        uint64_t line;
        uint64_t column;  // of the offending byte, counted from 1; of the end when the input runs out
    };
    const std::string head = R"({"version":"0.1","id":"a")";
    const Case cases[] = {
        {"[1,\n 2,\n  @]", ErrorCode::ExpectedValue, "", 3, 3},
        {"[1,\r\n\n{\"a\" 1}]", ErrorCode::ExpectedColon, "", 3, 6},
        {"{\"a\":\n", ErrorCode::EofWhileParsingValue, "", 2, 0},
        {"\"\\q\"", ErrorCode::InvalidEscape, "", 1, 3},
    };
    for (const Case& c : cases) {
        auto parsed = velkin::json::parse_document(c.input);
        CHECK(!parsed);
        if (parsed) continue;
        const velkin::json::ReadError& error = parsed.error();
        CHECK(error.code == c.code);
        CHECK_EQ(error.custom, c.custom);
        CHECK_EQ(error.line, c.line);
        CHECK_EQ(error.column, c.column);
    }
    // A record line: the schema's message in place of a code, and the line number beside the position.
    auto result = parse_records(Parser{}, "\n" + head + ",\"id\":\"b\"}\n");
    auto* error = std::get_if<ParseError>(&result);
    CHECK(error && error->variant == ParseError::Variant::Parse);
    if (!error) return;
    CHECK_EQ(error->line, 2u);
    CHECK_EQ(error->decode.custom, std::string("duplicate field `id`"));
    CHECK_EQ(error->decode.line, 1u);
    CHECK_EQ(error->decode.column, head.size() + 5);
}

// What a reader leaves unbuilt is checked all the same: the same errors, at the same places; the rest reads alike.
TEST(unbuilt_fields_and_payloads_fail_and_read_as_built_ones) {
    using velkin::agentlog::Field;
    using velkin::agentlog::Kind;
    velkin::agentlog::Unbuilt unbuilt;
    for (Field field : {Field::Version, Field::Ts, Field::Parent, Field::Meta})
        unbuilt.fields.set(static_cast<size_t>(field));
    unbuilt.payloads.set(static_cast<size_t>(Kind::ChatResponse));
    const std::string head = R"({"version":"0.1","id":"a","kind":"chat_response",)";
    const std::string lines[] = {
        head + R"("ts":"t","parent":"p","meta":{"trace_id":"x"},"payload":{"content":[1,2.5e3,"\u00e9"]}})",
        head + R"("ts":5,"payload":null})",
        head + R"("ts":"t","parent":7,"payload":null})",
        head + R"("ts":"t","meta":[1],"payload":null})",
        head + R"("ts":"t","meta":{"a":1,},"payload":null})",
        head + R"("ts":"\x","payload":null})",
        head + R"("ts":"t","payload":{"a":[1,}})",
        head + R"("ts":"t","payload":{"a":"\ud800"}})",
        head + R"("ts":"t","payload":{"a":01}})",
        R"({"payload":{"a":[}],"version":"0.1","id":"a","kind":"chat_response","ts":"t"})",
    };
    for (const std::string& line : lines) {
        velkin::json::ValueSink built_sink, unbuilt_sink;
        auto built = velkin::agentlog::decode_record_text(line, built_sink);
        auto partly = velkin::agentlog::decode_record_text(line, unbuilt_sink, unbuilt);
        CHECK_EQ(built.ok(), partly.ok());
        if (!built.ok() && !partly.ok()) CHECK_EQ(built.error().message(), partly.error().message());
        if (!built.ok() || !partly.ok()) continue;
        CHECK_EQ(partly.value().id, built.value().id);
        CHECK(partly.value().kind == built.value().kind);
        CHECK(partly.value().ts.empty() && partly.value().version.empty());
        CHECK(!partly.value().parent && !partly.value().meta && partly.value().payload.is_null());
        CHECK(built.value().parent && built.value().meta && !built.value().payload.is_null());
    }
}

// A record's meta reads as the reader reads the same object alone: members in order of first appearance,
// a repeated key taking its last value, in metas small and large; and it fails as it does when only checked.
TEST(meta_reads_as_the_reader_reads_the_same_object) {
    std::string many = "{";
    for (int i = 0; i < 20; ++i) many += "\"k" + std::to_string(i % 17) + "\":" + std::to_string(i) + ",";
    many += "\"k3\":\"last\"}";
    const std::string metas[] = {
        R"({})",
        R"({"trace_id":"b1-0"})",
        R"({ "trace_id" : "t", "task_id" : 0, "reward" : 0.5 })",
        R"({"a":1,"b":"x","a":"again","c":{"d":[1,{"e":null}]},"b":{"f":2}})",
        R"({"a":[1,2],"a":"string over a list"})",
        R"({"esc\"aped":"v\u00e9","esc\"aped":true})",
        many,
        R"({"a":1,})",
        R"({"a" 1})",
        R"({"a":"open)",
        R"({"a":1,"a":[})",
    };
    for (const std::string& meta : metas) {
        const std::string head = R"({"version":"0.1","id":"a","kind":"metadata","ts":"t","meta":)";
        const std::string line = head + meta + R"(,"payload":null})";
        velkin::json::ValueSink sink;
        auto record = velkin::agentlog::decode_record_text(line, sink);
        auto alone = velkin::json::parse_document(meta);
        // The validating reader's verdict on the line, the meta checked without being built.
        velkin::agentlog::Unbuilt unbuilt;
        unbuilt.fields.set(static_cast<size_t>(velkin::agentlog::Field::Meta));
        auto checked = velkin::agentlog::decode_record_text(line, sink, unbuilt);
        CHECK_EQ(record.ok(), checked.ok());
        CHECK_EQ(record.ok(), alone.ok());
        if (!record.ok() || !checked.ok()) {
            if (!record.ok() && !checked.ok()) CHECK_EQ(record.error().message(), checked.error().message());
            continue;
        }
        CHECK(record.value().meta.has_value());
        if (record.value().meta)
            CHECK_EQ(velkin::json::to_compact(*record.value().meta), velkin::json::to_compact(alone.value()));
    }
}
