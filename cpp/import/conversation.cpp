#include "import/conversation.hpp"

#include <algorithm>
#include <charconv>

#include "import/readable.hpp"
#include "json/writer.hpp"
#include "text/sha256.hpp"

namespace velkin::imports {

namespace {

// What the buffers kept per thread may keep between records; a larger one is given back.
constexpr size_t KEPT_SEED_BYTES = size_t{1} << 20;

constexpr size_t LINES_RESERVED = 4096;

bool is_block(const json::Value& block, std::string_view type) {
    const json::Value* t = block.get("type");
    return t && t->as_string() && *t->as_string() == type;
}

std::string string_or_empty(const json::Value& object, std::string_view key) {
    const json::Value* value = object.get(key);
    return value && value->as_string() ? *value->as_string() : std::string();
}

// A member's text: "key":value.
void write_member(std::string_view key, const json::Value& value, std::string& out) {
    json::write_compact_string(key, out);
    out += ':';
    json::write_compact(value, out);
}

std::string metadata_payload(std::string_view source) {
    std::string payload = "{\"source\":";
    json::write_compact_string(source, payload);
    payload += '}';
    return payload;
}

void write_line(std::string_view id, agentlog::Kind kind, std::string_view ts, std::optional<std::string_view> parent,
                std::string_view meta_head, const json::Object& meta, std::string_view payload, std::string& out) {
    agentlog::write_envelope_head(RECORD_VERSION, id, kind, ts, parent, out);
    out += meta_head;
    for (const json::Member& m : meta) {
        if (m.key == "trace_id") continue;
        out += ',';
        write_member(m.key, m.value, out);
    }
    out += "},\"payload\":";
    out += payload;
    out += "}\n";
}

ToolUse tool_use_of(const json::Value& block) {
    const json::Value* input = block.get("input");
    return ToolUse{string_or_empty(block, "id"), string_or_empty(block, "name"),
                   input ? json::to_compact(*input) : "{}"};
}

}  // namespace

PreparedMessage prepare_message(const json::Value& message) {
    PreparedMessage prepared;
    const json::Value* content = message.get("content");
    if (!content || !content->as_array()) {
        prepared.text = json::to_compact(message);
        return prepared;
    }
    // The message as written, its content without the tool results: written into a buffer kept
    // per thread and copied once at its size. Its address is looked up once, not at each use.
    thread_local std::string kept;
    std::string& out = kept;
    out.clear();
    out += '{';
    bool kept_any = false;
    bool first_member = true;
    for (const json::Member& m : *message.as_object()) {
        if (!first_member) out += ',';
        first_member = false;
        if (&m.value != content) {
            write_member(m.key, m.value, out);
            continue;
        }
        json::write_compact_string(m.key, out);
        out += ":[";
        for (const json::Value& block : *content->as_array()) {
            if (!is_block(block, "tool_result")) {
                if (kept_any) out += ',';
                kept_any = true;
                json::write_compact(block, out);
                continue;
            }
            const json::Value* result = block.get("content");
            const json::Value* is_error = block.get("is_error");
            prepared.results.push_back(ToolResultText{string_or_empty(block, "tool_use_id"),
                                                      result ? json::to_compact(*result) : "\"\"",
                                                      is_error && is_error->as_bool() && *is_error->as_bool()});
        }
        out += ']';
    }
    out += '}';
    if (kept_any) prepared.text = out;
    if (out.capacity() > KEPT_SEED_BYTES) std::string().swap(out);
    return prepared;
}

PreparedBlock prepare_block(const json::Value& block) {
    PreparedBlock prepared{json::to_compact(block), std::nullopt};
    if (is_block(block, "tool_use")) prepared.tool_use = tool_use_of(block);
    return prepared;
}

Conversation::Conversation(std::string_view source, std::string trace_id)
    : source_(source), trace_id_(std::move(trace_id)) {
    meta_head_ = ",\"meta\":{\"trace_id\":";
    json::write_compact_string(trace_id_, meta_head_);
    parent_ = record_id(0, metadata_payload(source_));
}

void Conversation::set_origin(std::string origin) {
    if (first_origin_.empty()) first_origin_ = origin;
    origin_ = std::move(origin);
}

void Conversation::check_readable(const std::string& lines, size_t from, size_t position, agentlog::Kind kind,
                                  const std::string& origin) {
    if (!unreadable_.empty()) return;
    std::optional<std::string> why = unreadable_line(std::string_view(lines).substr(from));
    if (!why) return;
    if (!origin.empty()) unreadable_ = origin + ": ";
    unreadable_ += "cannot import the " + std::string(agentlog::kind_name(kind)) + " record " +
                   std::to_string(position) + " of conversation " + trace_id_ + ": " + *why +
                   " (leave out or cut down that value in the input)";
}

void Conversation::set_meta(std::string key, json::Value value) {
    json::object_set(meta_, std::move(key), std::move(value));
}

Conversation::RecordId Conversation::record_id(size_t index, std::string_view payload) const {
    // Records are hashed one at a time on each thread: one seed buffer per thread serves them all.
    thread_local std::string kept;
    std::string& seed = kept;
    seed.assign(trace_id_);
    seed += '\n';
    char digits[24];
    seed.append(digits, std::to_chars(digits, digits + sizeof digits, index).ptr);
    seed += '\n';
    seed += payload;
    constexpr std::string_view PREFIX = "sha256:";
    RecordId id;
    text::write_hex(text::sha256(seed), 32, std::copy(PREFIX.begin(), PREFIX.end(), id.data()));
    if (seed.capacity() > KEPT_SEED_BYTES) std::string().swap(seed);
    return id;
}

void Conversation::push(agentlog::Kind kind, std::string_view ts, const json::Object& meta, std::string_view payload) {
    if (records_ == 0) {
        first_ts_ = ts;
        // Most conversations' lines take a few kilobytes: grown from nothing, they would be copied at each doubling.
        lines_.reserve(LINES_RESERVED);
    }
    ++records_;
    RecordId id = record_id(records_, payload);
    size_t start = lines_.size();
    write_line(text_of(id), kind, ts, text_of(parent_), meta_head_, meta, payload, lines_);
    check_readable(lines_, start, records_ + 1, kind, origin_);
    parent_ = id;
}

size_t Conversation::first_new(size_t size, bool whole_history) const {
    // Histories only grow within a conversation; a shorter one starts over.
    return whole_history && size > history_seen_ ? history_seen_ : 0;
}

void Conversation::add_request(std::string ts, const json::Value& model, std::span<const PreparedMessage> history,
                               bool whole_history, json::Object meta) {
    request(std::move(ts), model, history.subspan(first_new(history.size(), whole_history)), history.size(),
            whole_history, std::move(meta));
}

void Conversation::add_request(std::string ts, const json::Value& model, const json::Array& history, bool whole_history,
                               json::Object meta) {
    std::vector<PreparedMessage> messages;
    for (size_t i = first_new(history.size(), whole_history); i < history.size(); ++i)
        messages.push_back(prepare_message(history[i]));
    request(std::move(ts), model, messages, history.size(), whole_history, std::move(meta));
}

void Conversation::request(std::string ts, const json::Value& model, std::span<const PreparedMessage> new_messages,
                           size_t history_size, bool whole_history, json::Object meta) {
    std::string payload = "{";
    size_t texts = 0;
    for (const PreparedMessage& message : new_messages) texts += message.text.size() + 1;
    payload.reserve(texts + 64);
    if (!model.is_null()) {
        write_member("model", model, payload);
        payload += ',';
    }
    payload += "\"messages\":[";
    bool first = true;
    for (const PreparedMessage& message : new_messages) {
        for (const ToolResultText& result : message.results)
            add_tool_result(ts, result.id, result.content, result.is_error, {});
        if (message.text.empty()) continue;
        if (!first) payload += ',';
        first = false;
        payload += message.text;
    }
    payload += "]}";
    flush_tool_calls();
    history_seen_ = whole_history ? history_size + 1 : 0;  // the answer comes back as the next history's message
    push(agentlog::Kind::ChatRequest, ts, meta, payload);
}

void Conversation::add_response(std::string ts, const json::Value& payload, json::Object meta) {
    std::vector<ToolUse> calls;
    if (const json::Value* content = payload.get("content"); content && content->as_array()) {
        for (const json::Value& block : *content->as_array()) {
            if (is_block(block, "tool_use")) calls.push_back(tool_use_of(block));
        }
    }
    add_response(std::move(ts), json::to_compact(payload), std::move(calls), std::move(meta));
}

void Conversation::add_response(std::string ts, std::string payload, std::vector<ToolUse> calls, json::Object meta) {
    flush_tool_calls();
    std::vector<ToolCall> waiting;
    waiting.reserve(calls.size());
    for (ToolUse& use : calls) waiting.push_back(ToolCall{ts, std::move(use)});
    push(agentlog::Kind::ChatResponse, ts, meta, payload);
    ++responses_;
    waiting_calls_ = std::move(waiting);
    answered_.clear();
}

void Conversation::add_error(std::string ts, const json::Value& payload, json::Object meta) {
    flush_tool_calls();
    push(agentlog::Kind::Error, ts, meta, json::to_compact(payload));
}

void Conversation::emit_tool_call(ToolCall call, json::Object meta) {
    std::string payload = "{\"tool_use_id\":";
    json::write_compact_string(call.use.id, payload);
    payload += ",\"name\":";
    json::write_compact_string(call.use.name, payload);
    payload += ",\"input\":";
    payload += call.use.input;
    payload += '}';
    push(agentlog::Kind::ToolCall, call.ts, meta, payload);
}

void Conversation::emit_call_for(std::string_view id) {
    auto found = std::find_if(waiting_calls_.begin(), waiting_calls_.end(),
                              [&](const ToolCall& call) { return call.use.id == id; });
    if (found == waiting_calls_.end()) return;
    ToolCall call = std::move(*found);
    waiting_calls_.erase(found);
    emit_tool_call(std::move(call), {});
}

void Conversation::flush_tool_calls() {
    for (ToolCall& call : waiting_calls_) emit_tool_call(std::move(call), {});
    waiting_calls_.clear();
}

void Conversation::add_tool_call(std::string ts, std::string id, std::string name, std::string input,
                                 json::Object meta) {
    // Without an id, the execution answers the first waiting call of its name.
    auto found = std::find_if(waiting_calls_.begin(), waiting_calls_.end(), [&](const ToolCall& call) {
        return id.empty() ? call.use.name == name : call.use.id == id;
    });
    if (found != waiting_calls_.end()) {
        if (id.empty()) id = found->use.id;
        // The execution span knows the arguments as run; the response's block may lack them.
        if (input == "null") input = std::move(found->use.input);
        waiting_calls_.erase(found);
    }
    if (input == "null") input = "{}";
    emit_tool_call(ToolCall{std::move(ts), ToolUse{std::move(id), std::move(name), std::move(input)}}, std::move(meta));
}

void Conversation::add_tool_result(std::string ts, std::string id, std::string content, bool is_error,
                                   json::Object meta) {
    // A result seen already in this round, e.g. in an execute_tool span, is not repeated (ids
    // themselves can recur across rounds).
    if (!id.empty() && !answered_.insert(id).second) return;
    emit_call_for(id);
    std::string payload = "{\"tool_use_id\":";
    json::write_compact_string(id, payload);
    payload += ",\"content\":";
    payload += content;
    payload += is_error ? ",\"is_error\":true}" : ",\"is_error\":false}";
    push(agentlog::Kind::ToolResult, ts, meta, payload);
}

size_t Conversation::write(std::string& head, std::string& body) {
    flush_tool_calls();
    std::string_view ts = records_ == 0 ? NO_TIME : std::string_view(first_ts_);
    std::string payload = metadata_payload(source_);
    write_line(text_of(record_id(0, payload)), agentlog::Kind::Metadata, ts, std::nullopt, meta_head_, meta_, payload,
               head);
    check_readable(head, 0, 1, agentlog::Kind::Metadata, first_origin_);
    body = std::move(lines_);
    size_t count = records_ + 1;
    lines_.clear();
    records_ = 0;
    return count;
}

}  // namespace velkin::imports
