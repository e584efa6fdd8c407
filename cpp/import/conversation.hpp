#pragma once
// One conversation of an imported trace. The format mappers feed it model
// calls and tool activity in call order; it keeps only what is new in each
// request, turns tool_use blocks into tool_call records, and writes the
// records with ids and parent links as .agentlog lines.
#include <array>
#include <cstdint>
#include <optional>
#include <span>
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

// A tool call of an answer: a tool_use block's id, name and input (compact JSON text).
struct ToolUse {
    std::string id;
    std::string name;
    std::string input;
};

// A result taken out of a request message: it becomes a tool_result record of its own.
struct ToolResultText {
    std::string id;
    std::string content;  // compact JSON text
    bool is_error = false;
};

// A request message ({"role", "content"} with content a string or an array of blocks: text,
// tool_use, tool_result, ...) in its written form, made once, where it is read: what the
// conversation keeps of it is text, so nothing of the input's structure outlives its line.
struct PreparedMessage {
    std::string text;  // compact JSON without its tool_result blocks; empty when nothing else remains
    std::vector<ToolResultText> results;
};
PreparedMessage prepare_message(const json::Value& message);

// A block of a model's answer in its written form; a tool_use block also as the call it makes.
struct PreparedBlock {
    std::string text;  // compact JSON
    std::optional<ToolUse> tool_use;
};
PreparedBlock prepare_block(const json::Value& block);

// One conversation of an imported trace. Tool results inside a request become tool_result
// records; tool_use blocks of an answer become tool_call records.
class Conversation {
public:
    Conversation(std::string_view source, std::string trace_id);

    const std::string& trace_id() const { return trace_id_; }
    // Where the records added next come from in the input ("calls.jsonl:7", "span 5fa1..."), for
    // messages; the first one set also stands for the metadata record.
    void set_origin(std::string origin);
    // Identifies the conversation across runs (task ids, session ids, outcomes); kept in the
    // metadata record's meta.
    void set_meta(std::string key, json::Value value);

    // One model call. With `whole_history` the messages are everything sent so far and only
    // those past the ones seen in earlier calls are kept; otherwise all of them are new.
    // `meta` is the record's own meta.
    void add_request(std::string ts, const json::Value& model, std::span<const PreparedMessage> history,
                     bool whole_history, json::Object meta);
    // The same from messages not prepared yet: only those kept are.
    void add_request(std::string ts, const json::Value& model, const json::Array& history, bool whole_history,
                     json::Object meta);
    // The number of history messages the conversation has seen (its last request and answer).
    size_t history_seen() const { return history_seen_; }
    // The model's answer: a payload with "content" blocks, "stop_reason", "usage" ...
    void add_response(std::string ts, const json::Value& payload, json::Object meta);
    // The same as text, with the tool calls of its content in order.
    void add_response(std::string ts, std::string payload, std::vector<ToolUse> calls, json::Object meta);
    // A tool execution seen on its own (an execute_tool span); `input` is compact JSON, "null"
    // when the execution did not record it.
    void add_tool_call(std::string ts, std::string id, std::string name, std::string input, json::Object meta);
    // `content` is compact JSON.
    void add_tool_result(std::string ts, std::string id, std::string content, bool is_error, json::Object meta);

    // A call that failed: the provider's error object.
    void add_error(std::string ts, const json::Value& payload, json::Object meta);

    uint64_t response_count() const { return responses_; }
    // Gives back the room reserved past the lines written so far, for a conversation fed whole.
    void fit() { lines_.shrink_to_fit(); }
    // The metadata record's line into `head` and every other record's lines, in order, into
    // `body` (taken over from the conversation); gives the number of records.
    size_t write(std::string& head, std::string& body);
    // Why the trace reader could not read back the first record it cannot; empty when it reads all.
    const std::string& unreadable() const { return unreadable_; }

private:
    struct ToolCall {
        std::string ts;
        ToolUse use;
    };

    // The index of the first message of a history of `size` that is new.
    size_t first_new(size_t size, bool whole_history) const;
    void request(std::string ts, const json::Value& model, std::span<const PreparedMessage> new_messages,
                 size_t history_size, bool whole_history, json::Object meta);
    // Writes the record's line at once: its id and its parent's are known as soon as it comes.
    void push(agentlog::Kind kind, std::string_view ts, const json::Object& meta, std::string_view payload);
    // The record's id: the digest of the trace id, the record's position and its payload's text,
    // unique within a trace and the same on every import of the same input.
    // "sha256:" and the 64 hexadecimal digits of the digest, the same length for every record.
    using RecordId = std::array<char, 71>;
    RecordId record_id(size_t index, std::string_view payload) const;
    static std::string_view text_of(const RecordId& id) { return {id.data(), id.size()}; }
    void emit_tool_call(ToolCall call, json::Object meta);
    // Emits the call a result answers, when it is still waiting.
    void emit_call_for(std::string_view id);
    void flush_tool_calls();
    // Notes the first line the trace reader would refuse: the one written at `from` in `lines`,
    // the conversation's record at `position` (1 for the metadata record).
    void check_readable(const std::string& lines, size_t from, size_t position, agentlog::Kind kind,
                        const std::string& origin);

    std::string source_;
    std::string trace_id_;
    json::Object meta_;
    std::string meta_head_;  // every record's meta opens with the trace id
    std::string lines_;      // the records after the metadata record, written
    size_t records_ = 0;     // in lines_
    std::string first_ts_;
    RecordId parent_{};  // the id of the last record
    std::vector<ToolCall> waiting_calls_;
    std::unordered_set<std::string> answered_;  // tool_use ids answered since the last response
    size_t history_seen_ = 0;
    uint64_t responses_ = 0;
    std::string origin_, first_origin_;
    std::string unreadable_;
};

}  // namespace velkin::imports
