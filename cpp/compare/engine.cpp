#include "compare/engine.hpp"

#include <algorithm>

#include "diff/alignment.hpp"
#include "diff/chacha.hpp"
#include "diff/conformance.hpp"
#include "diff/reasoning.hpp"
#include "diff/response.hpp"
#include "diff/recommendations.hpp"
#include "diff/safety.hpp"
#include "diff/semantic.hpp"
#include "diff/trajectory.hpp"

namespace velkin::compare {

namespace {

diff::Responses views_of(const Responses& responses) {
    diff::Responses views;
    views.reserve(responses.size());
    for (const Record* response : responses) views.push_back(diff::view_response(*response));
    return views;
}

diff::Pairs matched_pairs(const std::vector<Step>& path, const diff::Responses& baseline,
                          const diff::Responses& candidate) {
    diff::Pairs pairs;
    for (const Step& step : path) {
        if (step.kind == StepKind::Match) pairs.push_back({&baseline[step.baseline], &candidate[step.candidate]});
    }
    return pairs;
}

bool ranks_before(const FirstDivergence& a, const FirstDivergence& b) {
    if (a.kind != b.kind) return a.kind > b.kind;
    return a.confidence > b.confidence;
}

}  // namespace

Responses responses_of(const std::vector<Record>& conversation) {
    Responses responses;
    for (const Record& record : conversation) {
        if (record.kind == agentlog::Kind::ChatResponse) responses.push_back(&record);
    }
    return responses;
}

std::string trace_id_of(const std::vector<Record>& conversation) { return diff::trace_id_for(conversation); }

std::vector<Step> align_turns(const Responses& baseline, const Responses& candidate) {
    std::vector<Step> path;
    if (baseline.empty()) {
        for (uint64_t j = 0; j < candidate.size(); ++j) path.push_back({StepKind::Insert, 0, j});
        return path;
    }
    for (const diff::Step& step : diff::align(views_of(baseline), views_of(candidate))) {
        StepKind kind = step.kind == diff::Step::Kind::Match    ? StepKind::Match
                        : step.kind == diff::Step::Kind::Insert ? StepKind::Insert
                                                                : StepKind::Delete;
        path.push_back({kind, step.baseline, step.candidate});
    }
    return path;
}

std::vector<FirstDivergence> ranked_divergences(const std::vector<Step>& path, const Responses& baseline,
                                                const Responses& candidate, size_t limit) {
    if (baseline.empty()) return {};
    std::vector<diff::Step> steps;
    steps.reserve(path.size());
    for (const Step& step : path) {
        diff::Step::Kind kind = step.kind == StepKind::Match    ? diff::Step::Kind::Match
                                : step.kind == StepKind::Insert ? diff::Step::Kind::Insert
                                                                : diff::Step::Kind::Delete;
        steps.push_back({kind, step.baseline, step.candidate});
    }
    auto found = diff::walk_collecting(steps, views_of(baseline), views_of(candidate), baseline.size() + candidate.size());
    std::stable_sort(found.begin(), found.end(), ranks_before);
    if (found.size() > limit) found.resize(limit);
    return found;
}

Recommendation recommendation_for(const FirstDivergence& divergence) { return diff::recommendation_for(divergence); }

std::vector<Recommendation> root_cause_hints(const std::vector<AxisStat>& rows) { return diff::root_cause_hints(rows); }

std::vector<AxisSamples> matched_samples(const std::vector<Step>& path, const Responses& baseline,
                                         const Responses& candidate, const PricingTable& pricing) {
    diff::Responses baseline_views = views_of(baseline), candidate_views = views_of(candidate);
    diff::Pairs pairs = matched_pairs(path, baseline_views, candidate_views);
    std::vector<AxisSamples> rows;
    rows.reserve(diff::AXIS_COUNT);
    rows.push_back(diff::semantic_samples(pairs));
    rows.push_back(diff::trajectory_samples(pairs));
    rows.push_back(diff::safety_samples(pairs));
    rows.push_back(diff::verbosity_samples(pairs));
    rows.push_back(diff::latency_samples(pairs));
    rows.push_back(diff::cost_samples(pairs, pricing));
    rows.push_back(diff::reasoning_samples(pairs));
    AxisSamples judge;
    judge.axis = Axis::Judge;
    rows.push_back(std::move(judge));
    rows.push_back(diff::conformance_samples(pairs));
    return rows;
}

AxisSamples matched_conformance(const std::vector<Step>& path, const Responses& baseline,
                                const Responses& candidate) {
    diff::Responses baseline_views = views_of(baseline), candidate_views = views_of(candidate);
    return diff::conformance_samples(matched_pairs(path, baseline_views, candidate_views));
}

std::vector<AxisStat> row_stats(const std::vector<AxisSamples>& rows, diff::Seed seed) {
    return diff::axis_stats(rows, seed);
}

double central(const std::vector<double>& values, Statistic statistic) {
    return statistic == Statistic::Mean ? diff::mean(values) : diff::median(values);
}

std::pair<double, double> delta_interval(const std::vector<double>& baseline, const std::vector<double>& candidate,
                                         Statistic statistic, diff::Seed seed) {
    return diff::bootstrap_delta_ci(baseline, candidate, statistic, seed);
}

std::vector<ToolUse> tool_uses(const Record& response) {
    std::vector<ToolUse> uses;
    for (const diff::ToolCall& call : diff::view_response(response).tool_calls)
        uses.push_back({std::string(call.name), call.input});
    return uses;
}

bool refuses(const Record& response) {
    diff::ResponseView view = diff::view_response(response);
    return view.stop_reason == "refusal" || diff::is_abstention_with(view);
}

bool truncated(const Record& response) {
    std::string_view reason = stop_reason_of(response);
    return reason == "max_tokens" || reason == "length";
}

std::string_view stop_reason_of(const Record& response) { return diff::view_response(response).stop_reason; }

std::string text_of(const Record& response) { return diff::view_response(response).text; }

std::vector<uint16_t> uniform_draws(const std::vector<uint16_t>& counts, size_t rounds, uint64_t seed) {
    std::vector<uint16_t> drawn;
    drawn.reserve(counts.size() * rounds);
    diff::ChaCha12 rng = diff::ChaCha12::from_u64(seed);
    for (size_t r = 0; r < rounds; ++r) {
        for (uint16_t count : counts) drawn.push_back(static_cast<uint16_t>(diff::draw_index(rng, count)));
    }
    return drawn;
}

std::string_view axis_name(Axis axis) { return diff::axis_name(axis); }
std::string_view divergence_kind_name(diff::DivergenceKind kind) { return diff::divergence_kind_name(kind); }
std::string_view axis_label(Axis axis) { return diff::axis_label(axis); }
std::string signed_three_decimals(double value) { return diff::signed_three_decimals(value); }

}  // namespace velkin::compare
