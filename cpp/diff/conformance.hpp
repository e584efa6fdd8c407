#pragma once
// Format conformance: JSON answers stay JSON, tool calls keep their arguments.
#include <string_view>

#include "diff/axes.hpp"
#include "diff/response.hpp"

namespace velkin::diff {

std::string_view strip_markdown_fences(std::string_view text);

// Pairs whose baseline answered with JSON or a tool call: 1.0 where the format holds.
AxisSamples conformance_samples(const Pairs& pairs);

}  // namespace velkin::diff
