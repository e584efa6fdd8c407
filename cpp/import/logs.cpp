#include "import/logs.hpp"

#include <algorithm>

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
    std::optional<double> created = epoch_seconds_member(response, key);
    return created ? timestamp_from_seconds(*created) : std::string(NO_TIME);
}

json::Value model_of(const json::Value& request, const json::Value& response) {
    if (const std::string* model = string_member(response, "model")) return json::Value(*model);
    if (const std::string* model = string_member(request, "model")) return json::Value(*model);
    return json::Value();
}

void add_latency(const json::Value& line, json::Object& payload) {
    if (std::optional<double> latency = milliseconds_member(line, "latency_ms"))
        payload.push_back({"latency_ms", count_value(*latency)});
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
                             const json::Value& line, std::string_view origin, Warnings& warnings) {
    json::Object payload;
    if (!model.is_null()) payload.push_back({"model", std::move(model)});
    payload.push_back({"content", json::Value(std::move(blocks))});
    if (!stop_reason.empty()) payload.push_back({"stop_reason", json::Value(std::move(stop_reason))});
    if (std::optional<json::Value> counts = usage_value(usage, origin, warnings))
        payload.push_back({"usage", std::move(*counts)});
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
        json::Array blocks = array_of(
            tool_result_block(call_id ? *call_id : std::string(), output ? *output : json::Value(""), false));
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

// Members of the request (and of the line) that identify a conversation across runs, under
// their source names: "metadata.task_id", "user", "conversation", "session_id", ...
json::Object identifiers_of(const json::Value& line, const json::Value& request) {
    json::Object ids;
    for (std::string_view key : {"conversation_id", "session_id", "trace_id"}) {
        if (const json::Value* id = member(line, key)) ids.push_back({std::string(key), *id});
    }
    if (const json::Value* metadata = object_member(request, "metadata")) {
        for (const json::Member& m : *metadata->as_object()) {
            if (!m.value.is_null()) ids.push_back({"metadata." + m.key, m.value});
        }
    }
    if (const json::Value* user = member(request, "user")) ids.push_back({"user", *user});
    if (const json::Value* conversation = member(request, "conversation")) {
        const json::Value* id = conversation->as_object() ? member(*conversation, "id") : conversation;
        if (id) ids.push_back({"conversation", *id});
    }
    return ids;
}

// A history message as the fingerprint chain reads it: its text and the results taken out of it.
std::string message_bytes(const PreparedMessage& message) {
    std::string bytes = message.text;
    for (const ToolResultText& result : message.results) {
        bytes += '\x1e';
        bytes += result.id;
        bytes += '\x1f';
        bytes += result.content;
        bytes += result.is_error ? "1" : "0";
    }
    return bytes;
}

// What an answer keeps when a client sends it back in the next request: its texts and the ids
// and names of its tool calls (other members come and go with the client's serialisation).
Fingerprint gist(const json::Value& content) {
    std::string kept;
    auto add = [&](char kind, const std::string& text) {
        kept += kind;
        kept += text;
        kept += '\x1f';
    };
    if (const std::string* text = content.as_string()) {
        if (!text->empty()) add('t', *text);
    } else if (const json::Array* blocks = content.as_array()) {
        for (const json::Value& block : *blocks) {
            const json::Value* type = block.get("type");
            const std::string* kind = type ? type->as_string() : nullptr;
            if (!kind) continue;
            const json::Value* text = block.get("text");
            if (*kind == "text" && text && text->as_string() && !text->as_string()->empty()) {
                add('t', *text->as_string());
            } else if (*kind == "tool_use") {
                const json::Value* id = block.get("id");
                const json::Value* name = block.get("name");
                add('u', id && id->as_string() ? *id->as_string() : std::string());
                add('n', name && name->as_string() ? *name->as_string() : std::string());
            }
        }
    }
    return fingerprint(kept);
}

}  // namespace

