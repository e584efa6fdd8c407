#pragma once
// The five most regressed response pairs, scored axis by axis.
#include <cstddef>
#include <vector>

#include "diff/alignment.hpp"
#include "diff/cost.hpp"
#include "diff/report.hpp"

namespace velkin::diff {

inline constexpr size_t DRILL_DOWN_LIMIT = 5;

// `turns`, when given, are the alignment's features of the two sides the pairs
// were drawn from (pair i being turn i of each); their shingles are reused.
std::vector<PairDrilldown> drill_down(const Pairs& pairs, const PricingTable& pricing, AlignedTurns* turns = nullptr);

}  // namespace velkin::diff
