#include "import/chat.hpp"

#include <array>
#include <cmath>

#include "import/conversation.hpp"
#include "import/fields.hpp"
#include "json/reader.hpp"
#include "json/writer.hpp"

namespace velkin::imports {

namespace {

json::Value content_part(const json::Value& part) {
    if (!part.as_object()) wrong_type("content", "a string or an array of part objects", part);
    const std::string* type = string_member(part, "type");
    if (type && (*type == "text" || *type == "input_text" || *type == "output_text")) {
        if (const std::string* text = string_member(part, "text")) return text_block(*text);
    }
    if (type && *type == "refusal") {
        if (const std::string* text = string_member(part, "refusal")) return text_block(*text);
    }
    return part;
}

// String content stays a string; parts become blocks.
std::optional<json::Value> chat_content(const json::Value& message) {
    const json::Value* content = member(message, "content");
    if (!content) return std::nullopt;
    if (content->as_string()) return *content;
    if (!content->as_array()) wrong_type("content", "a string or an array of parts", *content);
    json::Array blocks;
    for (const json::Value& part : *content->as_array()) blocks.push_back(content_part(part));
    return json::Value(std::move(blocks));
}

void append_tool_calls(const json::Value& message, json::Array& blocks) {
    if (const json::Array* calls = array_member(message, "tool_calls")) {
        for (const json::Value& call : *calls) {
            if (!call.as_object()) wrong_type("tool_calls", "an array of objects", call);
            const json::Value& function = required_object(call, "function");
            const std::string* id = string_member(call, "id");
            const std::string* arguments = string_member(function, "arguments");
            blocks.push_back(tool_use_block(id ? *id : std::string(), required_string(function, "name"),
                                            tool_input(arguments ? *arguments : std::string_view())));
        }
    }
    if (const json::Value* call = object_member(message, "function_call")) {
        const std::string* arguments = string_member(*call, "arguments");
        blocks.push_back(tool_use_block(std::string(), required_string(*call, "name"),
                                        tool_input(arguments ? *arguments : std::string_view())));
    }
}

void append_content_blocks(const json::Value& content, json::Array& blocks) {
    if (const std::string* text = content.as_string()) {
        if (!text->empty()) blocks.push_back(text_block(*text));
        return;
    }
    for (const json::Value& block : *content.as_array()) blocks.push_back(block);
}

}  // namespace

json::Value text_block(std::string text) { return object_of("type", "text", "text", std::move(text)); }

json::Value tool_use_block(std::string id, std::string name, json::Value input) {
    return object_of("type", "tool_use", "id", std::move(id), "name", std::move(name), "input", std::move(input));
}

json::Value tool_result_block(std::string id, json::Value content, bool is_error) {
    return object_of("type", "tool_result", "tool_use_id", std::move(id), "content", std::move(content), "is_error",
                     is_error);
}

json::Value tool_input(std::string_view arguments) {
    if (auto parsed = json::parse_document(arguments)) return std::move(parsed).value();
    return json::Value(std::string(arguments));
}

json::Value chat_message(const json::Value& message) {
    if (!message.as_object()) wrong_type("messages", "an array of message objects", message);
    const std::string& role = required_string(message, "role");
    std::optional<json::Value> content = chat_content(message);
    if (role == "tool" || role == "function") {
        const std::string* id = string_member(message, "tool_call_id");
        json::Array blocks = array_of(
            tool_result_block(id ? *id : std::string(), content ? std::move(*content) : json::Value(""), false));
        return object_of("role", role, "content", std::move(blocks));
    }
    if (member(message, "tool_calls") || member(message, "function_call")) {
        json::Array blocks;
        if (content) append_content_blocks(*content, blocks);
        append_tool_calls(message, blocks);
        return object_of("role", role, "content", std::move(blocks));
    }
    return object_of("role", role, "content", content ? std::move(*content) : json::Value(""));
}

json::Array chat_response_blocks(const json::Value& message) {
    if (!message.as_object()) wrong_type("message", "an object", message);
    json::Array blocks;
    if (std::optional<json::Value> content = chat_content(message)) append_content_blocks(*content, blocks);
    if (const std::string* refusal = string_member(message, "refusal")) blocks.push_back(text_block(*refusal));
    append_tool_calls(message, blocks);
    return blocks;
}

std::string normalised_stop_reason(std::string_view reason) {
    std::string lower(reason);
    for (char& c : lower) c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    if (lower == "stop" || lower == "end_turn" || lower == "stop_sequence" || lower == "completed" ||
        lower == "pause_turn" || lower == "finish_reason_unspecified")
        return "end_turn";
    if (lower == "tool_calls" || lower == "tool_call" || lower == "function_call" || lower == "tool_use")
        return "tool_use";
    if (lower == "length" || lower == "max_tokens" || lower == "max_output_tokens" ||
        lower == "model_context_window_exceeded")
        return "max_tokens";
    if (lower == "content_filter" || lower == "safety" || lower == "blocklist" || lower == "prohibited_content")
        return "content_filter";
    if (lower == "refusal") return "refusal";
    return std::string(reason);
}

namespace {

// `total` less its `part`; a part above the total is a contradiction of the source, stored as 0 and said.
double remainder(double total, double part, std::string_view part_name, std::string_view total_name,
                 std::string_view stored_as, std::string_view origin, Warnings& warnings) {
    if (part <= total) return total - part;
    warnings.add(std::string(origin) + ": the usage counts " + json::to_compact(count_value(part)) + " " +
                 std::string(part_name) + ", more than its " + json::to_compact(count_value(total)) + " " +
                 std::string(total_name) + ": " + std::string(stored_as) + " stored as 0");
    return 0.0;
}

}  // namespace

std::optional<json::Value> usage_value(const Usage& usage, std::string_view origin, Warnings& warnings) {
    json::Object out;
    double cache_read = usage.cache_read.value_or(0.0);
    double cache_write = usage.cache_write.value_or(0.0) + usage.cache_write_1h.value_or(0.0);
    if (usage.input_uncached) {
        out.push_back({"input_tokens", count_value(*usage.input_uncached)});
    } else if (usage.input_total) {
        out.push_back(
            {"input_tokens", count_value(remainder(*usage.input_total, cache_read + cache_write, "cached input tokens",
                                                   "input tokens in all", "input_tokens", origin, warnings))});
    }
    if (usage.output_total) {
        out.push_back({"output_tokens",
                       count_value(remainder(*usage.output_total, usage.reasoning.value_or(0.0), "reasoning tokens",
                                             "output tokens in all", "output_tokens", origin, warnings))});
    }
    if (usage.cache_read) out.push_back({"cached_input_tokens", count_value(*usage.cache_read)});
    if (usage.cache_write) out.push_back({"cached_write_5m_tokens", count_value(*usage.cache_write)});
    if (usage.cache_write_1h) out.push_back({"cached_write_1h_tokens", count_value(*usage.cache_write_1h)});
    if (usage.reasoning) out.push_back({"thinking_tokens", count_value(*usage.reasoning)});
    if (out.empty()) return std::nullopt;
    return json::Value(std::move(out));
}

namespace {

// Days since 1970-01-01 to a civil date (proleptic Gregorian).
std::array<int64_t, 3> civil_from_days(int64_t days) {
    days += 719468;
    const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const int64_t doe = days - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    const int64_t day = doy - (153 * mp + 2) / 5 + 1;
    const int64_t month = mp < 10 ? mp + 3 : mp - 9;
    return {yoe + era * 400 + (month <= 2), month, day};
}

// `count` decimal digits of `value`, zero-padded, at `at`.
void put_digits(uint64_t value, int count, char* at) {
    for (int i = count - 1; i >= 0; --i) {
        at[i] = static_cast<char>('0' + value % 10);
        value /= 10;
    }
}

// Seconds within years 1970 to 9999 (what both callers pass).
std::string timestamp(int64_t seconds, uint32_t nanos) {
    int64_t days = seconds >= 0 ? seconds / 86400 : (seconds - 86399) / 86400;
    int64_t rest = seconds - days * 86400;
    auto [year, month, day] = civil_from_days(days);
    char text[] = "0000-00-00T00:00:00.000000000Z";
    put_digits(static_cast<uint64_t>(year), 4, text);
    put_digits(static_cast<uint64_t>(month), 2, text + 5);
    put_digits(static_cast<uint64_t>(day), 2, text + 8);
    put_digits(static_cast<uint64_t>(rest / 3600), 2, text + 11);
    put_digits(static_cast<uint64_t>(rest / 60 % 60), 2, text + 14);
    put_digits(static_cast<uint64_t>(rest % 60), 2, text + 17);
    size_t length = 19;
    if (nanos != 0) {
        // Milli-, micro- or nanoseconds, whichever the value needs.
        put_digits(nanos, 9, text + 20);
        length = 29;
        while (length > 23 && std::string_view(text + length - 3, 3) == "000") length -= 3;
    }
    std::string out(text, length);
    out += 'Z';
    return out;
}

}  // namespace

std::string timestamp_from_nanos(uint64_t nanos) {
    return timestamp(static_cast<int64_t>(nanos / 1000000000u), static_cast<uint32_t>(nanos % 1000000000u));
}

std::string timestamp_from_seconds(double seconds) {
    if (!std::isfinite(seconds) || seconds < 0 || seconds > 253402300799.0) return std::string(NO_TIME);
    return timestamp(static_cast<int64_t>(seconds), 0);
}

}  // namespace velkin::imports
