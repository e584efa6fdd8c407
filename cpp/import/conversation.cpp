#include "import/conversation.hpp"

#include <algorithm>
#include <type_traits>

#include "json/writer.hpp"
#include "text/sha256.hpp"

namespace velkin::imports {

namespace {

bool is_block(const json::Value& block, std::string_view type) {
    const json::Value* t = block.get("type");
    return t && t->as_string() && *t->as_string() == type;
}

std::string string_or_empty(const json::Value& object, std::string_view key) {
    const json::Value* value = object.get(key);
    return value && value->as_string() ? *value->as_string() : std::string();
}

}  // namespace

Conversation::Conversation(std::string_view source, std::string trace_id)
    : source_(source), trace_id_(std::move(trace_id)) {}

void Conversation::set_meta(std::string key, json::Value value) { json::object_set(meta_, std::move(key), std::move(value)); }

void Conversation::push(agentlog::Kind kind, std::string ts, json::Object meta, json::Value payload) {
    records_.push_back(Pending{kind, std::move(ts), std::move(meta), std::move(payload)});
}

// The value itself when the history may be taken over, else a copy.
template <class Value>
json::Value take_or_copy(Value& value) {
    if constexpr (std::is_const_v<Value>) return value;
    else return std::move(value);
}

void Conversation::add_request(std::string ts, json::Value model, const json::Array& history, bool whole_history,
                               json::Object meta) {
    request(std::move(ts), std::move(model), history, whole_history, std::move(meta));
}

void Conversation::add_request(std::string ts, json::Value model, json::Array&& history, bool whole_history,
                               json::Object meta) {
    request(std::move(ts), std::move(model), history, whole_history, std::move(meta));
}

template <class History>
void Conversation::request(std::string ts, json::Value model, History& history, bool whole_history, json::Object meta) {
    // Histories only grow within a conversation; a shorter one starts over.
    size_t first_new = whole_history && history.size() > history_seen_ ? history_seen_ : 0;
    json::Array messages;
    for (size_t i = first_new; i < history.size(); ++i) {
        auto& message = history[i];
        // Non-const when the history is taken over: get() only views.
        auto* content = const_cast<std::remove_reference_t<decltype(message)>*>(message.get("content"));
        if (!content || !content->as_array()) {
            messages.push_back(take_or_copy(message));
            continue;
        }
        json::Array kept;
        for (auto& block : *content->as_array()) {
            if (!is_block(block, "tool_result")) {
                kept.push_back(take_or_copy(block));
                continue;
            }
            std::string id = string_or_empty(block, "tool_use_id");
            const json::Value* result = block.get("content");
            const json::Value* is_error = block.get("is_error");
            add_tool_result(ts, id, result ? *result : json::Value(""), is_error && is_error->as_bool() && *is_error->as_bool(),
                            {});
        }
        if (kept.empty()) continue;
        json::Value copy = take_or_copy(message);
        json::object_set(*copy.as_object(), "content", json::Value(std::move(kept)));
        messages.push_back(std::move(copy));
    }
    flush_tool_calls();
    history_seen_ = whole_history ? history.size() + 1 : 0;  // the answer comes back as the next history's message
    json::Object payload;
    if (!model.is_null()) payload.push_back({"model", std::move(model)});
    payload.push_back({"messages", json::Value(std::move(messages))});
    push(agentlog::Kind::ChatRequest, std::move(ts), std::move(meta), json::Value(std::move(payload)));
}

void Conversation::add_response(std::string ts, json::Value payload, json::Object meta) {
    flush_tool_calls();
    std::vector<ToolCall> calls;
    if (const json::Value* content = payload.get("content"); content && content->as_array()) {
        for (const json::Value& block : *content->as_array()) {
            if (!is_block(block, "tool_use")) continue;
            const json::Value* input = block.get("input");
            calls.push_back(ToolCall{ts, string_or_empty(block, "id"), string_or_empty(block, "name"),
                                     input ? *input : json::Value(json::Object{})});
        }
    }
    push(agentlog::Kind::ChatResponse, std::move(ts), std::move(meta), std::move(payload));
    ++responses_;
    waiting_calls_ = std::move(calls);
    answered_.clear();
}

void Conversation::add_error(std::string ts, json::Value payload, json::Object meta) {
    flush_tool_calls();
    push(agentlog::Kind::Error, std::move(ts), std::move(meta), std::move(payload));
}

void Conversation::emit_tool_call(ToolCall call, json::Object meta) {
    json::Object payload;
    payload.push_back({"tool_use_id", json::Value(call.id)});
    payload.push_back({"name", json::Value(std::move(call.name))});
    payload.push_back({"input", std::move(call.input)});
    push(agentlog::Kind::ToolCall, std::move(call.ts), std::move(meta), json::Value(std::move(payload)));
}

void Conversation::emit_call_for(std::string_view id) {
    auto found = std::find_if(waiting_calls_.begin(), waiting_calls_.end(),
                              [&](const ToolCall& call) { return call.id == id; });
    if (found == waiting_calls_.end()) return;
    ToolCall call = std::move(*found);
    waiting_calls_.erase(found);
    emit_tool_call(std::move(call), {});
}

void Conversation::flush_tool_calls() {
    for (ToolCall& call : waiting_calls_) emit_tool_call(std::move(call), {});
    waiting_calls_.clear();
}

void Conversation::add_tool_call(std::string ts, std::string id, std::string name, json::Value input,
                                 json::Object meta) {
    // Without an id, the execution answers the first waiting call of its name.
    auto found = std::find_if(waiting_calls_.begin(), waiting_calls_.end(), [&](const ToolCall& call) {
        return id.empty() ? call.name == name : call.id == id;
    });
    if (found != waiting_calls_.end()) {
        if (id.empty()) id = found->id;
        // The execution span knows the arguments as run; the response's block may lack them.
        if (input.is_null()) input = std::move(found->input);
        waiting_calls_.erase(found);
    }
    if (input.is_null()) input = json::Value(json::Object{});
    emit_tool_call(ToolCall{std::move(ts), std::move(id), std::move(name), std::move(input)}, std::move(meta));
}

void Conversation::add_tool_result(std::string ts, std::string id, json::Value content, bool is_error,
                                   json::Object meta) {
    // A result seen already in this round, e.g. in an execute_tool span, is not repeated (ids
    // themselves can recur across rounds).
    if (!id.empty() && !answered_.insert(id).second) return;
    emit_call_for(id);
    json::Object payload;
    payload.push_back({"tool_use_id", json::Value(std::move(id))});
    payload.push_back({"content", std::move(content)});
    payload.push_back({"is_error", json::Value(is_error)});
    push(agentlog::Kind::ToolResult, std::move(ts), std::move(meta), json::Value(std::move(payload)));
}

size_t Conversation::write(std::string& out) {
    flush_tool_calls();
    json::Object metadata_meta = std::move(meta_);
    json::Object metadata_payload;
    metadata_payload.push_back({"source", json::Value(source_)});
    std::string first_ts = records_.empty() ? std::string(NO_TIME) : records_.front().ts;
    records_.insert(records_.begin(), Pending{agentlog::Kind::Metadata, std::move(first_ts), std::move(metadata_meta),
                                              json::Value(std::move(metadata_payload))});

    // Every record's meta opens with the trace id, written once.
    std::string meta_head = ",\"meta\":{\"trace_id\":";
    json::write_compact_string(trace_id_, meta_head);
    std::string parent;
    std::string seed;
    for (size_t i = 0; i < records_.size(); ++i) {
        Pending& record = records_[i];
        // Ids are unique within a trace and the same on every import of the same input:
        // the digest of the trace id, the position and the payload's text.
        seed.assign(trace_id_);
        seed += '\n';
        seed += std::to_string(i);
        seed += '\n';
        size_t payload_start = seed.size();
        json::write_compact(record.payload, seed);
        std::string id = "sha256:" + text::hex(text::sha256(seed));
        std::optional<std::string_view> parent_view;
        if (i > 0) parent_view = parent;
        agentlog::write_envelope_head(RECORD_VERSION, id, record.kind, record.ts, parent_view, out);
        out += meta_head;
        for (const json::Member& m : record.meta) {
            if (m.key == "trace_id") continue;
            out += ',';
            json::write_compact_string(m.key, out);
            out += ':';
            json::write_compact(m.value, out);
        }
        out += "},\"payload\":";
        out.append(seed, payload_start, std::string::npos);
        out += "}\n";
        parent = std::move(id);
    }
    size_t count = records_.size();
    records_.clear();
    return count;
}

}  // namespace velkin::imports
