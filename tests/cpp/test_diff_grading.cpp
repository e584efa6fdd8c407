// Severity grades and flags of the two AxisStat constructors, for intervals
// that a report cannot be steered into from Python.
#include <cstdio>
#include <limits>
#include <vector>

#include "check.hpp"
#include "diff/axes.hpp"

using namespace velkin::diff;

namespace {

const double NaN = std::numeric_limits<double>::quiet_NaN();
const double INF = std::numeric_limits<double>::infinity();
constexpr Flag LOW = Flag::LowPower, CROSS = Flag::CiCrossesZero;

struct GradeCase {
    bool rate;
    uint64_t n;
    double baseline, delta, low, high;
    Severity severity;
    std::vector<Flag> flags;
};

}  // namespace

TEST(grades_and_flags) {
    using enum Severity;
    const std::vector<GradeCase> cases = {
        // Rate: |delta| against 0.05 and 0.15; the baseline plays no part.
        {true, 10, 0.0, 0.2, 0.1, 0.3, Severe, {}},
        {true, 10, 0.9, 0.04, 0.01, 0.06, Minor, {}},
        {true, 10, 0.0, 0.05, 0.01, 0.06, Moderate, {}},
        {true, 10, 0.0, -0.15, -0.2, -0.1, Severe, {}},
        {true, 10, 0.0, 1e-9, 0.0, 0.0, Minor, {}},
        {true, 10, 0.0, 0.9e-9, 0.0, 0.0, None, {}},
        {true, 10, 0.0, 0.1, -0.02, 0.3, Minor, {CROSS}},    // crosses zero, wider than the delta
        {true, 10, 0.0, 0.2, -0.01, 0.15, Severe, {CROSS}},  // narrower: the grade stands
        {true, 10, 0.0, 0.1, -1e-9, 0.3, Moderate, {}},      // an end at EPS does not cross
        {true, 10, 0.0, 0.1, -0.3, 1e-9, Moderate, {}},
        {true, 10, 0.0, NaN, 0.1, 0.3, None, {}},
        {true, 10, 0.0, 0.2, -INF, 0.3, None, {}},
        {true, 10, 0.0, 0.2, 0.1, NaN, None, {}},
        // Value: |delta / baseline| against 0.1 and 0.3, with the dead zone.
        {false, 10, 100.0, 4.0, -1.0, 9.0, None, {CROSS}},
        {false, 10, 100.0, 4.0, -1e-9, 9.0, Minor, {}},
        {false, 10, 0.0, 3.0, 2.0, 4.0, Minor, {}},
        {false, 10, 0.0, 3.0, -1.0, 4.0, Minor, {CROSS}},
        {false, 10, 10.0, 2.0, 1.0, 3.0, Moderate, {}},
        {false, 10, 10.0, 0.5, 0.4, 0.6, Minor, {}},
        {false, 10, 10.0, -3.0, -4.0, -2.0, Severe, {}},
        {false, 10, 10.0, 3.0, -1.0, 6.0, Minor, {CROSS}},
        {false, 10, 10.0, 3.0, -1.0, 2.0, Severe, {CROSS}},
        {false, 10, NaN, 3.0, 2.0, 4.0, None, {}},
        {false, 10, 10.0, INF, 2.0, 4.0, None, {}},
        {false, 10, 10.0, 3.0, 2.0, INF, None, {}},
        // low_power for 1 to 4 samples, before ci_crosses_zero.
        {true, 1, 0.0, 0.2, 0.1, 0.3, Severe, {LOW}},
        {true, 4, 0.0, 0.2, 0.1, 0.3, Severe, {LOW}},
        {true, 5, 0.0, 0.2, 0.1, 0.3, Severe, {}},
        {false, 0, 1.0, 0.2, 0.1, 0.3, Moderate, {}},
        {false, 2, 100.0, 4.0, -1.0, 9.0, None, {LOW, CROSS}},
    };
    for (size_t k = 0; k < cases.size(); ++k) {
        const GradeCase& c = cases[k];
        auto construct = c.rate ? AxisStat::new_rate : AxisStat::new_value;
        AxisStat stat = construct(Axis::Cost, c.n, c.baseline, c.baseline + c.delta, c.delta, c.low, c.high);
        if (stat.severity != c.severity || stat.flags != c.flags) std::fprintf(stderr, "case %zu\n", k);
        CHECK(stat.severity == c.severity && stat.flags == c.flags);
    }
}