LogMapper::Call& LogMapper::start_call(const json::Value& line, const json::Value& request,
                                       const json::Array& history) {
    Call& call = calls_.emplace_back();
    CallLinks& links = links_.emplace_back();
    call.identifiers = identifiers_of(line, request);
    links.explicit_id = explicit_id(line);
    links.identifiers = json::to_compact(json::Value(call.identifiers));
    if (const std::string* previous = string_member(request, "previous_response_id"))
        links.previous_response_id = *previous;
    call.history.reserve(history.size());
    links.prefixes.reserve(history.size() + 1);
    links.prefixes.push_back(fingerprint(source_name(format_)));
    for (const json::Value& message : history) {
        call.history.push_back(prepare_message(message));
        links.prefixes.push_back(extended(links.prefixes.back(), message_bytes(call.history.back())));
        const json::Value* content = message.get("content");
        links.gists.push_back(gist(content ? *content : json::Value()));
    }
    return call;
}

void LogMapper::set_answer_gist(const json::Array& blocks) { links_.back().answer_gist = gist(json::Value(blocks)); }

void LogMapper::finish(Conversations& conversations, Summary& summary) {
    for (const CallGroup& group : group_calls(links_)) {
        Conversation& conversation = conversations.open(
            source_name(format_), group.named_by_line ? group.name : conversations.unused_id(group.name));
        // Identifiers of the whole conversation: the first call's, then what later calls add.
        json::Object identifiers;
        for (size_t i : group.calls) {
            for (json::Member& m : calls_[i].identifiers) {
                bool known = std::any_of(identifiers.begin(), identifiers.end(),
                                         [&](const json::Member& k) { return k.key == m.key; });
                if (!known) identifiers.push_back(std::move(m));
            }
        }
        for (json::Member& m : identifiers) conversation.set_meta(std::move(m.key), std::move(m.value));
        for (size_t i : group.calls) {
            Call& call = calls_[i];
            conversation.set_origin(std::move(call.origin));
            conversation.add_request(call.ts, call.model, call.history, links_[i].previous_response_id.empty(), {});
            if (call.error) {
                conversation.add_error(call.ts, *call.error, {});
                continue;
            }
            if (call.model.is_null()) ++summary.responses_without_model;
            conversation.add_response(call.ts, call.answer, std::move(call.answer_meta));
        }
    }
    summary.warnings.absorb(std::move(warnings_));
    warnings_ = {};
    calls_.clear();
    links_.clear();
}

void LogMapper::map(const json::Value& line, std::string origin) {
    if (!line.as_object()) wrong_type("line", "an object with `request` and `response`", line);
    const json::Value& request = required_object(line, "request");
    const json::Value& response = required_object(line, "response");
    origin_ = std::move(origin);
    if (format_ == Format::Anthropic)
        map_anthropic(line, request, response);
    else if (member(response, "output") || member(request, "input"))
        map_responses(line, request, response);
    else
        map_chat_completion(line, request, response);
    calls_.back().origin = origin_;
}

