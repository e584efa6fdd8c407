#pragma once
// Reading a response payload: typed member lookups and its content blocks.
#include <optional>
#include <string>
#include <string_view>

#include "diff/report.hpp"
#include "json/value.hpp"

namespace velkin::diff {

// The member when it is a string, else nullptr (also when `object` is not an object).
const std::string* string_member(const json::Value& object, std::string_view key);
// Any JSON number member as a double; nothing when `object` is absent, not an object, or lacks one.
std::optional<double> number_member(const json::Value* object, std::string_view key);

// The payload's "content" array, or nullptr when the payload has none.
const json::Array* content_blocks(const Record& record);
// A content element that is an object whose "type" is the string `type`.
bool has_type(const json::Value& block, std::string_view type);
bool is_tool_use(const json::Value& block);
// The "text" strings of the payload's text blocks joined by `separator`.
std::string joined_text_blocks(const Record& record, char separator);
// The payload's "stop_reason" string, or empty.
std::string_view stop_reason(const Record& record);

}  // namespace velkin::diff
