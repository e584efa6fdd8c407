#pragma once
// Central values of an axis and the paired bootstrap of their difference,
// with the seedable ChaCha12 generator that makes every interval reproducible.
#include <array>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "diff/report.hpp"

namespace velkin::diff {

inline constexpr size_t BOOTSTRAP_RESAMPLES = 1000;

enum class Statistic : uint8_t { Median, Mean };

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

// Central values, interval, grade and flags of one row.
AxisStat axis_stat(const AxisSamples& samples, Seed seed);
// The same for several rows, in their order. With a seed every row starts
// from the same generator state, so rows of equal length draw the same
// indices and share one draw sequence.
std::vector<AxisStat> axis_stats(const std::vector<AxisSamples>& rows, Seed seed);

using SeedBytes = std::array<uint8_t, 32>;

// The 32-byte key a 64-bit seed expands to (PCG32, one 32-bit word at a time).
SeedBytes expand_seed(uint64_t seed);

// ChaCha with 12 rounds as a stream of 32-bit words: key = the seed bytes,
// stream 0, block counter from 0, four blocks buffered at a time.
class ChaCha12 {
public:
    static constexpr size_t BUFFER_WORDS = 64;

    explicit ChaCha12(const SeedBytes& seed);
    static ChaCha12 from_u64(uint64_t seed);
    // Seeded from the operating system; throws Panic "from_entropy failed: {error}".
    static ChaCha12 from_entropy();

    uint32_t next_u32() {
        if (index_ == BUFFER_WORDS) refill();
        return buffer_[index_++];
    }
    // Two consecutive words, the first as the low half.
    uint64_t next_u64() {
        uint64_t low = next_u32();
        uint64_t high = next_u32();
        return (high << 32) | low;
    }

    // Fills `out` with uniform indices in [0, n) for 1 <= n <= 2^32 - 1,
    // consuming exactly the words that as many draw_index calls would.
    void fill_indices(uint32_t n, std::span<uint32_t> out);

private:
    void refill();

    std::array<uint32_t, 8> key_;
    uint64_t counter_ = 0;
    size_t index_ = BUFFER_WORDS;
    std::array<uint32_t, BUFFER_WORDS> buffer_{};
};

// Uniform index in [0, n), n >= 1: widening multiply with rejection, in 32
// bits while n fits in 32 bits, else in 64 bits.
uint64_t draw_index(ChaCha12& rng, uint64_t n);

}  // namespace velkin::diff
