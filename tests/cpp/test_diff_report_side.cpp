// A side read record by record (each record let go once viewed) reads like
// the views of the records kept whole, and names its trace alike.
#include <optional>
#include <string>
#include <vector>

#include "check.hpp"
#include "diff/report_side.hpp"
#include "json/reader.hpp"

using namespace velkin;
using namespace velkin::diff;

namespace {

Record make(agentlog::Kind kind, const std::string& id, const std::string& payload_json,
            const std::optional<std::string>& meta_json = std::nullopt) {
    Record record;
    record.kind = kind;
    record.id = id;
    record.payload = json::parse_document(payload_json).value();
    if (meta_json) record.meta = json::parse_document(*meta_json).value();
    return record;
}

Record response(const std::string& payload_json) { return make(agentlog::Kind::ChatResponse, "r", payload_json); }

const std::string LONG = "a text long enough to live outside the string object itself, ";

// Texts short and long, one block or several, tool calls with and without an
// input or a name, every payload member present or absent or of another type.
std::vector<Record> side() {
    return {
        make(agentlog::Kind::Metadata, "first", R"({"agent": "x"})"),
        response(R"({"content": [{"type": "text", "text": "Short."}], "model": "m", "stop_reason": "end_turn"})"),
        response(R"({"content": [{"type": "text", "text": ")" + LONG + LONG +
                 R"("}, {"type": "tool_use", "name": "search", "input": {"q": ")" + LONG +
                 R"(", "n": 3}}], "model": "a model name longer than sixteen bytes", "stop_reason": "tool_use",
                    "usage": {"input_tokens": 10, "output_tokens": 2.5, "thinking_tokens": 1}, "latency_ms": 12,
                    "batch": true})"),
        response(R"({"content": [{"type": "thinking"}, {"type": "text", "text": "One."},
                    {"type": "text", "text": ")" +
                 LONG + R"("}, {"type": "tool_use"}, {"type": "text", "text": "Ünï"},
                    {"type": "tool_use", "name": "x", "input": [1, {"b": null}]}], "model": 7, "usage": [1]})"),
        make(agentlog::Kind::ToolResult, "t", R"({"output": "ignored"})", R"({"trace_id": 5})"),
        response(R"({"content": "not blocks", "stop_reason": null})"),
        make(agentlog::Kind::ChatRequest, "q", R"({})", R"({"trace_id": "the trace"})"),
        response(R"({"content": [], "model": "m", "stop_reason": "refusal"})"),
        make(agentlog::Kind::ChatRequest, "q2", R"({})", R"({"trace_id": "a later trace"})"),
    };
}

void check_same_view(const ResponseView& read, const ResponseView& kept) {
    CHECK(read.text_blocks == kept.text_blocks);
    CHECK_EQ(read.text, kept.text);
    CHECK_EQ(read.lowered, kept.lowered);
    CHECK_EQ(read.stop_reason, kept.stop_reason);
    CHECK_EQ(read.model == nullptr, kept.model == nullptr);
    if (read.model && kept.model) CHECK_EQ(*read.model, *kept.model);
    CHECK(read.has_usage == kept.has_usage && read.input_tokens == kept.input_tokens &&
          read.output_tokens == kept.output_tokens && read.thinking_tokens == kept.thinking_tokens &&
          read.latency_ms == kept.latency_ms && read.batch == kept.batch);
    CHECK_EQ(read.thinking_blocks, kept.thinking_blocks);
    CHECK_EQ(read.tool_calls.size(), kept.tool_calls.size());
    for (size_t i = 0; i < std::min(read.tool_calls.size(), kept.tool_calls.size()); ++i) {
        CHECK_EQ(read.tool_calls[i].name, kept.tool_calls[i].name);
        CHECK(json::deep_equal(*read.tool_calls[i].input, *kept.tool_calls[i].input));
        CHECK_EQ(read.tool_calls[i].key_shape, kept.tool_calls[i].key_shape);
    }
}

}  // namespace

TEST(a_side_read_record_by_record_reads_like_its_records) {
    const std::vector<Record> kept = side();
    const Responses expected = select_responses(kept);
    ReportSideReader reader;
    // Each record given up as it is read: a view still pointing into one would read freed or reused memory.
    for (Record& record : side()) reader.add(std::move(record));
    ReportSide read = reader.take();
    // The store moves with the side it belongs to.
    ReportSide moved = std::move(read);
    CHECK_EQ(moved.trace_id, trace_id_for(kept));
    CHECK_EQ(moved.trace_id, std::string("the trace"));
    CHECK_EQ(moved.responses.size(), expected.size());
    for (size_t i = 0; i < std::min(moved.responses.size(), expected.size()); ++i)
        check_same_view(moved.responses[i], expected[i]);
}

TEST(a_side_without_a_trace_id_is_named_by_its_first_record) {
    for (const std::vector<Record>& records :
         {std::vector<Record>{}, std::vector<Record>{response("{}"), make(agentlog::Kind::Metadata, "m", "{}")}}) {
        ReportSideReader reader;
        for (Record record : records) reader.add(std::move(record));
        CHECK_EQ(reader.take().trace_id, trace_id_for(records));
    }
}
