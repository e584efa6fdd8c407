#include "diff/payload.hpp"

namespace velkin::diff {

const std::string* string_member(const json::Value& object, std::string_view key) {
    const json::Value* member = object.get(key);
    return member ? member->as_string() : nullptr;
}

std::optional<double> number_member(const json::Value* object, std::string_view key) {
    const json::Value* member = object ? object->get(key) : nullptr;
    return member ? member->as_double() : std::nullopt;
}

const json::Array* content_blocks(const Record& record) {
    const json::Value* content = record.payload.get("content");
    return content ? content->as_array() : nullptr;
}

bool has_type(const json::Value& block, std::string_view type) {
    const std::string* name = string_member(block, "type");
    return name && *name == type;
}

bool is_tool_use(const json::Value& block) { return has_type(block, "tool_use"); }

std::string joined_text_blocks(const Record& record, char separator) {
    std::string text;
    const json::Array* blocks = content_blocks(record);
    if (!blocks) return text;
    bool first = true;
    for (const json::Value& block : *blocks) {
        const std::string* piece = has_type(block, "text") ? string_member(block, "text") : nullptr;
        if (!piece) continue;
        if (!first) text.push_back(separator);
        text += *piece;
        first = false;
    }
    return text;
}

std::string_view stop_reason(const Record& record) {
    const std::string* reason = string_member(record.payload, "stop_reason");
    return reason ? std::string_view(*reason) : std::string_view();
}

}  // namespace velkin::diff
