#include "diff/tool_calls.hpp"

#include <algorithm>

#include "json/writer.hpp"
#include "text/sha256.hpp"

namespace velkin::diff {

namespace {

constexpr size_t INPUT_HASH_BYTES = 8;

const json::Value& null_value() {
    static const json::Value null;
    return null;
}

bool has_type(const json::Value& block, std::string_view type) {
    const json::Value* member = block.get("type");
    const std::string* name = member ? member->as_string() : nullptr;
    return name && *name == type;
}

std::vector<std::string_view> sorted_keys(const json::Value& input) {
    std::vector<std::string_view> keys;
    if (const json::Object* members = input.as_object()) {
        keys.reserve(members->size());
        for (const json::Member& member : *members) keys.push_back(member.key);
        std::sort(keys.begin(), keys.end());
    }
    return keys;
}

void append_keys(const std::vector<std::string_view>& keys, std::string& out) {
    for (size_t k = 0; k < keys.size(); ++k) {
        if (k > 0) out.push_back(',');
        out += keys[k];
    }
}

}  // namespace

ToolCalls read_tool_calls(const json::Array& content) {
    ToolCalls calls;
    for (const json::Value& block : content) {
        if (!has_type(block, "tool_use")) continue;
        const json::Value* name = block.get("name");
        const std::string* name_text = name ? name->as_string() : nullptr;
        const json::Value* input = block.get("input");
        ToolCall call{name_text ? std::string_view(*name_text) : std::string_view("_"),
                      input ? input : &null_value(), {}};
        call.key_shape.assign(call.name);
        call.key_shape.push_back('(');
        append_keys(sorted_keys(*call.input), call.key_shape);
        call.key_shape.push_back(')');
        calls.push_back(std::move(call));
    }
    return calls;
}

std::vector<std::string> distinct_key_shapes(const ToolCalls& calls) {
    std::vector<std::string> shapes = key_shape_sequence(calls);
    std::sort(shapes.begin(), shapes.end());
    shapes.erase(std::unique(shapes.begin(), shapes.end()), shapes.end());
    return shapes;
}

std::vector<std::string> key_shape_sequence(const ToolCalls& calls) {
    std::vector<std::string> shapes;
    shapes.reserve(calls.size());
    for (const ToolCall& call : calls) shapes.push_back(call.key_shape);
    return shapes;
}

std::vector<std::string> hashed_shape_sequence(const ToolCalls& calls) {
    std::vector<std::string> shapes;
    shapes.reserve(calls.size());
    for (const ToolCall& call : calls) {
        std::string shape(call.name);
        shape.push_back('(');
        append_keys(sorted_keys(*call.input), shape);
        shape.push_back('|');
        shape += text::hex(text::sha256(json::to_compact(canonicalise(*call.input))), INPUT_HASH_BYTES);
        shape.push_back(')');
        shapes.push_back(std::move(shape));
    }
    return shapes;
}

std::vector<FirstInput> first_input_per_name(const ToolCalls& calls) {
    std::vector<FirstInput> inputs;
    inputs.reserve(calls.size());
    for (const ToolCall& call : calls) inputs.push_back({call.name, call.input});
    auto by_name = [](const FirstInput& a, const FirstInput& b) { return a.name < b.name; };
    std::stable_sort(inputs.begin(), inputs.end(), by_name);
    auto same_name = [](const FirstInput& a, const FirstInput& b) { return a.name == b.name; };
    inputs.erase(std::unique(inputs.begin(), inputs.end(), same_name), inputs.end());
    return inputs;
}

std::optional<std::vector<std::string>> first_object_input_keys(const ToolCalls& calls) {
    for (const ToolCall& call : calls) {
        if (!call.input->as_object()) continue;
        std::vector<std::string> keys;
        for (std::string_view key : sorted_keys(*call.input)) keys.emplace_back(key);
        keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
        return keys;
    }
    return std::nullopt;
}

std::optional<std::string> arg_value_diff(const ToolCalls& baseline, const ToolCalls& candidate) {
    std::vector<FirstInput> baseline_inputs = first_input_per_name(baseline);
    std::vector<FirstInput> candidate_inputs = first_input_per_name(candidate);
    if (baseline_inputs.empty() || candidate_inputs.empty()) return std::nullopt;
    auto by_name = [](const FirstInput& tool, std::string_view name) { return tool.name < name; };
    for (const FirstInput& tool : baseline_inputs) {
        auto other = std::lower_bound(candidate_inputs.begin(), candidate_inputs.end(), tool.name, by_name);
        if (other == candidate_inputs.end() || other->name != tool.name) continue;
        const json::Value& old_input = *tool.input;
        const json::Value& new_input = *other->input;
        if (json::deep_equal(old_input, new_input)) continue;
        const json::Object* old_members = old_input.as_object();
        if (old_members && new_input.as_object()) {
            for (const json::Member& member : *old_members) {
                const json::Value* new_value = new_input.get(member.key);
                if (new_value && json::deep_equal(member.value, *new_value)) continue;
                return "`" + std::string(tool.name) + "(" + member.key + ")`: `" + json::to_compact(member.value) +
                       "` \u2192 `" + (new_value ? json::to_compact(*new_value) : std::string("<missing>")) + "`";
            }
        }
        return "`" + std::string(tool.name) + "`: input changed";
    }
    return std::nullopt;
}

json::Value canonicalise(const json::Value& value) {
    if (const json::Object* members = value.as_object()) {
        json::Object sorted;
        sorted.reserve(members->size());
        for (const json::Member& member : *members) sorted.push_back({member.key, canonicalise(member.value)});
        std::stable_sort(sorted.begin(), sorted.end(),
                         [](const json::Member& a, const json::Member& b) { return a.key < b.key; });
        return json::Value(std::move(sorted));
    }
    if (const json::Array* elements = value.as_array()) {
        json::Array copy;
        copy.reserve(elements->size());
        for (const json::Value& element : *elements) copy.push_back(canonicalise(element));
        return json::Value(std::move(copy));
    }
    return value;
}

}  // namespace velkin::diff
