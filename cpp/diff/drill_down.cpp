#include "diff/drill_down.hpp"

namespace velkin::diff {

std::string drill_down_response_text(const Record&) { return {}; }
bool is_refusal(const Record&) { return false; }
bool parses_as_json(std::string_view) { return false; }
std::vector<std::string> tool_shape_seq(const Record&) { return {}; }
std::vector<std::string_view> shingles(std::string_view) { return {}; }
std::vector<ShingleKey> shingle_keys(std::string_view) { return {}; }
std::vector<PairDrilldown> drill_down(const Pairs&, const PricingTable&) { return {}; }

}  // namespace velkin::diff
