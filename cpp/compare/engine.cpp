#include "compare/engine.hpp"

#include <algorithm>
#include <array>
#include <cmath>

#include "diff/alignment.hpp"
#include "diff/bootstrap.hpp"
#include "diff/chacha.hpp"
#include "diff/conformance.hpp"
#include "diff/reasoning.hpp"
#include "diff/recommendations.hpp"
#include "diff/safety.hpp"
#include "diff/semantic.hpp"
#include "diff/trajectory.hpp"

namespace velkin::compare {

Turns turns_of(std::span<const Record> conversation) { return diff::select_responses(conversation); }

std::string trace_id_of(std::span<const Record> conversation) { return diff::trace_id_for(conversation); }

RunsRead read_runs(const std::vector<Turns>& runs) {
    RunsRead read;
    std::vector<const diff::ResponseView*> responses;
    for (const Turns& turns : runs) {
        read.turns.push_back(&turns);
        read.first_document.push_back(responses.size());
        for (const Turn& turn : turns) responses.push_back(&turn);
    }
    read.features = diff::turn_features(read.turns);
    read.conformance = diff::read_conformance(responses);
    read.terms = diff::response_terms(responses);
    return read;
}

namespace {

// Lends the features of runs a and b to the engine's view of one pair, and
// takes them back however the work ends.
class PairFeatures {
public:
    PairFeatures(RunsRead& runs, uint32_t a, uint32_t b) : runs_(runs), a_(a), b_(b) {
        turns_.baseline = std::move(runs.features.lists[a]);
        turns_.candidate = std::move(runs.features.lists[b]);
        turns_.distinct_shingles = runs.features.distinct_shingles;
    }
    ~PairFeatures() {
        runs_.features.lists[a_] = std::move(turns_.baseline);
        runs_.features.lists[b_] = std::move(turns_.candidate);
    }
    PairFeatures(const PairFeatures&) = delete;
    PairFeatures& operator=(const PairFeatures&) = delete;

