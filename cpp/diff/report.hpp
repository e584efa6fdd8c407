#pragma once
// The diff report and the records it is made of.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "agentlog/record.hpp"
#include "diff/axes.hpp"

namespace velkin::diff {

using agentlog::Record;
using Seed = std::optional<uint64_t>;

enum class DivergenceKind : uint8_t { StyleDrift, DecisionDrift, StructuralDrift };
std::string_view divergence_kind_name(DivergenceKind kind);

struct FirstDivergence {
    uint64_t baseline_turn = 0;
    uint64_t candidate_turn = 0;
    DivergenceKind kind = DivergenceKind::StructuralDrift;
    Axis primary_axis = Axis::Trajectory;
    std::string explanation;
    double confidence = 0.0;
};

struct AxisScore {
    Axis axis = Axis::Semantic;
    double baseline_value = 0.0;
    double candidate_value = 0.0;
    double delta = 0.0;
    double normalized_delta = 0.0;
};

struct PairDrilldown {
    uint64_t pair_index = 0;
    uint64_t baseline_turn = 0;
    uint64_t candidate_turn = 0;
    std::vector<AxisScore> axis_scores;
    double regression_score = 0.0;
    Axis dominant_axis = Axis::Conformance;
};

enum class RecommendationSeverity : uint8_t { Error, Warning, Info };
enum class Action : uint8_t { Restore, Remove, Revert, Review, Verify, RootCause };
std::string_view recommendation_severity_name(RecommendationSeverity severity);
std::string_view action_name(Action action);

struct Recommendation {
    RecommendationSeverity severity = RecommendationSeverity::Info;
    Action action = Action::Review;
    uint64_t turn = 0;
    uint64_t baseline_turn = 0;
    uint64_t candidate_turn = 0;
    std::string message;
    std::string rationale;
    Axis axis = Axis::Semantic;
    double confidence = 0.0;
};

struct DiffReport {
    std::vector<AxisStat> rows;
    std::string baseline_trace_id;
    std::string candidate_trace_id;
    uint64_t pair_count = 0;
    std::optional<FirstDivergence> first_divergence;
    std::vector<FirstDivergence> divergences;
    std::vector<Recommendation> recommendations;
    std::vector<PairDrilldown> drill_down;
};

}  // namespace velkin::diff
