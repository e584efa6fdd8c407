#include "import/otlp.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>

#include "import/fields.hpp"
#include "import/otlp_reader.hpp"
#include "import/parallel.hpp"
#include "json/decimal.hpp"
#include "json/reader.hpp"
#include "json/writer.hpp"
#include "platform/interrupt.hpp"

namespace velkin::imports {

const json::Value& Attributes::Entry::value() const {
    if (!raw_->is_string) return raw_->value;
    if (!built_) built_ = std::make_unique<json::Value>(std::string(raw_->text));
    return *built_;
}

Attributes::Attributes(RawAttributes attributes) {
    entries_.reserve(attributes.size());
    for (const RawAttribute& raw : attributes) {
        if (raw.is_null()) continue;
        entries_.emplace_back(raw);
        key_lengths_ |= uint64_t{1} << (raw.key.size() % 64);
    }
}

namespace {

// Eight bytes of `text` from `at`, which must leave eight.
uint64_t word_at(std::string_view text, size_t at) {
    uint64_t word;
    std::memcpy(&word, text.data() + at, sizeof word);
    return word;
}

// Keys of one length mostly differ near their end ("...input_tokens", "...output_tokens") and
// share their start ("gen_ai."): those bytes are compared first, in one step.
bool same_key(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    if (a.size() >= 8 && word_at(a, a.size() - 8) != word_at(b, b.size() - 8)) return false;
    return a == b;
}

bool has_prefix(std::string_view key, std::string_view prefix) {
    if (key.size() < prefix.size()) return false;
    if (prefix.size() >= 8 && word_at(key, 0) != word_at(prefix, 0)) return false;
    if (prefix.size() >= 16 && word_at(key, 8) != word_at(prefix, 8)) return false;
    return key.starts_with(prefix);
}

}  // namespace

const Attributes::Entry* Attributes::entry(std::string_view key) const {
    // Most keys asked for are absent, and most of those have a length no key has.
    if (!(key_lengths_ >> (key.size() % 64) & 1)) return nullptr;
    // A few dozen entries whose keys mostly differ in length: a scan beats a search of sorted keys.
    for (const Entry& e : entries_) {
        if (same_key(e.key, key)) return &e;
    }
    return nullptr;
}

const json::Value* Attributes::find(std::string_view key) const {
    const Entry* found = entry(key);
    return found ? &found->value() : nullptr;
}

std::span<const Attributes::Entry* const> Attributes::with_prefix(std::string_view prefix) const {
    // Most prefixes asked for are absent: a scan says so without sorting the keys.
    if (std::none_of(entries_.begin(), entries_.end(), [&](const Entry& e) { return has_prefix(e.key, prefix); }))
        return {};
    if (by_key_.size() != entries_.size()) {
        by_key_.clear();
        for (const Entry& e : entries_) by_key_.push_back(&e);
        std::stable_sort(by_key_.begin(), by_key_.end(),
                         [](const Entry* a, const Entry* b) { return a->key < b->key; });
    }
    auto first = std::lower_bound(by_key_.begin(), by_key_.end(), prefix,
                                  [](const Entry* e, std::string_view k) { return e->key < k; });
    auto last = first;
    while (last != by_key_.end() && (*last)->key.substr(0, prefix.size()) == prefix) ++last;
    return {first, last};
}

namespace {

// --- OTLP JSON values ------------------------------------------------------------

const json::Value* attribute(const json::Object& attributes, std::string_view key) {
    for (const json::Member& m : attributes) {
        if (m.key == key) return m.value.is_null() ? nullptr : &m.value;
    }
    return nullptr;
}

const json::Value* attribute(const Attributes& attributes, std::string_view key) { return attributes.find(key); }

template <class Owner>
std::string string_attribute(const Owner& attributes, std::string_view key) {
    const json::Value* value = attribute(attributes, key);
    if (!value) return {};
    if (const std::string* text = value->as_string()) return *text;
    if (value->is_number()) return json::to_compact(*value);
    return {};
}

std::string string_attribute(const Attributes& attributes, std::string_view key) {
    const Attributes::Entry* entry = attributes.entry(key);
    if (!entry) return {};
    if (const std::string_view* text = entry->text()) return std::string(*text);
    if (entry->value().is_number()) return json::to_compact(entry->value());
    return {};
}

std::optional<double> number_attribute(const Attributes& attributes, std::string_view key) {
    const Attributes::Entry* entry = attributes.entry(key);
    if (!entry) return std::nullopt;
    if (const std::string_view* text = entry->text()) {
        double number = 0;
        auto [end, ec] = json::read_double(text->data(), text->data() + text->size(), number);
        if (ec == std::errc() && end == text->data() + text->size()) return number;
    } else if (entry->value().is_number()) {
        return entry->value().as_double();
    }
    wrong_type(key, "a number", entry->value());
}

uint64_t nanos(const RawScalar& raw, std::string_view key) {
    if (raw.is_null()) return 0;
    if (raw.is_string) {
        int64_t number = 0;
        auto [end, ec] = std::from_chars(raw.text.data(), raw.text.data() + raw.text.size(), number);
        if (ec == std::errc() && end == raw.text.data() + raw.text.size() && number >= 0)
            return static_cast<uint64_t>(number);
    }
    json::Value value = raw.to_value();
    json::Value number = int_value(value);
    if (number.type() != json::Type::UInt) wrong_type(key, "nanoseconds since the epoch", value);
    return std::get<uint64_t>(number.data);
}

// A member that must be a string when present; absent gives "".
std::string_view string_of(const RawScalar& raw, std::string_view key) {
    if (!raw.is_null() && !raw.is_string) wrong_type(key, "a string", raw.value);
    return raw.text;
}

int base64_digit(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+' || c == '-') return 62;
    if (c == '/' || c == '_') return 63;
    return -1;
}

// Trace and span ids in hex; the protobuf JSON mapping's base64 is accepted too.
std::string id_of(const RawScalar& raw, std::string_view key, size_t bytes, bool required) {
    std::string_view text = string_of(raw, key);
    if (text.empty()) {
        if (required)
            bad_input("field `" + std::string(key) + "`: expected " + std::to_string(bytes * 2) +
                      " hexadecimal digits, found nothing");
        return {};
    }
    static constexpr char HEX[] = "0123456789abcdef";
    if (text.size() == bytes * 2 && std::all_of(text.begin(), text.end(), [](char c) {
            return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
        })) {
        std::string lower(text);
        for (char& c : lower) c = c >= 'A' && c <= 'F' ? static_cast<char>(c - 'A' + 'a') : c;
        return lower;
    }
    if (text.size() == (bytes + 2) / 3 * 4) {
        std::string hex;
        uint32_t buffer = 0;
        int bits = 0;
        for (char c : text) {
            if (c == '=') break;
            int digit = base64_digit(c);
            if (digit < 0) break;
            buffer = (buffer << 6) | static_cast<uint32_t>(digit);
            bits += 6;
            if (bits >= 8) {
                bits -= 8;
                uint8_t byte = static_cast<uint8_t>(buffer >> bits);
                hex += HEX[byte >> 4];
                hex += HEX[byte & 15];
            }
        }
        if (hex.size() == bytes * 2) return hex;
    }
    bad_input("field `" + std::string(key) + "`: expected " + std::to_string(bytes * 2) +
              " hexadecimal digits, found \"" + std::string(text) + "\"");
}

// --- message content -----------------------------------------------------------------

// Attribute values that hold JSON: a JSON string, parsed into `parsed`, or the structured value itself.
const json::Value* json_attribute(const Attributes& attributes, std::string_view key,
                                  std::optional<json::Value>& parsed) {
    const Attributes::Entry* entry = attributes.entry(key);
    if (!entry) return nullptr;
    if (const std::string_view* text = entry->text()) {
        auto document = json::parse_document(*text);
        if (!document)
            bad_input("attribute `" + std::string(key) + "`: expected JSON text, " + document.error().message());
        return &parsed.emplace(std::move(document).value());
    }
    return &entry->value();
}

json::Value arguments_value(const json::Value* arguments) {
    if (!arguments) return json::Value();
    if (const std::string* text = arguments->as_string()) return tool_input(*text);
    return *arguments;
}

std::string text_of(const json::Value* value) {
    if (!value) return {};
    if (const std::string* text = value->as_string()) return *text;
    return json::to_compact(*value);
}

// A GenAI message part ({"type": "text", "content"}, tool_call, tool_call_response, reasoning, ...) as a block.
json::Value part_block(const json::Value& part) {
    if (!part.as_object()) return text_block(text_of(&part));
    std::string type = string_attribute(*part.as_object(), "type");
    if (type == "text") return text_block(text_of(part.get("content")));
    if (type == "reasoning" || type == "thinking")
        return object_of("type", "thinking", "thinking", text_of(part.get("content")));
    if (type == "tool_call") {
        json::Value input = arguments_value(member(part, "arguments"));
        return tool_use_block(text_of(part.get("id")), text_of(part.get("name")),
                              input.is_null() ? json::Value(json::Object{}) : std::move(input));
    }
    if (type == "tool_call_response") {
        const json::Value* response = member(part, "response");
        if (!response) response = member(part, "result");
        return tool_result_block(text_of(part.get("id")), response ? *response : json::Value(""), false);
    }
    return part;
}

json::Array part_blocks(const json::Value& message) {
    json::Array blocks;
    const json::Value* parts = member(message, "parts");
    if (parts && parts->as_array()) {
        for (const json::Value& part : *parts->as_array()) blocks.push_back(part_block(part));
    } else if (const json::Value* content = member(message, "content")) {
        if (const std::string* text = content->as_string())
            blocks.push_back(text_block(*text));
        else if (const json::Array* list = content->as_array())
            for (const json::Value& part : *list) blocks.push_back(part_block(part));
    }
    return blocks;
}

json::Value role_message(std::string role, json::Array blocks) {
    return object_of("role", std::move(role), "content", std::move(blocks));
}

json::Array genai_messages(const json::Value& messages, std::string_view key) {
    const json::Array* list = messages.as_array();
    if (!list) wrong_type(key, "an array of messages", messages);
    json::Array out;
    for (const json::Value& message : *list) {
        if (!message.as_object()) wrong_type(key, "an array of message objects", message);
        out.push_back(role_message(text_of(message.get("role")), part_blocks(message)));
    }
    return out;
}

// "a.0.b.1.c" style attributes under `prefix` as nested values; all-digit keys make arrays.
json::Value unflatten_node(json::Object object) {
    bool indexed = !object.empty() && std::all_of(object.begin(), object.end(), [](const json::Member& m) {
        return !m.key.empty() && std::all_of(m.key.begin(), m.key.end(), [](char c) { return c >= '0' && c <= '9'; });
    });
    for (json::Member& m : object) {
        if (json::Object* inner = m.value.as_object()) m.value = unflatten_node(std::move(*inner));
    }
    if (!indexed) return json::Value(std::move(object));
    std::sort(object.begin(), object.end(), [](const json::Member& a, const json::Member& b) {
        return a.key.size() != b.key.size() ? a.key.size() < b.key.size() : a.key < b.key;
    });
    json::Array array;
    for (json::Member& m : object) array.push_back(std::move(m.value));
    return json::Value(std::move(array));
}

std::optional<json::Value> unflatten(const Attributes& attributes, std::string_view prefix) {
    json::Object root;
    bool any = false;
    for (const Attributes::Entry* entry : attributes.with_prefix(prefix)) {
        const Attributes::Entry& m = *entry;
        if (m.key.size() <= prefix.size()) continue;
        any = true;
        std::string_view rest = m.key.substr(prefix.size());
        json::Object* node = &root;
        // The known forms nest a few levels; deeper paths stay one key, so nesting stays bounded.
        constexpr int MAX_LEVELS = 16;
        for (int level = 0;; ++level) {
            size_t dot = level < MAX_LEVELS ? rest.find('.') : std::string_view::npos;
            std::string segment(rest.substr(0, dot));
            if (dot == std::string_view::npos) {
                json::object_set(*node, std::move(segment), m.text() ? json::Value(std::string(*m.text())) : m.value());
                break;
            }
            rest.remove_prefix(dot + 1);
            json::Value* child = nullptr;
            for (json::Member& c : *node) {
                if (c.key == segment) child = &c.value;
            }
            if (!child || !child->as_object()) {
                json::object_set(*node, segment, json::Value(json::Object{}));
                for (json::Member& c : *node) {
                    if (c.key == segment) child = &c.value;
                }
            }
            node = child->as_object();
        }
    }
    if (!any) return std::nullopt;
    return unflatten_node(std::move(root));
}

// An OpenInference message ({"message": {role, content, contents, tool_calls, tool_call_id}}) in chat form.
json::Value openinference_chat_message(const json::Value& entry) {
    const json::Value* message = entry.get("message");
    if (!message || !message->as_object()) return object_of("role", "", "content", "");
    json::Object chat;
    chat.push_back({"role", json::Value(text_of(message->get("role")))});
    if (const json::Value* contents = message->get("contents"); contents && contents->as_array()) {
        json::Array parts;
        for (const json::Value& item : *contents->as_array()) {
            const json::Value* content = item.get("message_content");
            if (!content || !content->as_object()) continue;
            std::string type = string_attribute(*content->as_object(), "type");
            if (type == "reasoning")
                parts.push_back(object_of("type", "thinking", "thinking", text_of(content->get("text"))));
            else if (type == "text")
                parts.push_back(text_block(text_of(content->get("text"))));
            else
                parts.push_back(*content);
        }
        chat.push_back({"content", json::Value(std::move(parts))});
    } else if (const json::Value* content = message->get("content")) {
        chat.push_back({"content", json::Value(text_of(content))});
    }
    if (const json::Value* id = message->get("tool_call_id"))
        chat.push_back({"tool_call_id", json::Value(text_of(id))});
    if (const json::Value* calls = message->get("tool_calls"); calls && calls->as_array()) {
        json::Array out;
        for (const json::Value& item : *calls->as_array()) {
            const json::Value* call = item.get("tool_call");
            if (!call) continue;
            const json::Value* function = call->get("function");
            json::Value fn = object_of("name", function ? text_of(function->get("name")) : "", "arguments",
                                       function ? text_of(function->get("arguments")) : "");
            out.push_back(object_of("id", text_of(call->get("id")), "function", std::move(fn)));
        }
        chat.push_back({"tool_calls", json::Value(std::move(out))});
    }
    return json::Value(std::move(chat));
}

// A Traceloop prompt or completion entry ({role, content, tool_call_id, tool_calls: [{id, name, arguments}]}).
json::Value traceloop_chat_message(const json::Value& entry) {
    json::Object chat;
    chat.push_back({"role", json::Value(text_of(entry.get("role")))});
    const json::Value* content = entry.get("content");
    std::optional<json::Value> parsed;
    // Some versions write structured content as a JSON string.
    if (content && content->as_string() && !content->as_string()->empty() && content->as_string()->front() == '[') {
        if (auto value = json::parse_document(*content->as_string())) parsed = std::move(value).value();
    }
    if (parsed && parsed->as_array()) {
        json::Array blocks;
        for (const json::Value& part : *parsed->as_array()) blocks.push_back(part_block(part));
        chat.push_back({"content", json::Value(std::move(blocks))});
    } else {
        chat.push_back({"content", json::Value(content ? text_of(content) : "")});
    }
    if (const json::Value* id = entry.get("tool_call_id")) chat.push_back({"tool_call_id", json::Value(text_of(id))});
    if (const json::Value* calls = entry.get("tool_calls"); calls && calls->as_array()) {
        json::Array out;
        for (const json::Value& call : *calls->as_array()) {
            json::Value fn = object_of("name", text_of(call.get("name")), "arguments", text_of(call.get("arguments")));
            out.push_back(object_of("id", text_of(call.get("id")), "function", std::move(fn)));
        }
        chat.push_back({"tool_calls", json::Value(std::move(out))});
    }
    return json::Value(std::move(chat));
}

json::Array chat_history(const json::Value& entries, json::Value (*convert)(const json::Value&)) {
    json::Array out;
    if (const json::Array* list = entries.as_array())
        for (const json::Value& entry : *list) out.push_back(chat_message(convert(entry)));
    return out;
}

json::Array chat_output(const json::Value& entries, json::Value (*convert)(const json::Value&), std::string& finish) {
    json::Array blocks;
    if (const json::Array* list = entries.as_array()) {
        for (const json::Value& entry : *list) {
            if (finish.empty() && entry.get("finish_reason")) finish = text_of(entry.get("finish_reason"));
            for (json::Value& block : chat_response_blocks(convert(entry))) blocks.push_back(std::move(block));
        }
    }
    return blocks;
}

std::vector<PreparedMessage> prepared_messages(const json::Array& messages) {
    std::vector<PreparedMessage> out;
    out.reserve(messages.size());
    for (const json::Value& message : messages) out.push_back(prepare_message(message));
    return out;
}

std::vector<PreparedBlock> prepared_blocks(const json::Array& blocks) {
    std::vector<PreparedBlock> out;
    out.reserve(blocks.size());
    for (const json::Value& block : blocks) out.push_back(prepare_block(block));
    return out;
}

// --- span kinds ----------------------------------------------------------------------

enum class SpanKind { Chat, Tool, Skipped };

SpanKind kind_of(const Attributes& attributes, std::string& skipped_as) {
    std::string operation = string_attribute(attributes, "gen_ai.operation.name");
    std::string openinference = string_attribute(attributes, "openinference.span.kind");
    std::string request_type = string_attribute(attributes, "llm.request.type");
    if (operation == "chat" || operation == "text_completion" || operation == "generate_content" ||
        openinference == "LLM" || request_type == "chat" || request_type == "completion")
        return SpanKind::Chat;
    if (operation == "execute_tool" || openinference == "TOOL") return SpanKind::Tool;
    if (!operation.empty())
        skipped_as = operation;
    else if (!openinference.empty())
        skipped_as = openinference;
    else if (!request_type.empty())
        skipped_as = request_type;
    else
        skipped_as = "without GenAI attributes";
    return SpanKind::Skipped;
}

// Attributes that identify a conversation across runs, kept in its metadata under their own names.
constexpr std::string_view CONVERSATION_KEYS[] = {
    "gen_ai.conversation.id", "session.id",   "user.id",         "gen_ai.agent.name",
    "gen_ai.agent.id",        "service.name", "service.version",
};
// Traceloop's association properties: whatever the application attached to the whole run (a task id, a user).
constexpr std::string_view ASSOCIATION_PREFIX = "traceloop.association.properties.";

// The model an agent span names, for the chat spans under it that name none.
std::string agent_model(const Attributes& attributes) {
    for (std::string_view key : {"gen_ai.response.model", "gen_ai.request.model"}) {
        if (std::string model = string_attribute(attributes, key); !model.empty()) return model;
    }
    return {};
}

void fill_chat(OtlpMapper::Call& call, const Attributes& a) {
    // Messages: current conventions, then OpenInference, then Traceloop's indexed attributes.
    std::optional<json::Value> input_text, system_text, output_text;
    if (const json::Value* input = json_attribute(a, "gen_ai.input.messages", input_text)) {
        json::Array history;
        if (const json::Value* system = json_attribute(a, "gen_ai.system_instructions", system_text)) {
            json::Array blocks;
            if (const json::Array* parts = system->as_array())
                for (const json::Value& part : *parts) blocks.push_back(part_block(part));
            else
                blocks.push_back(text_block(text_of(system)));
            history.push_back(role_message("system", std::move(blocks)));
        }
        for (json::Value& message : genai_messages(*input, "gen_ai.input.messages"))
            history.push_back(std::move(message));
        call.history = prepared_messages(history);
    } else if (std::optional<json::Value> input = unflatten(a, "llm.input_messages.")) {
        call.history = prepared_messages(chat_history(*input, openinference_chat_message));
    } else if (std::optional<json::Value> prompt = unflatten(a, "gen_ai.prompt.")) {
        call.history = prepared_messages(chat_history(*prompt, traceloop_chat_message));
    }
    if (const json::Value* output = json_attribute(a, "gen_ai.output.messages", output_text)) {
        json::Array messages = genai_messages(*output, "gen_ai.output.messages");
        // One output message per choice: the first is the answer.
        call.output = messages.empty() ? std::vector<PreparedBlock>{}
                                       : prepared_blocks(*messages.front().get("content")->as_array());
        if (const json::Array* list = output->as_array(); list && !list->empty()) {
            if (const json::Value* finish = list->front().get("finish_reason")) call.finish_reason = text_of(finish);
        }
    } else if (std::optional<json::Value> output = unflatten(a, "llm.output_messages.")) {
        call.output = prepared_blocks(chat_output(*output, openinference_chat_message, call.finish_reason));
    } else if (std::optional<json::Value> completion = unflatten(a, "gen_ai.completion.")) {
        call.output = prepared_blocks(chat_output(*completion, traceloop_chat_message, call.finish_reason));
    }
    if (const json::Value* reasons = attribute(a, "gen_ai.response.finish_reasons")) {
        if (const json::Array* list = reasons->as_array(); list && !list->empty())
            call.finish_reason = text_of(&list->front());
        else if (reasons->as_string())
            call.finish_reason = *reasons->as_string();
    }
    if (call.finish_reason.empty()) call.finish_reason = string_attribute(a, "llm.finish_reason");

    for (std::string_view key : {"gen_ai.response.model", "gen_ai.request.model", "llm.model_name",
                                 "llm.response.model", "llm.request.model"}) {
        if (std::string model = string_attribute(a, key); !model.empty()) {
            call.model = json::Value(model);
            break;
        }
    }
    call.response_id = string_attribute(a, "gen_ai.response.id");

    Usage& u = call.usage;
    auto first = [&](std::initializer_list<std::string_view> keys) -> std::optional<double> {
        for (std::string_view key : keys) {
            if (std::optional<double> value = number_attribute(a, key)) return checked_count(key, *value);
        }
        return std::nullopt;
    };
    // Every producer here counts cached input inside the input total and reasoning inside the output.
    u.input_total = first({"gen_ai.usage.input_tokens", "gen_ai.usage.prompt_tokens", "llm.token_count.prompt",
                           "llm.usage.prompt_tokens"});
    u.output_total = first({"gen_ai.usage.output_tokens", "gen_ai.usage.completion_tokens",
                            "llm.token_count.completion", "llm.usage.completion_tokens"});
    u.cache_read = first({"gen_ai.usage.cache_read.input_tokens", "gen_ai.usage.cache_read_input_tokens",
                          "llm.token_count.prompt_details.cache_read"});
    u.cache_write = first({"gen_ai.usage.cache_creation.input_tokens", "gen_ai.usage.cache_write.input_tokens",
                           "gen_ai.usage.cache_creation_input_tokens", "llm.token_count.prompt_details.cache_write"});
    u.reasoning = first({"gen_ai.usage.reasoning.output_tokens", "gen_ai.usage.reasoning_tokens",
                         "llm.token_count.completion_details.reasoning"});
}

void fill_tool(OtlpMapper::Call& call, const Attributes& a, const json::Value& status_code, const std::string& name) {
    call.is_tool = true;
    call.tool_name = string_attribute(a, "gen_ai.tool.name");
    if (call.tool_name.empty()) call.tool_name = string_attribute(a, "tool.name");
    if (call.tool_name.empty()) call.tool_name = name.rfind("execute_tool ", 0) == 0 ? name.substr(13) : name;
    call.tool_call_id = string_attribute(a, "gen_ai.tool.call.id");
    if (call.tool_call_id.empty()) call.tool_call_id = string_attribute(a, "tool_call.id");
    const json::Value* arguments = attribute(a, "gen_ai.tool.call.arguments");
    if (!arguments) arguments = attribute(a, "tool.parameters");
    if (!arguments && string_attribute(a, "openinference.span.kind") == "TOOL") arguments = attribute(a, "input.value");
    call.tool_input = json::to_compact(arguments_value(arguments));
    const json::Value* result = attribute(a, "gen_ai.tool.call.result");
    if (!result && string_attribute(a, "openinference.span.kind") == "TOOL") result = attribute(a, "output.value");
    if (result) call.tool_result = json::to_compact(*result);
    call.tool_failed = (status_code.as_string() && *status_code.as_string() == "STATUS_CODE_ERROR") ||
                       (status_code.is_number() && status_code.as_double() == 2.0);
}

// --- events ------------------------------------------------------------------------

json::Value event_content(const json::Value* body) {
    if (!body) return json::Value("");
    const json::Value* content = body->get("content");
    if (!content) return json::Value("");
    return *content;
}

// An event's message in chat form; tool calls' arguments may be JSON strings or objects.
json::Value event_chat_message(std::string role, const json::Value* body) {
    json::Object chat;
    chat.push_back({"role", json::Value(std::move(role))});
    json::Value content = event_content(body);
    if (content.as_string()) {
        chat.push_back({"content", content});
    } else if (const json::Array* parts = content.as_array()) {
        json::Array blocks;
        for (const json::Value& part : *parts)
            blocks.push_back(part.as_object() && part.get("type") ? part : text_block(text_of(&part)));
        chat.push_back({"content", json::Value(std::move(blocks))});
    } else {
        chat.push_back({"content", json::Value("")});
    }
    if (body) {
        if (const json::Value* id = body->get("id")) chat.push_back({"tool_call_id", json::Value(text_of(id))});
        if (const json::Value* calls = body->get("tool_calls"); calls && calls->as_array()) {
            json::Array out;
            for (const json::Value& call : *calls->as_array()) {
                const json::Value* function = call.get("function");
                json::Value fn = object_of("name", function ? text_of(function->get("name")) : "", "arguments",
                                           function ? text_of(function->get("arguments")) : "");
                out.push_back(object_of("id", text_of(call.get("id")), "function", std::move(fn)));
            }
            chat.push_back({"tool_calls", json::Value(std::move(out))});
        }
    }
    return json::Value(std::move(chat));
}

}  // namespace

void OtlpMapper::add_trace_meta(const std::string& trace_id, const Attributes& attributes) {
    // The spans of a trace mostly come one after the other.
    if (!last_meta_ || last_meta_->first != trace_id) last_meta_ = &*trace_meta_.try_emplace(trace_id).first;
    json::Object& meta = last_meta_->second;
    auto keep = [&](std::string_view key) {
        bool known = std::any_of(meta.begin(), meta.end(), [&](const json::Member& m) { return m.key == key; });
        if (known) return;
        if (std::string value = string_attribute(attributes, key); !value.empty())
            meta.push_back({std::string(key), json::Value(std::move(value))});
    };
    for (std::string_view key : CONVERSATION_KEYS) {
        if (attributes.entry(key)) keep(key);
    }
    attributes.each_with_prefix(ASSOCIATION_PREFIX, keep);
}

void OtlpMapper::reserve(size_t bytes) {
    // A span takes a kilobyte of OTLP JSON or more; the pages of what is reserved past the
    // calls made are never touched.
    constexpr size_t BYTES_PER_SPAN = 1024;
    calls_.reserve(bytes / BYTES_PER_SPAN);
}

void OtlpMapper::CallRuns::reserve(size_t more) {
    if (runs_.empty()) runs_.emplace_back();
    runs_.back().reserve(runs_.back().size() + more);
}

void OtlpMapper::CallRuns::push_back(Call&& call) {
    if (runs_.empty()) runs_.emplace_back();
    runs_.back().push_back(std::move(call));
    ++size_;
}

void OtlpMapper::CallRuns::append(CallRuns&& later) {
    for (std::vector<Call>& run : later.runs_) {
        if (!run.empty()) runs_.push_back(std::move(run));
    }
    size_ += later.size_;
    later.clear();
}

std::vector<OtlpMapper::Call*> OtlpMapper::CallRuns::all() {
    std::vector<Call*> calls;
    calls.reserve(size_);
    for (std::vector<Call>& run : runs_) {
        for (Call& call : run) calls.push_back(&call);
    }
    return calls;
}

void OtlpMapper::CallRuns::clear() {
    runs_.clear();
    size_ = 0;
}

void OtlpMapper::map(std::string_view text) {
    OtlpLine& line = line_;
    read_otlp_line(text, line);
    if (!line.has_spans && !line.has_logs)
        bad_input("expected an OTLP JSON line with `resourceSpans` or `resourceLogs`");
    std::vector<Attributes> resources;
    resources.reserve(line.resources.size());
    for (AttributeRun run : line.resources) resources.emplace_back(line.of(run));
    last_resource_ = nullptr;
    spans_ += line.spans.size();
    log_records_ += line.logs.size();
    for (RawSpan& span : line.spans) map_span(span, resources[span.resource]);
    for (RawEvent& record : line.logs) {
        Event event;
        event.trace_id = id_of(record.trace_id, "traceId", 16, false);
        event.span_id = id_of(record.span_id, "spanId", 8, false);
        event.time = nanos(record.time, "timeUnixNano");
        if (event.time == 0) event.time = nanos(record.observed_time, "observedTimeUnixNano");
        std::string name(string_of(record.name, "eventName"));
        Attributes attributes(line.of(record.attributes));
        if (name.empty()) name = string_attribute(attributes, "event.name");
        if (event.trace_id.empty()) continue;  // a log outside any trace has no conversation
        map_event(std::move(event), name, &record.body, attributes);
    }
}

void OtlpMapper::absorb(OtlpMapper&& later) {
    calls_.append(std::move(later.calls_));
    if (events_.empty()) {
        events_ = std::move(later.events_);
    } else {
        events_.reserve(events_.size() + later.events_.size());
        for (Event& event : later.events_) events_.push_back(std::move(event));
    }
    // Traces new to this mapper move over as they are; the members of the others join theirs.
    trace_meta_.merge(later.trace_meta_);
    for (auto& [trace_id, meta] : later.trace_meta_) {
        json::Object& mine = trace_meta_.at(trace_id);
        for (json::Member& m : meta) {
            bool known = std::any_of(mine.begin(), mine.end(), [&](const json::Member& k) { return k.key == m.key; });
            if (!known) mine.push_back(std::move(m));
        }
    }
    for (const auto& [kind, count] : later.skipped_) skipped_[kind] += count;
    for (AgentSpan& agent : later.agents_) agents_.push_back(std::move(agent));
    spans_ += later.spans_;
    log_records_ += later.log_records_;
}

void OtlpMapper::map_event(Event event, const std::string& name, const json::Value* body,
                           const Attributes& attributes) {
    if (name == "gen_ai.client.inference.operation.details") {
        OtlpMapper::Call details;
        fill_chat(details, attributes);
        event.details_input = std::move(details.history);
        event.details_output = std::move(details.output);
        event.finish_reason = details.finish_reason;
    } else if (name == "gen_ai.system.message" || name == "gen_ai.user.message" || name == "gen_ai.assistant.message" ||
               name == "gen_ai.tool.message") {
        std::string role = name.substr(7, name.size() - 15);  // between "gen_ai." and ".message"
        json::Value content = event_content(body);
        // Some producers send tool definitions as a user message of an object: no message at all.
        if (content.as_object()) return;
        if (body && body->as_object()) {
            if (const json::Value* given = body->get("role"); given && given->as_string()) role = *given->as_string();
        }
        event.input = prepare_message(chat_message(event_chat_message(role, body)));
    } else if (name == "gen_ai.choice") {
        const json::Value* message = body ? body->get("message") : nullptr;
        json::Value chat = event_chat_message("assistant", message);
        if (body) {
            if (const json::Value* calls = body->get("tool_calls"); calls && !(message && message->get("tool_calls"))) {
                json::Object with_calls = *event_chat_message("assistant", body).as_object();
                for (json::Member& m : with_calls) {
                    if (m.key == "tool_calls") json::object_set(*chat.as_object(), "tool_calls", m.value);
                }
            }
            if (const json::Value* index = body->get("index"); index && index->type() == json::Type::UInt)
                event.choice_index = std::get<uint64_t>(index->data);
            event.finish_reason = text_of(body->get("finish_reason"));
        }
        event.choice = prepared_blocks(chat_response_blocks(chat));
    } else {
        return;
    }
    events_.push_back(std::move(event));
}

void OtlpMapper::map_span(RawSpan& span, const Attributes& resource) {
    std::string span_id = id_of(span.span_id, "spanId", 8, true);
    try {
        std::string trace_id = id_of(span.trace_id, "traceId", 16, true);
        Attributes attributes(line_.of(span.attributes));
        add_trace_meta(trace_id, attributes);
        // A resource's attributes are the same for each of its spans: once per trace is enough.
        if (&resource != last_resource_ || trace_id != last_resource_trace_) {
            add_trace_meta(trace_id, resource);
            last_resource_ = &resource;
            last_resource_trace_ = trace_id;
        }
        uint64_t start = nanos(span.start, "startTimeUnixNano");
        uint64_t end = nanos(span.end, "endTimeUnixNano");
        for (RawEvent& raw : span.events) {
            Event event;
            event.trace_id = trace_id;
            event.span_id = span_id;
            event.time = nanos(raw.time, "timeUnixNano");
            std::string name(string_of(raw.name, "name"));
            Attributes event_attributes(line_.of(raw.attributes));
            if (name.empty()) name = string_attribute(event_attributes, "event.name");
            // Span events carry their content in attributes.
            json::Value body(to_object(line_.of(raw.attributes)));
            map_event(std::move(event), name, &body, event_attributes);
        }
        std::string skipped_as;
        SpanKind kind = kind_of(attributes, skipped_as);
        if (kind == SpanKind::Skipped) {
            ++skipped_[skipped_as];
            if (skipped_as == "invoke_agent") {
                if (std::string model = agent_model(attributes); !model.empty())
                    agents_.push_back(AgentSpan{std::move(trace_id), start, std::max(start, end), std::move(model)});
            }
            return;
        }
        std::string name(string_of(span.name, "name"));
        Call call;
        call.start = start;
        call.end = std::max(start, end);
        if (end < start) call.given_end = end;
        call.input = input_;
        call.trace_id = std::move(trace_id);
        call.span_id = span_id;
        if (kind == SpanKind::Chat)
            fill_chat(call, attributes);
        else
            fill_tool(call, attributes, span.status_code, name);
        calls_.push_back(std::move(call));
    } catch (BadInput& bad) {
        bad.message = "span " + span_id + ": " + bad.message;
        throw;
    }
}

namespace {

struct SpanKey {
    std::string_view trace_id, span_id;
    bool operator==(const SpanKey&) const = default;
};

struct SpanKeyHash {
    size_t operator()(const SpanKey& key) const {
        return std::hash<std::string_view>()(key.trace_id) * 31 + std::hash<std::string_view>()(key.span_id);
    }
};

double latency_ms(const OtlpMapper::Call& call) {
    // Whole microseconds: the rest is clock noise and would only make the text longer.
    return std::round(static_cast<double>(call.end - call.start) / 1000.0) / 1000.0;
}

bool has_output(const OtlpMapper::Call& call) { return call.output && !call.output->empty(); }

int captured(const OtlpMapper::Call& call) { return int(call.history.has_value()) + int(has_output(call)); }

// Two chat spans of one trace are one call seen by two instrumentations (say a client
// library's own span and an instrumentation's) when they share a response id, or when
// they overlap in time and count the same tokens.
bool same_call(const OtlpMapper::Call& a, const OtlpMapper::Call& b) {
    if (!a.response_id.empty() && !b.response_id.empty()) return a.response_id == b.response_id;
    bool overlap = a.start <= b.end && b.start <= a.end;
    return overlap && a.usage.input_total && a.usage.output_total && a.usage.input_total == b.usage.input_total &&
           a.usage.output_total == b.usage.output_total;
}

void fill_missing(OtlpMapper::Call& kept, const OtlpMapper::Call& other) {
    if (kept.model.is_null()) kept.model = other.model;
    if (kept.finish_reason.empty()) kept.finish_reason = other.finish_reason;
    if (kept.response_id.empty()) kept.response_id = other.response_id;
    Usage& u = kept.usage;
    for (auto field : {&Usage::input_total, &Usage::input_uncached, &Usage::output_total, &Usage::cache_read,
                       &Usage::cache_write, &Usage::cache_write_1h, &Usage::reasoning}) {
        if (!(u.*field)) u.*field = other.usage.*field;
    }
}

// One call into its conversation; false when the call's message texts were not captured.
bool feed(Conversation& conversation, OtlpMapper::Call& call, Warnings& warnings) {
    std::string origin = std::string(call.input) + ": span " + call.span_id;
    if (call.given_end)
        warnings.add(origin + ": endTimeUnixNano " + std::to_string(*call.given_end) + " is before startTimeUnixNano " +
                     std::to_string(call.start) +
                     (call.is_tool ? ": the end stored as the start" : ": latency_ms stored as 0"));
    conversation.set_origin(origin);
    json::Object meta{{"span_id", json::Value(call.span_id)}};
    if (call.is_tool) {
        conversation.add_tool_call(timestamp_from_nanos(call.start), call.tool_call_id, call.tool_name,
                                   std::move(call.tool_input), meta);
        if (call.tool_result || call.tool_failed)
            conversation.add_tool_result(timestamp_from_nanos(call.end), call.tool_call_id,
                                         call.tool_result ? std::move(*call.tool_result) : "\"\"", call.tool_failed,
                                         std::move(meta));
        return true;
    }
    bool captured = call.history || call.output;
    conversation.add_request(
        timestamp_from_nanos(call.start), call.model,
        call.history ? std::span<const PreparedMessage>(*call.history) : std::span<const PreparedMessage>(), true,
        meta);
    std::vector<PreparedBlock> blocks = call.output ? std::move(*call.output) : std::vector<PreparedBlock>{};
    std::vector<ToolUse> calls;
    for (PreparedBlock& block : blocks) {
        if (block.tool_use) calls.push_back(std::move(*block.tool_use));
    }
    std::string stop_reason;
    if (!call.finish_reason.empty()) {
        stop_reason = normalised_stop_reason(call.finish_reason);
    } else if (captured) {
        // No finish reason recorded (e.g. OpenInference on the Responses API): read it off the answer.
        stop_reason = calls.empty() ? "end_turn" : "tool_use";
    }
    std::string payload = "{";
    size_t texts = 0;
    for (const PreparedBlock& block : blocks) texts += block.text.size() + 1;
    payload.reserve(texts + 256);
    if (!call.model.is_null()) {
        payload += "\"model\":";
        json::write_compact(call.model, payload);
        payload += ',';
    }
    payload += "\"content\":[";
    for (size_t i = 0; i < blocks.size(); ++i) {
        if (i > 0) payload += ',';
        payload += blocks[i].text;
    }
    payload += ']';
    if (!stop_reason.empty()) {
        payload += ",\"stop_reason\":";
        json::write_compact_string(stop_reason, payload);
    }
    if (std::optional<json::Value> usage = usage_value(call.usage, origin, warnings)) {
        payload += ",\"usage\":";
        json::write_compact(*usage, payload);
    }
    payload += ",\"latency_ms\":";
    json::write_compact_double(latency_ms(call), payload);
    payload += '}';
    json::Object response_meta;
    response_meta.reserve(3);
    response_meta.push_back(meta.front());
    if (!call.finish_reason.empty()) response_meta.push_back({"finish_reason", json::Value(call.finish_reason)});
    if (!captured) response_meta.push_back({"content_captured", json::Value(false)});
    conversation.add_response(timestamp_from_nanos(call.end), std::move(payload), std::move(calls),
                              std::move(response_meta));
    return captured;
}

}  // namespace

OtlpMapper::TraceNumbers OtlpMapper::number_traces(std::span<Call* const> calls) {
    TraceNumbers traces;
    traces.of_call.resize(calls.size());
    for (size_t i = 0; i < calls.size(); ++i)
        traces.of_call[i] = traces.of_id.try_emplace(calls[i]->trace_id, traces.of_id.size()).first->second;
    return traces;
}

void OtlpMapper::name_models_from_agents(std::span<Call* const> calls, const std::vector<bool>& dropped,
                                         const TraceNumbers& traces) {
    if (agents_.empty()) return;
    std::vector<std::vector<const AgentSpan*>> by_trace(traces.of_id.size());
    for (const AgentSpan& agent : agents_) {
        if (auto at = traces.of_id.find(agent.trace_id); at != traces.of_id.end())
            by_trace[at->second].push_back(&agent);
    }
    for (size_t i = 0; i < calls.size(); ++i) {
        Call& call = *calls[i];
        if (dropped[i] || call.is_tool || !call.model.is_null()) continue;
        // The innermost agent span whose time holds the call.
        const AgentSpan* enclosing = nullptr;
        for (const AgentSpan* agent : by_trace[traces.of_call[i]]) {
            if (agent->start <= call.start && call.start <= agent->end &&
                (!enclosing || agent->start >= enclosing->start))
                enclosing = agent;
        }
        if (enclosing) call.model = json::Value(enclosing->model);
    }
}

std::vector<bool> OtlpMapper::merge_duplicates(std::span<Call* const> calls, const TraceNumbers& traces) {
    // A few calls back are enough: duplicates overlap in time.
    constexpr size_t LOOK_BACK = 8;
    std::vector<std::vector<size_t>> chats(traces.of_id.size());
    for (size_t i = 0; i < calls.size(); ++i) {
        if (!calls[i]->is_tool) chats[traces.of_call[i]].push_back(i);
    }
    std::vector<bool> dropped(calls.size(), false);
    for (std::vector<size_t>& indices : chats) {
        std::stable_sort(indices.begin(), indices.end(),
                         [&](size_t a, size_t b) { return calls[a]->start < calls[b]->start; });
        for (size_t n = 1; n < indices.size(); ++n) {
            Call& call = *calls[indices[n]];
            for (size_t back = 1; back <= std::min(n, LOOK_BACK); ++back) {
                size_t other_index = indices[n - back];
                if (dropped[other_index] || !same_call(*calls[other_index], call)) continue;
                Call& other = *calls[other_index];
                bool keep_new = captured(call) > captured(other);
                Call& kept = keep_new ? call : other;
                fill_missing(kept, keep_new ? other : call);
                dropped[keep_new ? other_index : indices[n]] = true;
                ++skipped_["duplicate chat span"];
                break;
            }
        }
    }
    return dropped;
}

void OtlpMapper::finish(Conversations& conversations, Summary& summary) {
    const std::vector<Call*> calls = calls_.all();
    const TraceNumbers traces_of = number_traces(calls);
    std::vector<bool> dropped = merge_duplicates(calls, traces_of);
    name_models_from_agents(calls, dropped, traces_of);

    // Events join their model call: by span id, or, when they carry an enclosing span's id, by time.
    std::vector<std::vector<size_t>> chats_by_trace(traces_of.of_id.size());
    std::unordered_map<SpanKey, size_t, SpanKeyHash> chat_by_span;
    for (size_t i = 0; i < calls.size(); ++i) {
        if (dropped[i] || calls[i]->is_tool) continue;
        chats_by_trace[traces_of.of_call[i]].push_back(i);
        chat_by_span[SpanKey{calls[i]->trace_id, calls[i]->span_id}] = i;
    }
    std::vector<std::vector<Event*>> events_of(calls.size());
    for (Event& event : events_) {
        std::optional<size_t> target;
        if (auto at = chat_by_span.find(SpanKey{event.trace_id, event.span_id}); at != chat_by_span.end()) {
            target = at->second;
        } else if (auto trace = traces_of.of_id.find(event.trace_id); trace != traces_of.of_id.end()) {
            const std::vector<size_t>& chats = chats_by_trace[trace->second];
            for (size_t i : chats) {
                const Call& c = *calls[i];
                if (c.start <= event.time && event.time <= c.end && (!target || c.start >= calls[*target]->start))
                    target = i;
            }
            if (!target) {
                for (size_t i : chats) {
                    if (calls[i]->start >= event.time && (!target || calls[i]->start < calls[*target]->start))
                        target = i;
                }
            }
        }
        if (target) events_of[*target].push_back(&event);
    }
    // Each event joins one call: its messages are taken over.
    for (size_t i = 0; i < calls.size(); ++i) {
        Call& call = *calls[i];
        std::vector<Event*>& events = events_of[i];
        if (events.empty()) continue;
        std::vector<PreparedMessage> history;
        std::vector<std::pair<uint64_t, Event*>> choices;
        for (Event* event : events) {
            if (event->details_input && !call.history) call.history = std::move(event->details_input);
            if (event->details_output && !call.output) call.output = std::move(event->details_output);
            if (event->input) history.push_back(std::move(*event->input));
            if (event->choice_index || !event->choice.empty() || !event->finish_reason.empty())
                choices.emplace_back(event->choice_index.value_or(choices.size()), event);
            if (call.finish_reason.empty() && !event->finish_reason.empty()) call.finish_reason = event->finish_reason;
        }
        if (!call.history && !history.empty()) call.history = std::move(history);
        if (!has_output(call) && !choices.empty()) {
            std::stable_sort(choices.begin(), choices.end(),
                             [](const auto& a, const auto& b) { return a.first < b.first; });
            std::vector<PreparedBlock> blocks;
            for (const auto& [index, event] : choices)
                for (PreparedBlock& block : event->choice) blocks.push_back(std::move(block));
            call.output = std::move(blocks);
        }
    }

    std::vector<size_t> order;
    for (size_t i = 0; i < calls.size(); ++i) {
        if (!dropped[i]) order.push_back(i);
    }
    std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
        const Call& x = *calls[a];
        const Call& y = *calls[b];
        if (x.start != y.start) return x.start < y.start;
        return x.end < y.end;
    });
    // Conversations in the order their traces first appear in the input, which is their numbers' order.
    const std::vector<size_t>& trace_number = traces_of.of_call;
    std::vector<size_t> by_trace = order;
    std::stable_sort(by_trace.begin(), by_trace.end(),
                     [&](size_t a, size_t b) { return trace_number[a] < trace_number[b]; });

    // Each trace feeds its own conversation, so traces are fed on several threads.
    std::vector<std::pair<Conversation*, std::vector<size_t>>> traces;
    {
        constexpr size_t NONE = SIZE_MAX;
        std::vector<size_t> trace_index(traces_of.of_id.size(), NONE);
        for (size_t i : by_trace) {
            size_t& at = trace_index[trace_number[i]];
            if (at == NONE) {
                at = traces.size();
                Conversation& conversation = conversations.open("otlp", calls[i]->trace_id);
                // A trace's metadata is given over to its conversation, while it is still in cache.
                if (auto meta = trace_meta_.find(calls[i]->trace_id); meta != trace_meta_.end()) {
                    for (json::Member& m : meta->second) conversation.set_meta(std::move(m.key), std::move(m.value));
                    trace_meta_.erase(meta);
                }
                traces.push_back({&conversation, {}});
            }
            traces[at].second.push_back(i);
        }
    }
    constexpr size_t TRACES_PER_PART = 256;
    size_t parts = part_count(traces.size(), TRACES_PER_PART);
    std::vector<uint64_t> without_content(parts, 0), without_model(parts, 0);
    std::vector<Warnings> warnings(parts);
    run_parts(parts, [&](size_t part) {
        for (size_t t = traces.size() * part / parts; t < traces.size() * (part + 1) / parts; ++t) {
            platform::check_interrupt();
            for (size_t i : traces[t].second) {
                // A call is let go once fed: the conversation's lines written next reuse its memory.
                Call call = std::move(*calls[i]);
                if (!call.is_tool && call.model.is_null()) ++without_model[part];
                if (!feed(*traces[t].first, call, warnings[part])) ++without_content[part];
            }
            // The next trace's conversation reuses the room this one did not fill.
            traces[t].first->fit();
        }
    });
    for (Warnings& part : warnings) summary.warnings.absorb(std::move(part));
    for (uint64_t count : without_content) summary.responses_without_content += count;
    for (uint64_t count : without_model) summary.responses_without_model += count;
    for (const auto& [kind, count] : skipped_) summary.skipped[kind] += count;
    calls_.clear();
    events_.clear();
    agents_.clear();
    trace_meta_.clear();
    last_meta_ = nullptr;
}

}  // namespace velkin::imports
