#pragma once
// The OpenAI chat message form, which OpenAI logs, tau-bench trajectories and
// OpenInference spans share, and the vocabulary every format maps onto:
// content blocks, stop reasons and usage counts.
#include <optional>
#include <string>
#include <string_view>

#include "import/import.hpp"
#include "json/value.hpp"

namespace velkin::imports {

// A chat message ({"role", "content", "tool_calls", "tool_call_id"}) as a request message:
// tool calls become tool_use blocks and a "tool" message a tool_result block.
json::Value chat_message(const json::Value& message);
// An assistant message as response content blocks: text, a refusal's text, tool_use.
json::Array chat_response_blocks(const json::Value& message);
// Tool arguments as sent: their JSON value, or the raw text when it is not JSON.
json::Value tool_input(std::string_view arguments);

// A text block {"type":"text","text":...}.
json::Value text_block(std::string text);
json::Value tool_use_block(std::string id, std::string name, json::Value input);
json::Value tool_result_block(std::string id, json::Value content, bool is_error);

// The stop_reason vocabulary the diff reads (end_turn, tool_use, max_tokens, refusal,
// content_filter) for a provider's finish reason; an unknown one is kept as it is.
std::string normalised_stop_reason(std::string_view finish_reason);

// Usage counts in the diff's terms. Inputs that include cache reads and writes and outputs
// that include reasoning are split so that each token is counted once.
struct Usage {
    std::optional<double> input_total;     // every input token, cached ones included
    std::optional<double> input_uncached;  // when the source counts uncached input on its own
    std::optional<double> output_total;    // every output token, reasoning included
    std::optional<double> cache_read;
    std::optional<double> cache_write;
    std::optional<double> cache_write_1h;
    std::optional<double> reasoning;
};
// Nothing when no count is known. A part that would come out below zero (more cached tokens
// than input tokens, say) is stored as 0, with a warning that begins with `origin`.
std::optional<json::Value> usage_value(const Usage& usage, std::string_view origin, Warnings& warnings);

// "2025-05-02T09:00:00.123456789Z" for nanoseconds since the epoch.
std::string timestamp_from_nanos(uint64_t nanos);
// Seconds since the epoch (as in OpenAI "created") at second precision.
std::string timestamp_from_seconds(double seconds);

}  // namespace velkin::imports
