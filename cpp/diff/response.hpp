#pragma once
// A response as every part of the report reads it, built once per chat_response
// record: its texts, stop reason, model, usage counts, latency and tool calls.
// The view borrows from the record, which must outlive it.
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "agentlog/record.hpp"
#include "diff/tool_calls.hpp"

namespace velkin::diff {

using agentlog::Record;

struct ResponseView {
    const Record* record = nullptr;
    // The "text" strings of the text blocks, in content order.
    std::vector<std::string_view> text_blocks;
    // The response text: the text blocks joined by one space. Borrowed from the
    // record when there is at most one block, else held by `joined_text`.
    std::string_view text;
    std::shared_ptr<const std::string> joined_text;
    // text::lowercase(text), held by `lowered_text`. select_responses puts a
    // side's lowered texts in one shared block, so that dropping them all
    // returns their memory whole rather than as holes between live views.
    std::string_view lowered;
    std::shared_ptr<const std::string> lowered_text;
    // text::is_nfc(text): then `lowered` is also the text's NFC, lower-cased form.
    bool text_is_nfc = true;
    std::string_view stop_reason;  // empty when absent
    const std::string* model = nullptr;
    // The "usage" numbers; all absent when "usage" is not an object.
    bool has_usage = false;
    std::optional<double> input_tokens;
    std::optional<double> output_tokens;
    std::optional<double> cached_input_tokens;
    std::optional<double> cached_write_5m_tokens;
    std::optional<double> cached_write_1h_tokens;
    std::optional<double> thinking_tokens;
    std::optional<double> latency_ms;
    bool batch = false;  // "batch" is true
    uint64_t thinking_blocks = 0;
    ToolCalls tool_calls;

    // The text blocks joined by a line feed.
    std::string text_lines() const;
};

ResponseView view_response(const Record& record);
// The view without its lower-cased text, which lower_texts gives a whole side at once.
ResponseView read_view(const Record& record);

// Drops from the record what no part of the report reads: its version, time
// stamp and parent, the payload of every record but a chat_response, and of
// those every member and content block that view_response does not look at. Callers that keep records only for a report
// hold a fraction of them.
void retain_report_members(Record& record);

// The rules retain_report_members applies, for readers that drop members while
// they build a record instead of after.
enum class PayloadMember { Whole, Dropped, Content, Usage };
// A member of a chat_response payload: kept whole, dropped, or the content
// array or usage object, which are pruned in turn.
PayloadMember payload_member_retained(std::string_view key);
bool usage_member_retained(std::string_view key);
// The members kept of a content block of this type; none (the block is
// dropped) for a type no part of the report reads.
std::span<const std::string_view> block_members_retained(std::string_view type);

// The chat_response records of one side, in trace order.
using Responses = std::vector<ResponseView>;
Responses select_responses(std::span<const Record> records);
// Lower-cases the texts of a side's views (read_view) into one block they share.
void lower_texts(Responses& responses);

struct ResponsePair {
    const ResponseView* baseline;
    const ResponseView* candidate;
};
using Pairs = std::vector<ResponsePair>;
// Response i of each side, for i below the shorter side's count.
Pairs pair_responses(const Responses& baseline, const Responses& candidate);

// The "trace_id" string of the first record whose meta has one, else the first record's id.
std::string trace_id_for(std::span<const Record> records);
// The record's meta "trace_id" string, if it has one.
const std::string* meta_trace_id(const Record& record);

}  // namespace velkin::diff
