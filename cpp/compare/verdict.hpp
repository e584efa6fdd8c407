#pragma once
// Reading the suite's tests: which way each significant change moves the
// candidate, how each conversation's findings are graded, the verdict and
// the advice. Only calibrated, significant tests grade anything above info.
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "compare/compare.hpp"
#include "compare/engine.hpp"

namespace velkin::compare {

// Which way a change of `delta` on an axis moves the candidate; nothing
// where a change that way reads as noise.
std::optional<Direction> axis_direction(Axis axis, double delta);

// `stands_out(kind, subject)`: a subject of a significant kind is significant on its own.
using StandsOut = std::function<bool(size_t, const std::string&)>;
void grade_findings(SuiteReport& report, const StandsOut& stands_out);

Verdict verdict_of(const SuiteReport& report);

// `hints` are the engine's root-cause hints read from the significant rows.
std::vector<Advice> advice_for(const SuiteReport& report, std::vector<Recommendation> hints);

}  // namespace velkin::compare
