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
#include "diff/axes.hpp"
#include "diff/cost.hpp"
#include "diff/report.hpp"
#include "diff/response.hpp"

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

Turns turns_of(const std::vector<Record>& conversation);
std::string trace_id_of(const std::vector<Record>& conversation);

// The engine's turn alignment of two response lists.
std::vector<Step> align_turns(const Turns& baseline, const Turns& candidate);
// Every divergence along the path, ranked as the single report ranks them, at most `limit`.
std::vector<FirstDivergence> ranked_divergences(const std::vector<Step>& path, const Turns& baseline,
                                                const Turns& candidate, size_t limit);
Recommendation recommendation_for(const FirstDivergence& divergence);
std::vector<Recommendation> root_cause_hints(const std::vector<AxisStat>& rows);

// The samples of a row that compares the two turns of a pair (semantic,
// trajectory, conformance), over the turns a path matched.
AxisSamples matched_samples(Axis axis, const std::vector<Step>& path, const Turns& baseline, const Turns& candidate);
// What a row that measures each side on its own (safety, verbosity, latency,
// cost, reasoning) takes from one response, or nothing when the row skips it.
std::optional<double> own_value(Axis axis, const Turn& response, const PricingTable& pricing);
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

// Reading a response: its tool calls, refusal and truncation.
struct ToolUse {
    std::string_view name;    // "_" when absent
    const json::Value* input;
};
std::vector<ToolUse> tool_uses(const Turn& response);
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
