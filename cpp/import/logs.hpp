#pragma once
// Request/response logs of the OpenAI (Chat Completions and Responses) and
// Anthropic Messages APIs: JSON Lines of {request, response, latency_ms?}.
#include <string>
#include <unordered_map>

#include "import/conversations.hpp"
#include "import/import.hpp"
#include "json/value.hpp"

namespace velkin::imports {

// Consecutive calls whose history extends the previous call's are one conversation; so are
// Responses API calls chained by previous_response_id, and lines sharing a `conversation_id`,
// `session_id` or `trace_id` member.
class LogMapper {
public:
    LogMapper(Format format, Conversations& conversations) : format_(format), conversations_(conversations) {}
    void map(const json::Value& line);

private:
    void map_chat_completion(const json::Value& line, const json::Value& request, const json::Value& response);
    void map_responses(const json::Value& line, const json::Value& request, const json::Value& response);
    void map_anthropic(const json::Value& line, const json::Value& request, const json::Value& response);
    // The conversation a call with this whole history belongs to.
    Conversation& conversation_for(const json::Value& line, const json::Array& history);
    Conversation& remember(Conversation& conversation, const json::Array& history);

    Format format_;
    Conversations& conversations_;
    std::string last_trace_id_;
    json::Value last_first_message_;
    std::unordered_map<std::string, std::string> trace_by_response_id_;
};

}  // namespace velkin::imports
