#pragma once
// OTLP JSON (the file exporter's JSON Lines of ExportTraceServiceRequest and
// ExportLogsServiceRequest): GenAI semantic conventions in their current and
// event-based forms, OpenInference and Traceloop attributes. A trace becomes
// one conversation; its model calls and tool executions are ordered by start time.
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "import/chat.hpp"
#include "import/conversations.hpp"
#include "import/import.hpp"
#include "import/otlp_reader.hpp"
#include "json/value.hpp"

namespace velkin::imports {

// A span's or record's attributes, for the many lookups of the mapping.
class Attributes {
public:
    class Entry {
    public:
        Entry(const RawAttribute& raw) : key(raw.key), raw_(&raw) {}
        std::string_view key;
        // The value as JSON; a string's is built on first use.
        const json::Value& value() const;
        // The value when it is a string.
        const std::string_view* text() const { return raw_->is_string ? &raw_->text : nullptr; }

    private:
        const RawAttribute* raw_;
        mutable std::unique_ptr<json::Value> built_;
    };
    // Views `attributes`, which must outlive it; null values count as absent.
    explicit Attributes(RawAttributes attributes);
    // The first entry of `key`, or nullptr.
    const Entry* entry(std::string_view key) const;
    // The first value of `key`, or nullptr.
    const json::Value* find(std::string_view key) const;
    // The entries whose key starts with `prefix`, in key order.
    std::span<const Entry* const> with_prefix(std::string_view prefix) const;
    // Calls `visit` with each key that starts with `prefix`, in input order.
    template <class Visit>
    void each_with_prefix(std::string_view prefix, Visit&& visit) const {
        for (const Entry& e : entries_) {
            if (e.key.starts_with(prefix)) visit(e.key);
        }
    }

private:
    std::vector<Entry> entries_;                // in input order
    uint64_t key_lengths_ = 0;                  // bit n set when a key's length is n modulo 64
    mutable std::vector<const Entry*> by_key_;  // sorted by key, stably; made for the first prefix
};

class OtlpMapper {
public:
    // The name of the input the next lines come from, for messages; it must outlive the mapper.
    void set_input(std::string_view name) { input_ = name; }
    // Room for the calls of `bytes` of input, so that they are not moved as their list grows.
    void reserve(size_t bytes);
    // One line of a traces or a logs export.
    void map(std::string_view line);
    // Takes over what a mapper of later lines of the input found.
    void absorb(OtlpMapper&& later);
    // Resolves events against their spans and feeds the conversations.
    void finish(Conversations& conversations, Summary& summary);
    // Spans and log records read so far.
    uint64_t spans() const { return spans_; }
    uint64_t log_records() const { return log_records_; }

    // A model call or a tool execution, decoded when its line is read.
    struct Call {
        bool is_tool = false;
        uint64_t start = 0, end = 0;
        std::optional<uint64_t> given_end;  // an end before the start, stored as the start
        std::string_view input;             // its name
        std::string trace_id, span_id;
        // Model calls.
        std::optional<std::vector<PreparedMessage>> history;
        std::optional<std::vector<PreparedBlock>> output;
        std::string finish_reason;  // as the producer wrote it
        json::Value model;
        Usage usage;
        std::string response_id;
        // Tool executions.
        std::string tool_name, tool_call_id;
        std::string tool_input;                  // compact JSON, "null" when not captured
        std::optional<std::string> tool_result;  // compact JSON
        bool tool_failed = false;
    };
    // A log or span event that carries message content.
    struct Event {
        uint64_t time = 0;
        std::string trace_id, span_id;
        std::optional<PreparedMessage> input;  // a history message
        // Inference details: whole message lists.
        std::optional<std::vector<PreparedMessage>> details_input;
        std::optional<std::vector<PreparedBlock>> details_output;
        std::vector<PreparedBlock> choice;  // output blocks of one choice
        std::optional<uint64_t> choice_index;
        std::string finish_reason;
    };

private:
    void map_span(RawSpan& span, const Attributes& resource);
    void map_event(Event event, const std::string& name, const json::Value* body, const Attributes& attributes);
    void add_trace_meta(const std::string& trace_id, const Attributes& attributes);
    // The traces of the calls, numbered in the order they first appear.
    struct TraceNumbers {
        std::unordered_map<std::string_view, size_t> of_id;
        std::vector<size_t> of_call;  // by call index
    };
    static TraceNumbers number_traces(std::span<Call* const> calls);
    // Marks the chat spans that repeat another's call, after merging what they add.
    std::vector<bool> merge_duplicates(std::span<Call* const> calls, const TraceNumbers& traces);
    // A chat span that names no model takes the model of the agent span around it.
    void name_models_from_agents(std::span<Call* const> calls, const std::vector<bool>& dropped,
                                 const TraceNumbers& traces);

    struct AgentSpan {
        std::string trace_id;
        uint64_t start = 0, end = 0;
        std::string model;
    };

    // Calls stay in the run of the part that read them: a call is large, and the runs of
    // later parts are taken over whole rather than moved call by call.
    class CallRuns {
    public:
        // Room for `more` calls past those made, so that they are not moved as the run grows.
        void reserve(size_t more);
        void push_back(Call&& call);
        void append(CallRuns&& later);
        // Every call, in input order.
        std::vector<Call*> all();
        void clear();

    private:
        std::vector<std::vector<Call>> runs_;
        size_t size_ = 0;
    };

    CallRuns calls_;
    std::vector<Event> events_;
    std::unordered_map<std::string, json::Object> trace_meta_;
    std::pair<const std::string, json::Object>* last_meta_ = nullptr;  // the entry of the last span's trace
    const Attributes* last_resource_ = nullptr;  // the resource whose attributes were last added to ...
    std::string last_resource_trace_;            // ... this trace's metadata
    std::map<std::string, uint64_t> skipped_;
    std::vector<AgentSpan> agents_;  // agent spans that name a model
    uint64_t spans_ = 0, log_records_ = 0;
    std::string_view input_;
    OtlpLine line_;  // the line being mapped; its buffers serve the next line too
};

}  // namespace velkin::imports