    diff::AlignedTurns& turns() { return turns_; }

private:
    RunsRead& runs_;
    uint32_t a_, b_;
    diff::AlignedTurns turns_;
};

}  // namespace

void align_turns(RunsRead& runs, uint32_t a, uint32_t b, std::vector<Step>& path) {
    path.clear();
    if (runs.turns[a]->empty()) {
        for (uint64_t j = 0; j < runs.turns[b]->size(); ++j) path.push_back({StepKind::Insert, 0, j});
        return;
    }
    PairFeatures pair(runs, a, b);
    const std::vector<diff::Step> steps = diff::align(pair.turns());
    path.reserve(steps.size());
    for (const diff::Step& step : steps) {
        StepKind kind = step.kind == diff::Step::Kind::Match    ? StepKind::Match
                        : step.kind == diff::Step::Kind::Insert ? StepKind::Insert
                                                                : StepKind::Delete;
        path.push_back({kind, step.baseline, step.candidate});
    }
}

std::vector<FirstDivergence> ranked_divergences(const std::vector<Step>& path, RunsRead& runs, uint32_t a, uint32_t b,
                                                size_t limit) {
    const Turns& baseline = *runs.turns[a];
    const Turns& candidate = *runs.turns[b];
    if (baseline.empty()) return {};
    std::vector<diff::Step> steps;
    steps.reserve(path.size());
    for (const Step& step : path) {
        diff::Step::Kind kind = step.kind == StepKind::Match    ? diff::Step::Kind::Match
                                : step.kind == StepKind::Insert ? diff::Step::Kind::Insert
                                                                : diff::Step::Kind::Delete;
        steps.push_back({kind, step.baseline, step.candidate});
    }
    PairFeatures pair(runs, a, b);
    return diff::ranked_divergences(steps, pair.turns(), baseline, candidate, limit);
}

Recommendation recommendation_for(const FirstDivergence& divergence) { return diff::recommendation_for(divergence); }

std::vector<Recommendation> root_cause_hints(const std::vector<AxisStat>& rows) { return diff::root_cause_hints(rows); }

namespace {

// The pairs a row reads, kept per thread. Not inlined, so that a loop holds
// the address rather than asks the loader for it at every use.
struct MatchedPairs {
    std::vector<diff::DocumentPair> documents;
    std::vector<std::pair<size_t, size_t>> turns;
};

[[gnu::noinline]] MatchedPairs& matched_pairs() {
    thread_local MatchedPairs pairs;
    return pairs;
}

}  // namespace

AxisSamples matched_samples(Axis axis, const std::vector<Step>& path, const RunsRead& runs, uint32_t a, uint32_t b) {
    if (axis == Axis::Semantic) {
        std::vector<diff::DocumentPair>& pairs = matched_pairs().documents;
        pairs.clear();
        for (const Step& step : path) {
            if (step.kind == StepKind::Match)
                pairs.push_back({runs.first_document[a] + step.baseline, runs.first_document[b] + step.candidate});
        }
        return diff::semantic_samples(runs.terms, pairs);
    }
    if (axis != Axis::Conformance) throw Panic("not a row of turn pairs");
    std::vector<std::pair<size_t, size_t>>& pairs = matched_pairs().turns;
    pairs.clear();
    for (const Step& step : path) {
        if (step.kind == StepKind::Match)
            pairs.emplace_back(runs.first_document[a] + step.baseline, runs.first_document[b] + step.candidate);
    }
    return diff::conformance_samples(runs.conformance, pairs);
}

namespace {

// A row's sample of a pair reads each response of it alone, and keeps the
// pair where both responses have a value: each response's own value is what
// the row reads of it.
std::optional<double> own_value(Axis axis, const Turn& response, const PricingTable& pricing) {
    switch (axis) {
        case Axis::Safety: return diff::is_abstention_with(response) ? 1.0 : 0.0;
        case Axis::Verbosity: return diff::output_tokens_of(response);
        case Axis::Latency: return diff::latency_of(response);
        case Axis::Cost: return diff::cost_of(response, pricing);
        case Axis::Reasoning: return diff::reasoning_score(response);
        default: throw Panic("not a row of single turns");
    }
}

}  // namespace

void own_values(Axis axis, const Turns& responses, const PricingTable& pricing,
                std::vector<std::optional<double>>& values) {
    values.clear();
    values.reserve(responses.size());
    for (const Turn& response : responses) values.push_back(own_value(axis, response, pricing));
}

AxisSamples row_shape(Axis axis) {
    diff::Pairs none;
    switch (axis) {
        case Axis::Semantic: return diff::semantic_samples(none);
        case Axis::Trajectory: return diff::trajectory_samples(none);
        case Axis::Safety: return diff::safety_samples(none);
        case Axis::Verbosity: return diff::verbosity_samples(none);
        case Axis::Latency: return diff::latency_samples(none);
        case Axis::Cost: return diff::cost_samples(none, {});
        case Axis::Reasoning: return diff::reasoning_samples(none);
        case Axis::Judge: break;
        case Axis::Conformance: return diff::conformance_samples(none);
    }
    AxisSamples judge;
    judge.axis = Axis::Judge;
    return judge;
}

double trajectory_distance(const std::vector<std::string_view>& a, const std::vector<std::string_view>& b) {
    return diff::normalised_edit_distance(std::span(a), std::span(b));
}

bool priced(const Turn& response, const PricingTable& pricing) {
    return response.model && diff::lookup_with_snapshot_fallback(pricing, *response.model) != nullptr;
}

std::vector<AxisStat> row_stats(const std::vector<AxisSamples>& rows, diff::Seed seed) {
    return diff::axis_stats(rows, seed);
}

namespace {

// The order of the engine's median: ascending, NaN last, ties in input order.
bool sorts_before(double a, double b) { return a < b || (std::isnan(b) && !std::isnan(a)); }

// A pair's rows hold a handful of turns: their median is taken on the stack.
// A stable insertion sort puts ties where the engine's stable sort does, so
// the middle values, and their signs of zero, are the same.
constexpr size_t SMALL_MEDIAN = 32;

double small_median(const std::vector<double>& values) {
    std::array<double, SMALL_MEDIAN> sorted;
    size_t m = 0;
    for (double value : values) {
        size_t at = m++;
        for (; at > 0 && sorts_before(value, sorted[at - 1]); --at) sorted[at] = sorted[at - 1];
        sorted[at] = value;
    }
    if (m % 2 == 1) return sorted[m / 2];
    return (sorted[m / 2 - 1] + sorted[m / 2]) * 0.5;
}

}  // namespace

double central(const std::vector<double>& values, Statistic statistic) {
    if (statistic == Statistic::Mean) return diff::mean(values);
    if (!values.empty() && values.size() <= SMALL_MEDIAN) return small_median(values);
    return diff::median(values);
}

std::pair<double, double> delta_interval(const std::vector<double>& baseline, const std::vector<double>& candidate,
                                         Statistic statistic, diff::Seed seed) {
    return diff::bootstrap_delta_ci(baseline, candidate, statistic, seed);
}

std::vector<uint16_t> uniform_draws(const std::vector<uint16_t>& counts, size_t rounds, uint64_t seed) {
    std::vector<uint16_t> drawn(counts.size() * rounds);
    diff::ChaCha12 rng = diff::ChaCha12::from_u64(seed);
    // A run of equal counts is drawn in one fill, which takes the same words
    // and yields the same indices as drawing them one by one.
    std::vector<uint32_t> run;
    uint16_t* out = drawn.data();
    for (size_t r = 0; r < rounds; ++r) {
        for (size_t i = 0; i < counts.size();) {
            const uint16_t count = counts[i];
            if (count == 0) throw Panic("draw_index needs a non-empty range");
            size_t end = i + 1;
            while (end < counts.size() && counts[end] == count) ++end;
            run.resize(end - i);
            rng.fill_indices(count, run);
            out = std::copy(run.begin(), run.end(), out);
            i = end;
        }
    }
    return drawn;
}

bool refuses(const Turn& response, bool abstains) { return abstains || response.stop_reason == "refusal"; }

bool truncated(const Turn& response) {
    return response.stop_reason == "max_tokens" || response.stop_reason == "length";
}

std::string_view stop_reason_of(const Turn& response) { return response.stop_reason; }

std::string_view text_of(const Turn& response) { return response.text; }

std::string_view axis_name(Axis axis) { return diff::axis_name(axis); }
std::string_view divergence_kind_name(diff::DivergenceKind kind) { return diff::divergence_kind_name(kind); }
std::string_view axis_label(Axis axis) { return diff::axis_label(axis); }
std::string signed_three_decimals(double value) { return diff::signed_three_decimals(value); }

}  // namespace velkin::compare
