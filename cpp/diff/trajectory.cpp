#include "diff/trajectory.hpp"

#include <algorithm>
#include <utility>

#include "diff/bootstrap.hpp"
#include "diff/payload.hpp"
#include "json/writer.hpp"
#include "text/sha256.hpp"

namespace velkin::diff {

namespace {

constexpr size_t HASH_BYTES = 8;

std::string block_shape(const json::Value& block) {
    const std::string* name = string_member(block, "name");
    static const json::Value absent_input;
    const json::Value* input_member = block.get("input");
    const json::Value& input = input_member ? *input_member : absent_input;

    std::string shape = name ? *name : "_";
    shape.push_back('(');
    if (const json::Object* members = input.as_object()) {
        std::vector<std::string_view> keys;
        keys.reserve(members->size());
        for (const json::Member& member : *members) keys.push_back(member.key);
        std::stable_sort(keys.begin(), keys.end());
        for (size_t i = 0; i < keys.size(); ++i) {
            if (i > 0) shape.push_back(',');
            shape += keys[i];
        }
    }
    shape.push_back('|');
    shape += text::hex(text::sha256(json::to_compact(trajectory::canonicalise(input))), HASH_BYTES);
    shape.push_back(')');
    return shape;
}

}  // namespace

double normalised_edit_distance(const std::vector<std::string>& a, const std::vector<std::string>& b) {
    size_t longest = std::max(a.size(), b.size());
    if (longest == 0) return 0.0;
    std::vector<uint64_t> previous(b.size() + 1), current(b.size() + 1);
    for (size_t k = 0; k <= b.size(); ++k) previous[k] = k;
    for (size_t r = 1; r <= a.size(); ++r) {
        current[0] = r;
        for (size_t k = 1; k <= b.size(); ++k) {
            uint64_t substitution = previous[k - 1] + (a[r - 1] == b[k - 1] ? 0 : 1);
            current[k] = std::min({substitution, current[k - 1] + 1, previous[k] + 1});
        }
        std::swap(previous, current);
    }
    return static_cast<double>(previous[b.size()]) / static_cast<double>(longest);
}

std::vector<std::string> trajectory::tool_shape(const Record& record) {
    std::vector<std::string> shapes;
    const json::Array* blocks = content_blocks(record);
    if (!blocks) return shapes;
    for (const json::Value& block : *blocks)
        if (is_tool_use(block)) shapes.push_back(block_shape(block));
    return shapes;
}

json::Value trajectory::canonicalise(const json::Value& value) {
    if (const json::Object* members = value.as_object()) {
        json::Object sorted;
        sorted.reserve(members->size());
        for (const json::Member& member : *members) sorted.push_back({member.key, trajectory::canonicalise(member.value)});
        std::stable_sort(sorted.begin(), sorted.end(),
                         [](const json::Member& a, const json::Member& b) { return a.key < b.key; });
        return json::Value(std::move(sorted));
    }
    if (const json::Array* elements = value.as_array()) {
        json::Array copy;
        copy.reserve(elements->size());
        for (const json::Value& element : *elements) copy.push_back(trajectory::canonicalise(element));
        return json::Value(std::move(copy));
    }
    return value;
}

AxisSamples trajectory_samples(const Pairs& pairs) {
    AxisSamples samples{Axis::Trajectory, Statistic::Median, Grading::Rate, std::vector<double>(pairs.size(), 0.0), {}};
    samples.candidate.reserve(pairs.size());
    for (const ResponsePair& pair : pairs) {
        samples.candidate.push_back(
            normalised_edit_distance(trajectory::tool_shape(*pair.baseline), trajectory::tool_shape(*pair.candidate)));
    }
    return samples;
}

}  // namespace velkin::diff
