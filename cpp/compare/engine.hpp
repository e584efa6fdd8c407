#pragma once
// What run comparison takes from the single-trace engine. Every call into
// cpp/diff goes through this file, so the engine can change shape beneath it.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "agentlog/record.hpp"
#include "diff/alignment.hpp"
#include "diff/axes.hpp"
#include "diff/conformance.hpp"
#include "diff/cost.hpp"
#include "diff/report.hpp"
#include "diff/response.hpp"
#include "diff/semantic.hpp"

namespace velkin::compare {

using agentlog::Record;
using diff::Axis;
using diff::AxisSamples;
using diff::AxisStat;
using diff::FirstDivergence;
using diff::PricingTable;
using diff::Recommendation;
using diff::RecommendationSeverity;
using diff::Severity;
using diff::Statistic;

// One response, read once for every comparison it takes part in.
using Turn = diff::ResponseView;
// The responses of one run of a conversation, in order.
using Turns = diff::Responses;

enum class StepKind : uint8_t { Match, Insert, Delete };
struct Step {
    StepKind kind;
    uint64_t baseline;   // turn of a Match or Delete
    uint64_t candidate;  // turn of a Match or Insert
};

Turns turns_of(std::span<const Record> conversation);
std::string trace_id_of(std::span<const Record> conversation);

// What every comparison of two runs of one conversation reads of each run's
// turns: the alignment's turn features and the semantic row's terms, built
// once per run and shared by every pair of runs. Refers to the turns, which
// must outlive it.
struct RunsRead {
    std::vector<const Turns*> turns;
    diff::TurnFeatureSets features;
    diff::ResponseTerms terms;
    std::vector<size_t> first_document;  // per run: the terms' index of its first turn
    diff::ConformanceReads conformance;  // per turn, indexed like the terms
};
RunsRead read_runs(const std::vector<Turns>& runs);

// The engine's turn alignment of run a (baseline side) with run b, into `path`.
void align_turns(RunsRead& runs, uint32_t a, uint32_t b, std::vector<Step>& path);
// Every divergence along the path, ranked as the single report ranks them, at most `limit`.
std::vector<FirstDivergence> ranked_divergences(const std::vector<Step>& path, RunsRead& runs, uint32_t a, uint32_t b,
                                                size_t limit);
Recommendation recommendation_for(const FirstDivergence& divergence);
std::vector<Recommendation> root_cause_hints(const std::vector<AxisStat>& rows);

// The samples of a row that compares the two turns of a pair (semantic,
// conformance), over the turns a path matched.
AxisSamples matched_samples(Axis axis, const std::vector<Step>& path, const RunsRead& runs, uint32_t a, uint32_t b);
// What a row that measures each side on its own (safety, verbosity, latency,
// cost, reasoning) takes from each response, or nothing where the row skips it, into `values`.
void own_values(Axis axis, const Turns& responses, const PricingTable& pricing,
                std::vector<std::optional<double>>& values);
// The trajectory row's distance of two call sequences: edit distance over the longer, 0.0 for two empty ones.
double trajectory_distance(const std::vector<std::string_view>& a, const std::vector<std::string_view>& b);
// The table prices the response's model (directly or by its undated name).
bool priced(const Turn& response, const PricingTable& pricing);
// A row without samples: its axis, statistic and grading.
AxisSamples row_shape(Axis axis);

// Central values, intervals, grades and flags, exactly as the single report builds its rows.
std::vector<AxisStat> row_stats(const std::vector<AxisSamples>& rows, diff::Seed seed);
double central(const std::vector<double>& values, Statistic statistic);
std::pair<double, double> delta_interval(const std::vector<double>& baseline, const std::vector<double>& candidate,
                                         Statistic statistic, diff::Seed seed);
// `rounds` rows of one uniform index below counts[i] per entry, drawn in row
// order from the bootstrap's generator seeded with `seed`.
std::vector<uint16_t> uniform_draws(const std::vector<uint16_t>& counts, size_t rounds, uint64_t seed);

// Reading a response: its refusal and truncation.
// A refusal: the safety row's abstention (given), or a "refusal" stop reason.
bool refuses(const Turn& response, bool abstains);
bool truncated(const Turn& response);
std::string_view stop_reason_of(const Turn& response);
std::string_view text_of(const Turn& response);

std::string_view axis_name(Axis axis);
std::string_view divergence_kind_name(diff::DivergenceKind kind);
std::string_view axis_label(Axis axis);
std::string signed_three_decimals(double value);

}  // namespace velkin::compare
