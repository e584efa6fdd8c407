#pragma once
// The report driver: views and pairs the responses, runs every axis, the
// alignment and the findings, and assembles the report.
#include <vector>

#include "diff/cost.hpp"
#include "diff/report.hpp"

namespace velkin::diff {

DiffReport compute_report(const std::vector<Record>& baseline, const std::vector<Record>& candidate,
                          const PricingTable& pricing, Seed seed);

}  // namespace velkin::diff
