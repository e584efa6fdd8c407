#pragma once
// Rows read from plain numbers of the payloads: verbosity, latency, reasoning.
#include "diff/report.hpp"

namespace velkin::diff {

// Thinking tokens of "usage" plus the number of "thinking" content blocks.
double reasoning_score(const Record& record);

AxisStat verbosity_axis(const Pairs& pairs, Seed seed);
AxisStat latency_axis(const Pairs& pairs, Seed seed);
AxisStat reasoning_axis(const Pairs& pairs, Seed seed);

}  // namespace velkin::diff
