#pragma once
// Request/response logs of the OpenAI (Chat Completions and Responses) and
// Anthropic Messages APIs: JSON Lines of {request, response, latency_ms?}.
#include <optional>
#include <string>
#include <vector>

#include "import/continuation.hpp"
#include "import/conversations.hpp"
#include "import/import.hpp"
#include "json/value.hpp"

namespace velkin::imports {

// Every call is read first; then calls are grouped into conversations by what they send
// (see continuation.hpp), and lines sharing a `conversation_id`, `session_id` or
// `trace_id` member are one conversation.
class LogMapper {
public:
    explicit LogMapper(Format format) : format_(format) {}
    // `origin` says where the line is in its input ("calls.jsonl:7"), for messages.
    void map(const json::Value& line, std::string origin);
    // The conversations of every line mapped, in the order of their first line.
    void finish(Conversations& conversations, Summary& summary);

private:
    struct Call {
        std::string ts;
        json::Value model;
        std::vector<PreparedMessage> history;
        std::optional<json::Value> error;  // the provider's error object, in place of an answer
        json::Value answer;                // the chat_response payload
        json::Object answer_meta;
        json::Object identifiers;
        std::string origin;
    };

    void map_chat_completion(const json::Value& line, const json::Value& request, const json::Value& response);
    void map_responses(const json::Value& line, const json::Value& request, const json::Value& response);
    void map_anthropic(const json::Value& line, const json::Value& request, const json::Value& response);
    // Starts a call from its request's messages (chat form) and the identifiers it carries.
    Call& start_call(const json::Value& line, const json::Value& request, const json::Array& history);
    // The answer's content blocks, for telling which later call sends it back.
    void set_answer_gist(const json::Array& blocks);

    Format format_;
    std::string origin_;  // of the line being mapped
    Warnings warnings_;
    std::vector<Call> calls_;
    std::vector<CallLinks> links_;
};

}  // namespace velkin::imports
