#pragma once
// The null distribution by relabelling, its p-values, and the correction for
// testing many signatures and axes at once.
#include <cstdint>
#include <span>
#include <vector>

namespace velkin::compare {

inline constexpr size_t RELABELLINGS = 1000;
// Family-wise error rate over every signature, axis and the outcome.
inline constexpr double FAMILY_ALPHA = 0.05;

// Row r, column i: which of conversation i's labellings relabelling r takes,
// drawn uniformly. Rows are drawn in order from one generator seeded like the
// bootstrap, so they depend on the seed and the counts alone.
struct Relabellings {
    size_t conversations = 0;
    std::vector<uint16_t> choice;  // RELABELLINGS rows of `conversations` entries

    uint16_t at(size_t r, size_t i) const { return choice[r * conversations + i]; }
};
Relabellings draw_relabellings(const std::vector<uint16_t>& labelling_counts, uint64_t seed);

enum class Tail : uint8_t { Greater, Less, Both };

// Every test's observed statistic and its values under the same relabellings
// (null[t][r]). A p-value is the share of statistics at least as extreme as
// the observed one among the observed and the relabelled ones; "Both"
// measures the distance from zero, where every relabelled statistic here is
// centred under no change. The family is corrected by the Westfall–Young
// step-down minP procedure, which controls the family-wise error rate like
// Holm's but on the joint relabelling distribution, so tests that cannot reach
// small p-values (a signature nobody shows) cost the others nothing.
class Calibration {
public:
    Calibration(const std::vector<double>& observed, const std::vector<std::vector<double>>& null,
                const std::vector<Tail>& tails);

    double raw(size_t test) const { return raw_[test]; }
    double adjusted(size_t test) const { return adjusted_[test]; }
    // The family-wise p-value that another value of a test's statistic would
    // have, by the single-step minP bound (never below the test's own).
    double adjusted_for(size_t test, double value) const;

private:
    double share_at_least(size_t test, double value) const;

    std::vector<Tail> tails_;
    std::vector<std::vector<double>> sorted_;  // per test: extremeness of every statistic, ascending
    std::vector<double> family_minimum_;       // per statistic: its smallest p-value over all tests
    std::vector<double> raw_, adjusted_;
};

// Median by selection: the same value as the report's median, without a full sort,
// for the thousands of statistics the relabelling computes.
double selected_median(std::vector<double>& values);

}  // namespace velkin::compare
