#include "diff/reasoning.hpp"

#include <optional>
#include <vector>

namespace velkin::diff {

namespace {

// Pairs in which both responses carry the number; the others are left out.
template <class Read>
AxisSamples both_sides_samples(Axis axis, const Pairs& pairs, Read read) {
    AxisSamples samples{axis, Statistic::Median, Grading::Value, {}, {}};
    for (const ResponsePair& pair : pairs) {
        std::optional<double> b = read(*pair.baseline);
        std::optional<double> c = read(*pair.candidate);
        if (!b || !c) continue;
        samples.baseline.push_back(*b);
        samples.candidate.push_back(*c);
    }
    return samples;
}

}  // namespace

std::optional<double> output_tokens_of(const ResponseView& response) { return response.output_tokens; }

std::optional<double> latency_of(const ResponseView& response) { return response.latency_ms; }

double reasoning_score(const ResponseView& response) {
    return response.thinking_tokens.value_or(0.0) + static_cast<double>(response.thinking_blocks);
}

AxisSamples verbosity_samples(const Pairs& pairs) {
    return both_sides_samples(Axis::Verbosity, pairs, output_tokens_of);
}

AxisSamples latency_samples(const Pairs& pairs) { return both_sides_samples(Axis::Latency, pairs, latency_of); }

AxisSamples reasoning_samples(const Pairs& pairs) {
    AxisSamples samples{Axis::Reasoning, Statistic::Median, Grading::Value, {}, {}};
    samples.baseline.reserve(pairs.size());
    samples.candidate.reserve(pairs.size());
    for (const ResponsePair& pair : pairs) {
        samples.baseline.push_back(reasoning_score(*pair.baseline));
        samples.candidate.push_back(reasoning_score(*pair.candidate));
    }
    return samples;
}

}  // namespace velkin::diff
