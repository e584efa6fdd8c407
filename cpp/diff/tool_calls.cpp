#include "diff/tool_calls.hpp"

#include <algorithm>
#include <functional>

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

// The member names of `input` in ascending byte order into `keys` (none when it is not an object).
void sorted_keys(const json::Value& input, std::vector<std::string_view>& keys) {
    keys.clear();
    if (const json::Object* members = input.as_object()) {
        for (const json::Member& member : *members) keys.push_back(member.key);
        std::sort(keys.begin(), keys.end());
    }
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
    std::vector<std::string_view> keys;
    for (const json::Value& block : content) {
        if (!has_type(block, "tool_use")) continue;
        const json::Value* name = block.get("name");
        const std::string* name_text = name ? name->as_string() : nullptr;
        const json::Value* input = block.get("input");
        ToolCall call{
            name_text ? std::string_view(*name_text) : std::string_view("_"), input ? input : &null_value(), {}};
        call.key_shape.assign(call.name);
        call.key_shape.push_back('(');
        sorted_keys(*call.input, keys);
        append_keys(keys, call.key_shape);
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
    hashed_shape_sequence(calls, shapes);
    return shapes;
}

void hashed_shape_sequence(const ToolCalls& calls, std::vector<std::string>& shapes) {
    // Reused across calls: most inputs are a few hundred bytes, hashed at once.
    thread_local std::string compact;
    shapes.resize(calls.size());
    for (size_t c = 0; c < calls.size(); ++c) {
        const ToolCall& call = calls[c];
        compact.clear();
        json::write_compact_sorted(*call.input, compact);
        // The key shape with the input's hash before its closing parenthesis.
        std::string& shape = shapes[c];
        shape.assign(call.key_shape, 0, call.key_shape.size() - 1);
        shape.push_back('|');
        text::append_hex(text::sha256(compact), INPUT_HASH_BYTES, shape);
        shape.push_back(')');
    }
}

std::vector<FirstInput> first_input_per_name(const ToolCalls& calls) {
    std::vector<FirstInput> inputs;
    inputs.reserve(calls.size());
    for (const ToolCall& call : calls) inputs.push_back({call.name, call.input});
    auto by_name = [](const FirstInput& a, const FirstInput& b) { return a.name < b.name; };
    // A response makes few calls: those are sorted in place, in the order std::stable_sort
    // gives, without the buffer it would allocate.
    constexpr size_t FEW = 16;
    if (inputs.size() > FEW) {
        std::stable_sort(inputs.begin(), inputs.end(), by_name);
    } else {
        for (size_t k = 1; k < inputs.size(); ++k) {
            const FirstInput input = inputs[k];
            size_t at = k;
            for (; at > 0 && by_name(input, inputs[at - 1]); --at) inputs[at] = inputs[at - 1];
            inputs[at] = input;
        }
    }
    auto same_name = [](const FirstInput& a, const FirstInput& b) { return a.name == b.name; };
    inputs.erase(std::unique(inputs.begin(), inputs.end(), same_name), inputs.end());
    return inputs;
}

bool first_object_input_keys(const ToolCalls& calls, std::vector<std::string_view>& keys) {
    for (const ToolCall& call : calls) {
        if (!call.input->as_object()) continue;
        sorted_keys(*call.input, keys);
        keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
        return true;
    }
    keys.clear();
    return false;
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
                std::string message = "`";
                message.append(tool.name).append("(").append(member.key).append(")`: `");
                message.append(json::to_compact(member.value)).append("` \u2192 `");
                message.append(new_value ? json::to_compact(*new_value) : std::string("<missing>")).append("`");
                return message;
            }
        }
        std::string message = "`";
        message.append(tool.name).append("`: input changed");
        return message;
    }
    return std::nullopt;
}

}  // namespace velkin::diff
