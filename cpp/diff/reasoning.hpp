#pragma once
// Rows read from plain numbers of the payloads: verbosity, latency, reasoning.
#include <optional>

#include "diff/axes.hpp"
#include "diff/response.hpp"

namespace velkin::diff {

// Thinking tokens of "usage" plus the number of "thinking" content blocks.
double reasoning_score(const ResponseView& response);
// What the verbosity and latency rows read of a response, where it carries them.
std::optional<double> output_tokens_of(const ResponseView& response);
std::optional<double> latency_of(const ResponseView& response);

// Output tokens and latency: only pairs in which both responses carry the number.
AxisSamples verbosity_samples(const Pairs& pairs);
AxisSamples latency_samples(const Pairs& pairs);
// Every pair.
AxisSamples reasoning_samples(const Pairs& pairs);

}  // namespace velkin::diff
