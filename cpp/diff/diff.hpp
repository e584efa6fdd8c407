#pragma once
// The report driver: views and pairs the responses, runs every axis, the
// alignment and the findings, and assembles the report.
#include <string>
#include <vector>

#include "diff/cost.hpp"
#include "diff/report.hpp"
#include "diff/response.hpp"

namespace velkin::diff {

DiffReport compute_report(const std::vector<Record>& baseline, const std::vector<Record>& candidate,
                          const PricingTable& pricing, Seed seed);
// The same from each side's views (select_responses) and trace id (trace_id_for).
DiffReport compute_report(Responses baseline, Responses candidate, std::string baseline_trace_id,
                          std::string candidate_trace_id, const PricingTable& pricing, Seed seed);

}  // namespace velkin::diff
