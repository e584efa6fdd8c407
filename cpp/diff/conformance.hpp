#pragma once
// Format conformance, and the standard reading of a response's visible text.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "diff/bootstrap.hpp"

namespace velkin::diff {

// The "text" strings of the payload's text blocks joined by one space.
std::string response_text(const Record& record);
// Top-level member names of the first tool_use block with an object input, ascending byte order.
std::optional<std::vector<std::string>> first_tool_use_keys(const Record& record);
std::string_view strip_markdown_fences(std::string_view text);

// Pairs whose baseline answered with JSON or a tool call: 1.0 where the format holds.
AxisSamples conformance_samples(const Pairs& pairs);

}  // namespace velkin::diff
