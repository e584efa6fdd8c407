#include "diff/recommendations.hpp"

namespace velkin::diff {

std::optional<std::string_view> extract_backticked(std::string_view) { return std::nullopt; }
std::string signed_three_decimals(double) { return {}; }
std::vector<Recommendation> root_cause_hints(const std::vector<AxisStat>&) { return {}; }
Recommendation recommendation_for(const FirstDivergence&) { return {}; }
std::vector<Recommendation> assemble_recommendations(const std::vector<AxisStat>&,
                                                     const std::vector<FirstDivergence>&) {
    return {};
}

}  // namespace velkin::diff
