#pragma once
// How often each side abstains: refusals, declines and content filters.
#include "diff/report.hpp"

namespace velkin::diff {

// Stopped by the content filter, or the lower-cased response text holds an abstention phrase.
bool is_abstention_with(const Record& record);

AxisStat safety_axis(const Pairs& pairs, Seed seed);

}  // namespace velkin::diff
