#pragma once
// How far the candidate's tool calls drift from the baseline's, pair by pair.
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "diff/axes.hpp"
#include "diff/response.hpp"

namespace velkin::diff {

// Levenshtein distance with whole shapes as symbols, over the longer length; 0.0 for two empty lists.
double normalised_edit_distance(const std::vector<std::string>& a, const std::vector<std::string>& b);
double normalised_edit_distance(std::span<const std::string_view> a, std::span<const std::string_view> b);

// Per pair: baseline 0.0, candidate the normalised edit distance of the hashed shape sequences.
AxisSamples trajectory_samples(const Pairs& pairs);

}  // namespace velkin::diff