void LogMapper::map_chat_completion(const json::Value& line, const json::Value& request, const json::Value& response) {
    json::Array history;
    for (const json::Value& message : required_array(request, "messages")) history.push_back(chat_message(message));
    Call& call = start_call(line, request, history);
    call.ts = created_ts(response, "created");
    call.model = model_of(request, response);
    if (const json::Value* error = object_member(response, "error")) {
        call.error = *error;
        return;
    }
    const json::Array& choices = required_array(response, "choices");
    if (choices.empty()) bad_input("field `choices`: expected at least one choice, found none");
    const json::Value& choice = choices.front();
    if (!choice.as_object()) wrong_type("choices", "an array of objects", choice);
    const json::Value& message = required_object(choice, "message");
    const std::string* finish = string_member(choice, "finish_reason");
    json::Array blocks = chat_response_blocks(message);
    set_answer_gist(blocks);
    std::string stop_reason = string_member(message, "refusal") ? "refusal"
                              : finish                          ? normalised_stop_reason(*finish)
                                                                : "";

    Usage usage;
    if (const json::Value* counts = object_member(response, "usage")) {
        usage.input_total = count_member(*counts, "prompt_tokens");
        usage.output_total = count_member(*counts, "completion_tokens");
        if (const json::Value* details = object_member(*counts, "prompt_tokens_details"))
            usage.cache_read = count_member(*details, "cached_tokens");
        if (const json::Value* details = object_member(*counts, "completion_tokens_details"))
            usage.reasoning = count_member(*details, "reasoning_tokens");
    }
    call.answer = response_payload(call.model, std::move(blocks), std::move(stop_reason), usage, line, origin_,
                                   warnings_);
    call.answer_meta = finish_meta(finish ? *finish : "", string_member(response, "id"));
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
    Call& call = start_call(line, request, items);
    call.ts = created_ts(response, "created_at");
    call.model = model_of(request, response);
    if (const json::Value* error = object_member(response, "error")) {
        call.error = *error;
        return;
    }
    const std::string* id = string_member(response, "id");
    if (id) links_.back().response_id = *id;

    json::Array blocks;
    bool refused = false, calls_tools = false;
    for (const json::Value& item : required_array(response, "output"))
        append_responses_output(item, blocks, refused, calls_tools);
    set_answer_gist(blocks);
    const std::string* status = string_member(response, "status");
    std::string original = status ? *status : "";
    std::string stop_reason;
    if (status && *status == "incomplete") {
        const std::string* reason = nullptr;
        if (const json::Value* details = object_member(response, "incomplete_details"))
            reason = string_member(*details, "reason");
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
        usage.input_total = count_member(*counts, "input_tokens");
        usage.output_total = count_member(*counts, "output_tokens");
        if (const json::Value* details = object_member(*counts, "input_tokens_details"))
            usage.cache_read = count_member(*details, "cached_tokens");
        if (const json::Value* details = object_member(*counts, "output_tokens_details"))
            usage.reasoning = count_member(*details, "reasoning_tokens");
    }
    call.answer = response_payload(call.model, std::move(blocks), std::move(stop_reason), usage, line, origin_,
                                   warnings_);
    call.answer_meta = finish_meta(original, id);
}

void LogMapper::map_anthropic(const json::Value& line, const json::Value& request, const json::Value& response) {
    json::Array history;
    if (const json::Value* system = member(request, "system")) {
        if (!system->as_string() && !system->as_array())
            wrong_type("system", "a string or an array of blocks", *system);
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
    Call& call = start_call(line, request, history);
    call.ts = NO_TIME;
    call.model = model_of(request, response);
    if (has_type(response, "error") || member(response, "error")) {
        const json::Value* error = member(response, "error");
        call.error = error ? *error : response;
        return;
    }
    json::Array blocks;
    for (const json::Value& block : required_array(response, "content")) {
        if (!block.as_object()) wrong_type("content", "an array of blocks", block);
        blocks.push_back(block);
    }
    set_answer_gist(blocks);
    const std::string* stop = string_member(response, "stop_reason");
    Usage usage;
    if (const json::Value* counts = object_member(response, "usage")) {
        usage.input_uncached = count_member(*counts, "input_tokens");
        usage.output_total = count_member(*counts, "output_tokens");
        usage.cache_read = count_member(*counts, "cache_read_input_tokens");
        const json::Value* split = object_member(*counts, "cache_creation");
        if (split) {
            usage.cache_write = count_member(*split, "ephemeral_5m_input_tokens");
            usage.cache_write_1h = count_member(*split, "ephemeral_1h_input_tokens");
        }
        if (!split || (!usage.cache_write && !usage.cache_write_1h))
            usage.cache_write = count_member(*counts, "cache_creation_input_tokens");
    }
    call.answer = response_payload(call.model, std::move(blocks), stop ? normalised_stop_reason(*stop) : "", usage,
                                   line, origin_, warnings_);
    call.answer_meta = finish_meta(stop ? *stop : "", string_member(response, "id"));
}

}  // namespace velkin::imports
