#pragma once
// The null distribution by relabelling, its p-values, and the correction for
// testing many signatures and axes at once.
#include <array>
#include <cstdint>
#include <span>
#include <vector>

namespace velkin::compare {

inline constexpr size_t RELABELLINGS = 1000;
// Family-wise error rate over every signature, axis and the outcome.
inline constexpr double FAMILY_ALPHA = 0.05;

// Relabelling `row`: for each conversation, which of its labellings it takes,
// drawn uniformly in conversation order. Each row has its own generator, keyed
// by the seed and the row number, so rows are drawn on any thread in any
// order and the draws depend on the seed and the counts alone.
std::vector<uint16_t> draw_relabelling(const std::vector<uint16_t>& labelling_counts, uint64_t seed, size_t row);

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

// Medians of many draws from one set of values without sorting values and
// without keeping the draws: the values are ranked once; a draw first counts
// its ranks by bucket (runs of neighbouring ranks), which tells the buckets
// holding its middle one or two, then counts the ranks of those buckets one
// by one. Buckets and runs are about the square root of the values in number,
// so both sets of counts stay small.
struct Levels {
    std::vector<double> values;  // distinct, ascending, NaN last
    unsigned shift = 0;          // a bucket holds the ranks equal above this bit

    size_t buckets() const { return (values.size() >> shift) + 1; }
    size_t bucket_size() const { return size_t{1} << shift; }
    size_t bucket(uint32_t rank) const { return rank >> shift; }
    size_t within(uint32_t rank) const { return rank & (bucket_size() - 1); }
};
Levels levels_of(std::vector<double> values);
// The rank of one of the values the levels were made of.
uint32_t rank_of(const Levels& levels, double value);

// Where the middle of `count` ranks lies, from their counts per bucket: the
// buckets of the lower and the upper middle rank (one bucket for an odd
// count) and how many ranks the buckets before each hold.
struct Middle {
    size_t count = 0;
    size_t low_bucket = 0, high_bucket = 0;
    size_t below_low = 0, below_high = 0;
};
Middle middle_of(std::span<const uint32_t> bucket_counts, size_t count);
// The median (the middle value, or the mean of the two middle ones), from
// the counts of each rank of the middle buckets: low[i] of rank i within the
// low bucket, high[i] within the high one (unread when they are the same).
double middle_median(const Middle& middle, std::span<const uint32_t> low, std::span<const uint32_t> high,
                     const Levels& levels);
// The median of `count` ranks from how many there are of each rank.
double rank_count_median(std::span<const uint32_t> rank_counts, size_t count, const Levels& levels);

}  // namespace velkin::compare
