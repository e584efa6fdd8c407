#pragma once
// How often each side abstains: refusals, declines and content filters.
#include "diff/axes.hpp"
#include "diff/response.hpp"

namespace velkin::diff {

// Stopped by the content filter, or the lower-cased response text holds an abstention phrase.
bool is_abstention_with(const ResponseView& response);

// Per pair: 1.0 for an abstaining response, else 0.0, on each side.
AxisSamples safety_samples(const Pairs& pairs);

}  // namespace velkin::diff
