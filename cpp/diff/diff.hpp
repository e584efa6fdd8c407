#pragma once
// The report driver: selects and pairs responses, runs every axis, the
// alignment and the findings, and assembles the report.
#include <string>
#include <vector>

#include "diff/cost.hpp"
#include "diff/report.hpp"

namespace velkin::diff {

Responses select_responses(const std::vector<Record>& records);
Pairs pair_responses(const Responses& baseline, const Responses& candidate);

std::string trace_id_for(const std::vector<Record>& records);

DiffReport compute_report(const std::vector<Record>& baseline, const std::vector<Record>& candidate,
                          const PricingTable& pricing, Seed seed);

}  // namespace velkin::diff
