// Severity grades and flags of the two AxisStat constructors, for intervals
// that a report cannot be steered into from Python.
#include <cmath>
#include <limits>
#include <vector>

#include "check.hpp"
#include "diff/axes.hpp"

using namespace velkin::diff;

namespace {

const double NaN = std::numeric_limits<double>::quiet_NaN();
const double INF = std::numeric_limits<double>::infinity();

AxisStat rate(uint64_t n, double d, double lo, double hi) { return AxisStat::new_rate(Axis::Safety, n, 0.0, d, d, lo, hi); }
AxisStat value(uint64_t n, double b, double d, double lo, double hi) {
    return AxisStat::new_value(Axis::Latency, n, b, b + d, d, lo, hi);
}

}  // namespace

TEST(rate_grades) {
    CHECK(rate(10, 0.2, 0.1, 0.3).severity == Severity::Severe);
    CHECK(rate(10, 0.2, 0.1, 0.3).flags.empty());
    CHECK(rate(10, 0.04, 0.01, 0.06).severity == Severity::Minor);
    CHECK(rate(10, 0.05, 0.01, 0.06).severity == Severity::Moderate);
    CHECK(rate(10, -0.15, -0.2, -0.1).severity == Severity::Severe);
    CHECK(rate(10, 1e-9, 0.0, 0.0).severity == Severity::Minor);
    CHECK(rate(10, 0.9e-9, 0.0, 0.0).severity == Severity::None);
}

TEST(rate_interval_crossing_zero_softens) {
    AxisStat stat = rate(10, 0.1, -0.02, 0.3);
    CHECK(stat.severity == Severity::Minor);
    CHECK(stat.flags == std::vector<Flag>{Flag::CiCrossesZero});
    // Narrower than the delta: the grade stands.
    CHECK(rate(10, 0.2, -0.01, 0.15).severity == Severity::Severe);
}

TEST(rate_non_finite_is_none) {
    CHECK(rate(10, NaN, 0.1, 0.3).severity == Severity::None);
    CHECK(rate(10, 0.2, -INF, 0.3).severity == Severity::None);
    CHECK(rate(10, 0.2, 0.1, NaN).severity == Severity::None);
    CHECK(rate(10, 0.2, -INF, 0.3).flags.empty());
}

TEST(value_grades) {
    AxisStat dead_zone = value(10, 100.0, 4.0, -1.0, 9.0);
    CHECK(dead_zone.severity == Severity::None);
    CHECK(dead_zone.flags == std::vector<Flag>{Flag::CiCrossesZero});
    CHECK(value(10, 0.0, 3.0, 2.0, 4.0).severity == Severity::Minor);
    CHECK(value(10, 10.0, 2.0, 1.0, 3.0).severity == Severity::Moderate);
    CHECK(value(10, 10.0, 0.5, 0.4, 0.6).severity == Severity::Minor);
    CHECK(value(10, 10.0, -3.0, -4.0, -2.0).severity == Severity::Severe);
    // Crossing zero outside the dead zone, interval wider than the delta.
    CHECK(value(10, 10.0, 3.0, -1.0, 6.0).severity == Severity::Minor);
    CHECK(value(10, NaN, 3.0, 2.0, 4.0).severity == Severity::None);
    CHECK(value(10, 10.0, INF, 2.0, 4.0).severity == Severity::None);
}

TEST(interval_ends_at_eps_do_not_cross_zero) {
    CHECK(rate(10, 0.1, -1e-9, 0.3).flags.empty());
    CHECK(rate(10, 0.1, -0.3, 1e-9).flags.empty());
    CHECK(value(10, 100.0, 4.0, -1e-9, 9.0).severity == Severity::Minor);
}

TEST(low_power_for_one_to_four_samples) {
    CHECK(rate(1, 0.2, 0.1, 0.3).flags == std::vector<Flag>{Flag::LowPower});
    CHECK(rate(4, 0.2, 0.1, 0.3).flags == std::vector<Flag>{Flag::LowPower});
    CHECK(rate(5, 0.2, 0.1, 0.3).flags.empty());
    CHECK(value(0, 1.0, 0.2, 0.1, 0.3).flags.empty());
    CHECK((value(2, 100.0, 4.0, -1.0, 9.0).flags == std::vector<Flag>{Flag::LowPower, Flag::CiCrossesZero}));
}

TEST(empty_statistic) {
    AxisStat stat = AxisStat::empty(Axis::Judge);
    CHECK(stat.axis == Axis::Judge);
    CHECK(stat.n == 0 && stat.severity == Severity::None && stat.flags.empty());
    CHECK(stat.baseline_median == 0.0 && stat.candidate_median == 0.0 && stat.delta == 0.0);
    CHECK(stat.ci95_low == 0.0 && stat.ci95_high == 0.0);
}
