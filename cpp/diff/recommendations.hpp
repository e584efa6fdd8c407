#pragma once
// The recommendation list: root-cause hints, one entry per divergence, the aggregate.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "diff/report.hpp"

namespace velkin::diff {

inline constexpr size_t RECOMMENDATION_LIMIT = 8;

// The text between the first two backquotes, or nothing.
std::optional<std::string_view> extract_backticked(std::string_view text);
// "+0.123", "-2.000", "NaN", "+inf", "-inf".
std::string signed_three_decimals(double value);

std::vector<Recommendation> root_cause_hints(const std::vector<AxisStat>& rows);
Recommendation recommendation_for(const FirstDivergence& divergence);
std::vector<Recommendation> assemble_recommendations(const std::vector<AxisStat>& rows,
                                                     const std::vector<FirstDivergence>& divergences);

}  // namespace velkin::diff
