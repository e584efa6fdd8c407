#pragma once
// The tool_use blocks of a response and the forms in which the report compares them.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "json/value.hpp"

namespace velkin::diff {

struct ToolCall {
    std::string_view name;     // "_" when the block has no string "name"
    const json::Value* input;  // the "input" member, or a null value when it has none
    std::string key_shape;     // "{name}({keys})": input keys ascending, joined by ","
};
using ToolCalls = std::vector<ToolCall>;

// The tool_use blocks of a content array, in content order (borrowing from it).
ToolCalls read_tool_calls(const json::Array& content);

// The alignment's tool set: the distinct key shapes, ascending.
std::vector<std::string> distinct_key_shapes(const ToolCalls& calls);
// The key shapes in content order, repeats kept.
std::vector<std::string> key_shape_sequence(const ToolCalls& calls);
// "{name}({keys}|{hash})" per call in content order, the hash being the first 8
// bytes of the SHA-256 of the compact input with members ordered by name.
std::vector<std::string> hashed_shape_sequence(const ToolCalls& calls);
// The same into `shapes`, whose strings keep their capacity from one response to the next.
void hashed_shape_sequence(const ToolCalls& calls, std::vector<std::string>& shapes);

struct FirstInput {
    std::string_view name;
    const json::Value* input;
};
// The input of the first call of every tool name, names ascending.
std::vector<FirstInput> first_input_per_name(const ToolCalls& calls);
// Top-level member names of the first call with an object input, ascending byte order,
// into `keys` (borrowing from the calls); false when no call has an object input.
bool first_object_input_keys(const ToolCalls& calls, std::vector<std::string_view>& keys);

// The first argument that differs between calls of one tool name on both sides:
// "`{name}({key})`: `{old}` → `{new}`" (or "<missing>"), else "`{name}`: input changed".
std::optional<std::string> arg_value_diff(const ToolCalls& baseline, const ToolCalls& candidate);

}  // namespace velkin::diff
