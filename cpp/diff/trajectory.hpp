#pragma once
// How far the candidate's tool calls drift from the baseline's, pair by pair.
#include <string>
#include <vector>

#include "diff/bootstrap.hpp"

namespace velkin::diff {

// The module's own reading of tool calls; the alignment has another tool_shape.
namespace trajectory {

// One "{name}({keys}|{hash})" per tool_use block, in content order.
std::vector<std::string> tool_shape(const Record& record);
// A deep copy whose object members are ordered by the bytes of their names, at every depth.
json::Value canonicalise(const json::Value& value);

}  // namespace trajectory

// Levenshtein distance with whole shapes as symbols, over the longer length; 0.0 for two empty lists.
double normalised_edit_distance(const std::vector<std::string>& a, const std::vector<std::string>& b);

// Per pair: baseline 0.0, candidate the normalised edit distance of the shape sequences.
AxisSamples trajectory_samples(const Pairs& pairs);

}  // namespace velkin::diff
