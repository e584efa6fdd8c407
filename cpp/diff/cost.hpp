#pragma once
// Prices per token and the cost of one response.
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "diff/axes.hpp"
#include "diff/response.hpp"

namespace velkin::diff {

struct ModelPricing {
    double input = 0.0;
    double output = 0.0;
    double cached_input = 0.0;
    double cached_write_5m = 0.0;
    double cached_write_1h = 0.0;
    double reasoning = 0.0;
    double batch_discount = 0.0;
};

using PricingTable = std::unordered_map<std::string, ModelPricing>;

const ModelPricing* lookup_with_snapshot_fallback(const PricingTable& table, std::string_view name);
std::optional<double> cost_of(const ResponseView& response, const PricingTable& table);

// Pairs whose two costs are known; no_pricing when fewer than half of all pairs are priced.
AxisSamples cost_samples(const Pairs& pairs, const PricingTable& table);

}  // namespace velkin::diff
