#include "import/logs.hpp"

#include "import/chat.hpp"
#include "import/fields.hpp"
#include "json/writer.hpp"

namespace velkin::imports {

namespace {

std::string_view source_name(Format format) { return format == Format::Anthropic ? "anthropic" : "openai"; }

std::string explicit_id(const json::Value& line) {
    for (std::string_view key : {"conversation_id", "session_id", "trace_id"}) {
        if (const std::string* id = string_member(line, key)) return *id;
    }
    return {};
}

std::string created_ts(const json::Value& response, std::string_view key) {
    std::optional<double> created = number_member(response, key);
    return created ? timestamp_from_seconds(*created) : std::string(NO_TIME);
}

json::Value model_of(const json::Value& request, const json::Value& response) {
    if (const std::string* model = string_member(response, "model")) return json::Value(*model);
    if (const std::string* model = string_member(request, "model")) return json::Value(*model);
    return json::Value();
}

void add_latency(const json::Value& line, json::Object& payload) {
    if (std::optional<double> latency = number_member(line, "latency_ms")) payload.push_back({"latency_ms", count_value(*latency)});
}

bool has_type(const json::Value& value, std::string_view type) {
    const json::Value* t = value.get("type");
    return t && t->as_string() && *t->as_string() == type;
}

json::Object finish_meta(std::string_view original, const std::string* response_id) {
    json::Object meta;
    if (!original.empty()) meta.push_back({"finish_reason", json::Value(std::string(original))});
    if (response_id) meta.push_back({"response_id", json::Value(*response_id)});
    return meta;
}

json::Value response_payload(json::Value model, json::Array blocks, std::string stop_reason, const Usage& usage,
                             const json::Value& line) {
    json::Object payload;
    if (!model.is_null()) payload.push_back({"model", std::move(model)});
    payload.push_back({"content", json::Value(std::move(blocks))});
    if (!stop_reason.empty()) payload.push_back({"stop_reason", json::Value(std::move(stop_reason))});
    if (std::optional<json::Value> counts = usage_value(usage)) payload.push_back({"usage", std::move(*counts)});
    add_latency(line, payload);
    return json::Value(std::move(payload));
}

// Responses API input items as chat messages.
json::Value responses_item(const json::Value& item) {
    if (!item.as_object()) wrong_type("input", "an array of items", item);
    const std::string* type = string_member(item, "type");
    if (type && *type == "function_call") {
        const std::string* arguments = string_member(item, "arguments");
        const std::string* call_id = string_member(item, "call_id");
        json::Array blocks = array_of(tool_use_block(call_id ? *call_id : std::string(), required_string(item, "name"),
                                                     tool_input(arguments ? *arguments : std::string_view())));
        return object_of("role", "assistant", "content", std::move(blocks));
    }
    if (type && *type == "function_call_output") {
        const json::Value* output = member(item, "output");
        const std::string* call_id = string_member(item, "call_id");
        json::Array blocks = array_of(tool_result_block(call_id ? *call_id : std::string(), output ? *output : json::Value(""), false));
        return object_of("role", "tool", "content", std::move(blocks));
    }
    if (string_member(item, "role")) return chat_message(item);
    return item;
}

void append_responses_output(const json::Value& item, json::Array& blocks, bool& refused, bool& calls_tools) {
    if (!item.as_object()) wrong_type("output", "an array of items", item);
    const std::string* type = string_member(item, "type");
    if (!type) return;
    if (*type == "message") {
        if (const json::Array* parts = array_member(item, "content")) {
            for (const json::Value& part : *parts) {
                if (!part.as_object()) wrong_type("content", "an array of part objects", part);
                if (has_type(part, "output_text")) {
                    blocks.push_back(text_block(required_string(part, "text")));
                } else if (has_type(part, "refusal")) {
                    blocks.push_back(text_block(required_string(part, "refusal")));
                    refused = true;
                } else {
                    blocks.push_back(part);
                }
            }
        }
    } else if (*type == "function_call") {
        const std::string* arguments = string_member(item, "arguments");
        const std::string* call_id = string_member(item, "call_id");
        blocks.push_back(tool_use_block(call_id ? *call_id : std::string(), required_string(item, "name"),
                                        tool_input(arguments ? *arguments : std::string_view())));
        calls_tools = true;
    } else if (*type == "reasoning") {
        std::string thinking;
        for (std::string_view key : {"summary", "content"}) {
            const json::Array* parts = array_member(item, key);
            if (!parts) continue;
            for (const json::Value& part : *parts) {
                const json::Value* text = part.get("text");
                if (!text || !text->as_string()) continue;
                if (!thinking.empty()) thinking += '\n';
                thinking += *text->as_string();
            }
        }
        blocks.push_back(object_of("type", "thinking", "thinking", std::move(thinking)));
    } else {
        blocks.push_back(item);
    }
}

}  // namespace

Conversation& LogMapper::remember(Conversation& conversation, const json::Array& history) {
    last_trace_id_ = conversation.trace_id();
    last_first_message_ = history.empty() ? json::Value() : history.front();
    return conversation;
}

Conversation& LogMapper::conversation_for(const json::Value& line, const json::Array& history) {
    if (std::string id = explicit_id(line); !id.empty()) return remember(conversations_.open(source_name(format_), id), history);
    if (Conversation* last = conversations_.find(last_trace_id_)) {
        size_t seen = last->history_seen();
        if (seen > 0 && history.size() >= seen && json::deep_equal(history.front(), last_first_message_))
            return remember(*last, history);
    }
    // A new conversation: named by its first request, so the same input always gets the same id.
    json::Value first = history.empty() ? json::Value() : history.front();
    std::string trace_id = conversations_.unused_id(derived_trace_id(json::to_compact(first)));
    return remember(conversations_.open(source_name(format_), trace_id), history);
}

void LogMapper::map(const json::Value& line) {
    if (!line.as_object()) wrong_type("line", "an object with `request` and `response`", line);
    const json::Value& request = required_object(line, "request");
    const json::Value& response = required_object(line, "response");
    if (format_ == Format::Anthropic) return map_anthropic(line, request, response);
    if (member(response, "output") || member(request, "input")) return map_responses(line, request, response);
    map_chat_completion(line, request, response);
}

void LogMapper::map_chat_completion(const json::Value& line, const json::Value& request, const json::Value& response) {
    json::Array history;
    for (const json::Value& message : required_array(request, "messages")) history.push_back(chat_message(message));
    Conversation& conversation = conversation_for(line, history);
    std::string ts = created_ts(response, "created");
    json::Value model = model_of(request, response);
    conversation.add_request(ts, model, history, true, {});
    if (const json::Value* error = object_member(response, "error")) {
        conversation.add_error(ts, *error, {});
        return;
    }
    const json::Array& choices = required_array(response, "choices");
    if (choices.empty()) bad_input("field `choices`: expected at least one choice, found none");
    const json::Value& choice = choices.front();
    if (!choice.as_object()) wrong_type("choices", "an array of objects", choice);
    const json::Value& message = required_object(choice, "message");
    const std::string* finish = string_member(choice, "finish_reason");
    json::Array blocks = chat_response_blocks(message);
    std::string stop_reason = string_member(message, "refusal") ? "refusal" : finish ? normalised_stop_reason(*finish) : "";

    Usage usage;
    if (const json::Value* counts = object_member(response, "usage")) {
        usage.input_total = number_member(*counts, "prompt_tokens");
        usage.output_total = number_member(*counts, "completion_tokens");
        if (const json::Value* details = object_member(*counts, "prompt_tokens_details"))
            usage.cache_read = number_member(*details, "cached_tokens");
        if (const json::Value* details = object_member(*counts, "completion_tokens_details"))
            usage.reasoning = number_member(*details, "reasoning_tokens");
    }
    conversation.add_response(ts, response_payload(std::move(model), std::move(blocks), std::move(stop_reason), usage, line),
                              finish_meta(finish ? *finish : "", string_member(response, "id")));
}

void LogMapper::map_responses(const json::Value& line, const json::Value& request, const json::Value& response) {
    json::Array items;
    const std::string* previous = string_member(request, "previous_response_id");
    if (const std::string* instructions = string_member(request, "instructions"); instructions && !previous)
        items.push_back(object_of("role", "system", "content", *instructions));
    if (const json::Value* input = member(request, "input")) {
        if (const std::string* text = input->as_string()) {
            items.push_back(object_of("role", "user", "content", *text));
        } else if (const json::Array* list = input->as_array()) {
            for (const json::Value& item : *list) items.push_back(responses_item(item));
        } else {
            wrong_type("input", "a string or an array of items", *input);
        }
    }
    Conversation* chained = nullptr;
    if (previous) {
        auto at = trace_by_response_id_.find(*previous);
        if (at != trace_by_response_id_.end()) chained = conversations_.find(at->second);
    }
    Conversation& conversation = chained ? remember(*chained, items) : conversation_for(line, items);
    std::string ts = created_ts(response, "created_at");
    json::Value model = model_of(request, response);
    conversation.add_request(ts, model, items, !chained, {});
    if (const json::Value* error = object_member(response, "error")) {
        conversation.add_error(ts, *error, {});
        return;
    }
    const std::string* id = string_member(response, "id");
    if (id) trace_by_response_id_[*id] = conversation.trace_id();

    json::Array blocks;
    bool refused = false, calls_tools = false;
    for (const json::Value& item : required_array(response, "output")) append_responses_output(item, blocks, refused, calls_tools);
    const std::string* status = string_member(response, "status");
    std::string original = status ? *status : "";
    std::string stop_reason;
    if (status && *status == "incomplete") {
        const std::string* reason = nullptr;
        if (const json::Value* details = object_member(response, "incomplete_details")) reason = string_member(*details, "reason");
        if (reason) original += ":" + *reason;
        stop_reason = reason ? normalised_stop_reason(*reason) : "max_tokens";
    } else if (refused) {
        stop_reason = "refusal";
    } else if (calls_tools) {
        stop_reason = "tool_use";
    } else if (status) {
        stop_reason = normalised_stop_reason(*status);
    }

    Usage usage;
    if (const json::Value* counts = object_member(response, "usage")) {
        usage.input_total = number_member(*counts, "input_tokens");
        usage.output_total = number_member(*counts, "output_tokens");
        if (const json::Value* details = object_member(*counts, "input_tokens_details"))
            usage.cache_read = number_member(*details, "cached_tokens");
        if (const json::Value* details = object_member(*counts, "output_tokens_details"))
            usage.reasoning = number_member(*details, "reasoning_tokens");
    }
    conversation.add_response(ts, response_payload(std::move(model), std::move(blocks), std::move(stop_reason), usage, line),
                              finish_meta(original, id));
}

void LogMapper::map_anthropic(const json::Value& line, const json::Value& request, const json::Value& response) {
    json::Array history;
    if (const json::Value* system = member(request, "system")) {
        if (!system->as_string() && !system->as_array()) wrong_type("system", "a string or an array of blocks", *system);
        history.push_back(object_of("role", "system", "content", *system));
    }
    for (const json::Value& message : required_array(request, "messages")) {
        if (!message.as_object()) wrong_type("messages", "an array of message objects", message);
        required_string(message, "role");
        const json::Value* content = member(message, "content");
        if (!content || (!content->as_string() && !content->as_array()))
            wrong_type("content", "a string or an array of blocks", content ? *content : json::Value());
        history.push_back(message);
    }
    Conversation& conversation = conversation_for(line, history);
    json::Value model = model_of(request, response);
    conversation.add_request(std::string(NO_TIME), model, history, true, {});
    if (has_type(response, "error") || member(response, "error")) {
        const json::Value* error = member(response, "error");
        conversation.add_error(std::string(NO_TIME), error ? *error : response, {});
        return;
    }
    json::Array blocks;
    for (const json::Value& block : required_array(response, "content")) {
        if (!block.as_object()) wrong_type("content", "an array of blocks", block);
        blocks.push_back(block);
    }
    const std::string* stop = string_member(response, "stop_reason");
    Usage usage;
    if (const json::Value* counts = object_member(response, "usage")) {
        usage.input_uncached = number_member(*counts, "input_tokens");
        usage.output_total = number_member(*counts, "output_tokens");
        usage.cache_read = number_member(*counts, "cache_read_input_tokens");
        const json::Value* split = object_member(*counts, "cache_creation");
        if (split) {
            usage.cache_write = number_member(*split, "ephemeral_5m_input_tokens");
            usage.cache_write_1h = number_member(*split, "ephemeral_1h_input_tokens");
        }
        if (!split || (!usage.cache_write && !usage.cache_write_1h))
            usage.cache_write = number_member(*counts, "cache_creation_input_tokens");
    }
    conversation.add_response(std::string(NO_TIME),
                              response_payload(std::move(model), std::move(blocks), stop ? normalised_stop_reason(*stop) : "",
                                               usage, line),
                              finish_meta(stop ? *stop : "", string_member(response, "id")));
}

}  // namespace velkin::imports
