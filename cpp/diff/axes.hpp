#pragma once
// The per-axis statistic of the report, its grading rules, and the paired
// samples every axis gathers for it.
#include <cstdint>
#include <string_view>
#include <vector>

namespace velkin::diff {

enum class Axis : uint8_t { Semantic, Trajectory, Safety, Verbosity, Latency, Cost, Reasoning, Judge, Conformance };
inline constexpr size_t AXIS_COUNT = 9;

enum class Severity : uint8_t { None, Minor, Moderate, Severe };
enum class Flag : uint8_t { LowPower, CiCrossesZero, NoPricing };

std::string_view axis_name(Axis axis);   // "semantic", ...
std::string_view axis_label(Axis axis);  // "semantic similarity", ...
std::string_view severity_name(Severity severity);
std::string_view flag_name(Flag flag);

struct AxisStat {
    Axis axis = Axis::Semantic;
    double baseline_median = 0.0;
    double candidate_median = 0.0;
    double delta = 0.0;
    double ci95_low = 0.0;
    double ci95_high = 0.0;
    Severity severity = Severity::None;
    uint64_t n = 0;
    std::vector<Flag> flags;

    static AxisStat new_rate(Axis axis, uint64_t n, double baseline_median, double candidate_median, double delta,
                             double ci95_low, double ci95_high);
    static AxisStat new_value(Axis axis, uint64_t n, double baseline_median, double candidate_median, double delta,
                              double ci95_low, double ci95_high);
    static AxisStat empty(Axis axis);
};

enum class Statistic : uint8_t { Median, Mean };

enum class Grading : uint8_t { Rate, Value };

// The paired samples of one row before its statistic is built: sample i of
// each side comes from pair i. No samples make the empty row.
struct AxisSamples {
    Axis axis = Axis::Semantic;
    Statistic statistic = Statistic::Median;
    Grading grading = Grading::Value;
    std::vector<double> baseline;
    std::vector<double> candidate;
    bool no_pricing = false;  // appended after the grading flags
};

}  // namespace velkin::diff
