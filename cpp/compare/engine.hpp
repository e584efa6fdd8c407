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
#include "diff/bootstrap.hpp"
#include "diff/cost.hpp"
#include "diff/report.hpp"

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
using Responses = std::vector<const Record*>;

enum class StepKind : uint8_t { Match, Insert, Delete };
struct Step {
    StepKind kind;
    uint64_t baseline;   // turn of a Match or Delete
    uint64_t candidate;  // turn of a Match or Insert
};

Responses responses_of(const std::vector<Record>& conversation);
std::string trace_id_of(const std::vector<Record>& conversation);

// The engine's turn alignment of two response lists.
std::vector<Step> align_turns(const Responses& baseline, const Responses& candidate);
// Every divergence along the path, ranked as the single report ranks them, at most `limit`.
std::vector<FirstDivergence> ranked_divergences(const std::vector<Step>& path, const Responses& baseline,
                                                const Responses& candidate, size_t limit);
Recommendation recommendation_for(const FirstDivergence& divergence);
std::vector<Recommendation> root_cause_hints(const std::vector<AxisStat>& rows);

// The nine rows' samples (judge without samples) over the turns a path matched.
std::vector<AxisSamples> matched_samples(const std::vector<Step>& path, const Responses& baseline,
                                         const Responses& candidate, const PricingTable& pricing);
// The conformance row alone: the only row that changes when the two sides swap roles
// beyond swapping its samples.
AxisSamples matched_conformance(const std::vector<Step>& path, const Responses& baseline,
                                const Responses& candidate);

// Central values, intervals, grades and flags, exactly as the single report builds its rows.
std::vector<AxisStat> row_stats(const std::vector<AxisSamples>& rows, diff::Seed seed);
double central(const std::vector<double>& values, Statistic statistic);
std::pair<double, double> delta_interval(const std::vector<double>& baseline, const std::vector<double>& candidate,
                                         Statistic statistic, diff::Seed seed);
// `rounds` rows of one uniform index below counts[i] per entry, drawn in row
// order from the bootstrap's generator seeded with `seed`.
std::vector<uint16_t> uniform_draws(const std::vector<uint16_t>& counts, size_t rounds, uint64_t seed);

// Reading a response: its tool_use blocks, refusal and truncation.
struct ToolUse {
    std::string name;            // "_" when absent
    const json::Value* input;    // a null value when absent
};
std::vector<ToolUse> tool_uses(const Record& response);
bool refuses(const Record& response);
bool truncated(const Record& response);
std::string_view stop_reason_of(const Record& response);
std::string text_of(const Record& response);

std::string_view axis_name(Axis axis);
std::string_view divergence_kind_name(diff::DivergenceKind kind);
std::string_view axis_label(Axis axis);
std::string signed_three_decimals(double value);

}  // namespace velkin::compare
