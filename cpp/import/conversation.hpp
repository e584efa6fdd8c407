#pragma once
// One conversation of an imported trace. The format mappers feed it model
// calls and tool activity in call order; it keeps only what is new in each
// request, turns tool_use blocks into tool_call records, and writes the
// records with ids and parent links as .agentlog lines.
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "agentlog/record.hpp"
#include "json/value.hpp"

namespace velkin::imports {

// The record envelope's version written by every importer.
inline constexpr std::string_view RECORD_VERSION = "0.1";
// The timestamp of records whose source carries no time.
inline constexpr std::string_view NO_TIME = "1970-01-01T00:00:00Z";

// A message in the form a chat_request holds: {"role", "content"} with
// content a string or an array of blocks (text, tool_use, tool_result, ...).
// Tool results inside a request become tool_result records instead.
class Conversation {
public:
    Conversation(std::string_view source, std::string trace_id);

    const std::string& trace_id() const { return trace_id_; }
    // Identifies the conversation across runs (task ids, session ids, outcomes); kept in the
    // metadata record's meta.
    void set_meta(std::string key, json::Value value);

    // One model call. With `whole_history` the messages are everything sent so far and only
    // those past the ones seen in earlier calls are kept; otherwise all of them are new.
    // `meta` is the record's own meta.
    void add_request(std::string ts, json::Value model, const json::Array& messages, bool whole_history,
                     json::Object meta);
    // The same, taking the messages over instead of copying them.
    void add_request(std::string ts, json::Value model, json::Array&& messages, bool whole_history,
                     json::Object meta);
    // The number of history messages the conversation has seen (its last request and answer).
    size_t history_seen() const { return history_seen_; }
    // The model's answer: a payload with "content" blocks, "stop_reason", "usage" ...
    void add_response(std::string ts, json::Value payload, json::Object meta);
    // A tool execution seen on its own (an execute_tool span).
    void add_tool_call(std::string ts, std::string id, std::string name, json::Value input, json::Object meta);
    void add_tool_result(std::string ts, std::string id, json::Value content, bool is_error, json::Object meta);

    // A call that failed: the provider's error object.
    void add_error(std::string ts, json::Value payload, json::Object meta);

    uint64_t response_count() const { return responses_; }
    // Appends the metadata record and every record, in order, as lines; gives their count.
    size_t write(std::string& out);

private:
    struct Pending {
        agentlog::Kind kind;
        std::string ts;
        json::Object meta;
        json::Value payload;
    };
    struct ToolCall {
        std::string ts;
        std::string id;
        std::string name;
        json::Value input;
    };

    template <class History>  // json::Array, const when its messages are copied
    void request(std::string ts, json::Value model, History& history, bool whole_history, json::Object meta);
    void push(agentlog::Kind kind, std::string ts, json::Object meta, json::Value payload);
    void emit_tool_call(ToolCall call, json::Object meta);
    // Emits the call a result answers, when it is still waiting.
    void emit_call_for(std::string_view id);
    void flush_tool_calls();

    std::string source_;
    std::string trace_id_;
    json::Object meta_;
    std::vector<Pending> records_;
    std::vector<ToolCall> waiting_calls_;
    std::unordered_set<std::string> answered_;  // tool_use ids answered since the last response
    size_t history_seen_ = 0;
    uint64_t responses_ = 0;
};

}  // namespace velkin::imports
