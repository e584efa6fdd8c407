#pragma once
// Central values of an axis and the paired bootstrap of their difference;
// the resamples are drawn from the seedable generator in chacha.hpp.
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "diff/report.hpp"

namespace velkin::diff {

inline constexpr size_t BOOTSTRAP_RESAMPLES = 1000;

// Median of a sorted copy; 0.0 for no values.
double median(std::span<const double> values);
// Sum in index order divided by the count; 0.0 for no values.
double mean(std::span<const double> values);
// Linear interpolation at position (m - 1) * q of an ascending, non-empty list.
double percentile(std::span<const double> sorted, double q);

// The 95 % interval (low, high) of statistic(candidate) - statistic(baseline)
// over BOOTSTRAP_RESAMPLES paired resamples. Both lists hold the same number
// (at least one) of samples.
std::pair<double, double> bootstrap_delta_ci(std::span<const double> baseline, std::span<const double> candidate,
                                             Statistic statistic, Seed seed);

// Central values, interval, grade and flags of one row.
AxisStat axis_stat(const AxisSamples& samples, Seed seed);
// The same for several rows, in their order. With a seed every row starts
// from the same generator state, so rows of equal length draw the same
// indices and share one draw sequence.
std::vector<AxisStat> axis_stats(const std::vector<AxisSamples>& rows, Seed seed);

}  // namespace velkin::diff
