#include "diff/reasoning.hpp"

#include <optional>
#include <vector>

#include "diff/bootstrap.hpp"

namespace velkin::diff {

namespace {

std::optional<double> number_member(const json::Value* object, std::string_view key) {
    const json::Value* member = object ? object->get(key) : nullptr;
    return member ? member->as_double() : std::nullopt;
}

std::optional<double> output_tokens(const Record& record) {
    return number_member(record.payload.get("usage"), "output_tokens");
}

std::optional<double> latency_ms(const Record& record) { return number_member(&record.payload, "latency_ms"); }

// Pairs in which both responses carry the number; the others are left out.
template <class Read>
AxisStat both_sides_axis(Axis axis, const Pairs& pairs, Seed seed, Read read) {
    std::vector<double> baseline, candidate;
    for (const ResponsePair& pair : pairs) {
        std::optional<double> b = read(*pair.baseline);
        std::optional<double> c = read(*pair.candidate);
        if (!b || !c) continue;
        baseline.push_back(*b);
        candidate.push_back(*c);
    }
    return median_value_stat(axis, baseline, candidate, seed);
}

}  // namespace

double reasoning_score(const Record& record) {
    const json::Value& payload = record.payload;
    if (!payload.as_object()) return 0.0;
    double thinking_tokens = number_member(payload.get("usage"), "thinking_tokens").value_or(0.0);
    uint64_t thinking_blocks = 0;
    const json::Value* content = payload.get("content");
    if (const json::Array* blocks = content ? content->as_array() : nullptr) {
        for (const json::Value& block : *blocks) {
            const json::Value* type = block.get("type");
            const std::string* name = type ? type->as_string() : nullptr;
            if (name && *name == "thinking") ++thinking_blocks;
        }
    }
    return thinking_tokens + static_cast<double>(thinking_blocks);
}

AxisStat verbosity_axis(const Pairs& pairs, Seed seed) {
    return both_sides_axis(Axis::Verbosity, pairs, seed, output_tokens);
}

AxisStat latency_axis(const Pairs& pairs, Seed seed) { return both_sides_axis(Axis::Latency, pairs, seed, latency_ms); }

AxisStat reasoning_axis(const Pairs& pairs, Seed seed) {
    std::vector<double> baseline, candidate;
    baseline.reserve(pairs.size());
    candidate.reserve(pairs.size());
    for (const ResponsePair& pair : pairs) {
        baseline.push_back(reasoning_score(*pair.baseline));
        candidate.push_back(reasoning_score(*pair.candidate));
    }
    return median_value_stat(Axis::Reasoning, baseline, candidate, seed);
}

}  // namespace velkin::diff
