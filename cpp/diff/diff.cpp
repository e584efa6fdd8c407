#include "diff/diff.hpp"

#include <algorithm>

#include "diff/alignment.hpp"
#include "diff/bootstrap.hpp"
#include "diff/conformance.hpp"
#include "diff/drill_down.hpp"
#include "diff/reasoning.hpp"
#include "diff/recommendations.hpp"
#include "diff/safety.hpp"
#include "diff/semantic.hpp"
#include "diff/trajectory.hpp"

namespace velkin::diff {

namespace {

constexpr size_t MAX_DIVERGENCES = 5;

// The judge row is never computed: no samples, the empty statistic.
std::vector<AxisSamples> row_samples(const Pairs& pairs, const PricingTable& pricing) {
    std::vector<AxisSamples> rows;
    rows.reserve(AXIS_COUNT);
    rows.push_back(semantic_samples(pairs));
    rows.push_back(trajectory_samples(pairs));
    rows.push_back(safety_samples(pairs));
    rows.push_back(verbosity_samples(pairs));
    rows.push_back(latency_samples(pairs));
    rows.push_back(cost_samples(pairs, pricing));
    rows.push_back(reasoning_samples(pairs));
    AxisSamples judge;
    judge.axis = Axis::Judge;
    rows.push_back(std::move(judge));
    rows.push_back(conformance_samples(pairs));
    return rows;
}

}  // namespace

DiffReport compute_report(const std::vector<Record>& baseline, const std::vector<Record>& candidate,
                          const PricingTable& pricing, Seed seed) {
    return compute_report(select_responses(baseline), select_responses(candidate), trace_id_for(baseline),
                          trace_id_for(candidate), pricing, seed);
}

DiffReport compute_report(Responses baseline_responses, Responses candidate_responses, std::string baseline_trace_id,
                          std::string candidate_trace_id, const PricingTable& pricing, Seed seed) {
    DiffReport report;
    Pairs pairs = pair_responses(baseline_responses, candidate_responses);
    report.pair_count = pairs.size();
    report.rows = axis_stats(row_samples(pairs, pricing), seed);

    std::optional<AlignedTurns> turns;
    if (!baseline_responses.empty()) turns = turn_features(baseline_responses, candidate_responses);
    report.drill_down = drill_down(pairs, pricing, turns ? &*turns : nullptr);
    // Only the rows and the drill-down read the lower-cased texts: the
    // alignment's peak need not hold them.
    for (Responses* side : {&baseline_responses, &candidate_responses})
        for (ResponseView& response : *side) {
            response.lowered = {};
            response.lowered_text.reset();
        }

    if (turns) {
        turns->index_shingles();
        std::vector<Step> path = align(*turns);
        // The walk lists findings in path order: the first is where it would stop at one.
        std::vector<FirstDivergence> first = walk_collecting(path, *turns, baseline_responses, candidate_responses, 1);
        if (!first.empty()) report.first_divergence = std::move(first.front());
        report.divergences = ranked_divergences(path, *turns, baseline_responses, candidate_responses, MAX_DIVERGENCES);
    }

    report.baseline_trace_id = std::move(baseline_trace_id);
    report.candidate_trace_id = std::move(candidate_trace_id);
    report.recommendations = assemble_recommendations(report.rows, report.divergences);
    return report;
}

}  // namespace velkin::diff
