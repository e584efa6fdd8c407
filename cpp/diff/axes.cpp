#include "diff/axes.hpp"

#include <algorithm>
#include <cmath>

#include "platform/result.hpp"

namespace velkin::diff {

namespace {

constexpr double EPS = 1e-9;
constexpr double RATE_MINOR_BELOW = 0.05;
constexpr double RATE_MODERATE_BELOW = 0.15;
constexpr double VALUE_MINOR_BELOW = 0.1;
constexpr double VALUE_MODERATE_BELOW = 0.3;
constexpr double VALUE_DEAD_ZONE = 0.05;

bool crosses_zero(double lo, double hi) { return lo < -EPS && hi > EPS; }

// A grade above minor drops to minor when the interval crosses zero and is
// wider than the delta itself.
Severity soften_for_wide_interval(Severity grade, double d, double lo, double hi) {
    if (grade <= Severity::Minor || !crosses_zero(lo, hi)) return grade;
    double width = std::fabs(hi - lo);
    if (std::fabs(d) < width && width >= EPS) return Severity::Minor;
    return grade;
}

Severity rate_severity(double d, double lo, double hi) {
    if (!std::isfinite(lo) || std::fabs(d) < EPS || !std::isfinite(d) || !std::isfinite(hi)) return Severity::None;
    double magnitude = std::fabs(d);
    Severity grade = magnitude < RATE_MINOR_BELOW      ? Severity::Minor
                     : magnitude < RATE_MODERATE_BELOW ? Severity::Moderate
                                                       : Severity::Severe;
    return soften_for_wide_interval(grade, d, lo, hi);
}

Severity value_severity(double b, double d, double lo, double hi) {
    if (!std::isfinite(d) || std::fabs(d) < EPS || !std::isfinite(b) || !std::isfinite(lo) || !std::isfinite(hi))
        return Severity::None;
    if (crosses_zero(lo, hi) && std::fabs(d) < std::max(VALUE_DEAD_ZONE * std::fabs(b), EPS)) return Severity::None;
    if (std::fabs(b) < EPS) return Severity::Minor;
    double relative = std::fabs(d / b);
    Severity grade = relative < VALUE_MINOR_BELOW      ? Severity::Minor
                     : relative < VALUE_MODERATE_BELOW ? Severity::Moderate
                                                       : Severity::Severe;
    return soften_for_wide_interval(grade, d, lo, hi);
}

std::vector<Flag> interval_flags(uint64_t n, double lo, double hi) {
    std::vector<Flag> flags;
    if (n >= 1 && n <= 4) flags.push_back(Flag::LowPower);
    if (std::isfinite(lo) && std::isfinite(hi) && crosses_zero(lo, hi)) flags.push_back(Flag::CiCrossesZero);
    return flags;
}

AxisStat graded(Axis axis, uint64_t n, double baseline_median, double candidate_median, double delta, double ci95_low,
                double ci95_high, Severity severity) {
    return AxisStat{axis,
                    baseline_median,
                    candidate_median,
                    delta,
                    ci95_low,
                    ci95_high,
                    severity,
                    n,
                    interval_flags(n, ci95_low, ci95_high)};
}

}  // namespace

std::string_view axis_name(Axis axis) {
    switch (axis) {
        case Axis::Semantic: return "semantic";
        case Axis::Trajectory: return "trajectory";
        case Axis::Safety: return "safety";
        case Axis::Verbosity: return "verbosity";
        case Axis::Latency: return "latency";
        case Axis::Cost: return "cost";
        case Axis::Reasoning: return "reasoning";
        case Axis::Judge: return "judge";
        case Axis::Conformance: return "conformance";
    }
    throw Panic("unknown axis");
}

std::string_view axis_label(Axis axis) {
    switch (axis) {
        case Axis::Semantic: return "semantic similarity";
        case Axis::Trajectory: return "tool-call trajectory";
        case Axis::Safety: return "refusal / safety";
        case Axis::Verbosity: return "verbosity";
        case Axis::Latency: return "latency";
        case Axis::Cost: return "cost";
        case Axis::Reasoning: return "reasoning depth";
        case Axis::Judge: return "llm-judge score";
        case Axis::Conformance: return "format conformance";
    }
    throw Panic("unknown axis");
}

std::string_view severity_name(Severity severity) {
    switch (severity) {
        case Severity::None: return "none";
        case Severity::Minor: return "minor";
        case Severity::Moderate: return "moderate";
        case Severity::Severe: return "severe";
    }
    throw Panic("unknown severity");
}

std::string_view flag_name(Flag flag) {
    switch (flag) {
        case Flag::LowPower: return "low_power";
        case Flag::CiCrossesZero: return "ci_crosses_zero";
        case Flag::NoPricing: return "no_pricing";
    }
    throw Panic("unknown flag");
}

AxisStat AxisStat::new_rate(Axis axis, uint64_t n, double baseline_median, double candidate_median, double delta,
                            double ci95_low, double ci95_high) {
    return graded(axis, n, baseline_median, candidate_median, delta, ci95_low, ci95_high,
                  rate_severity(delta, ci95_low, ci95_high));
}

AxisStat AxisStat::new_value(Axis axis, uint64_t n, double baseline_median, double candidate_median, double delta,
                             double ci95_low, double ci95_high) {
    return graded(axis, n, baseline_median, candidate_median, delta, ci95_low, ci95_high,
                  value_severity(baseline_median, delta, ci95_low, ci95_high));
}

AxisStat AxisStat::empty(Axis axis) {
    AxisStat stat;
    stat.axis = axis;
    return stat;
}

}  // namespace velkin::diff
