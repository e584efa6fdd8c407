#include "diff/bootstrap.hpp"

#include <algorithm>
#include <cmath>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "diff/chacha.hpp"
#include "platform/result.hpp"

namespace velkin::diff {

namespace {

// a < b for numbers; NaN sorts after every number and equal to another NaN,
// so sorting stays well defined on any input.
bool sorts_before(double a, double b) { return a < b || (std::isnan(b) && !std::isnan(a)); }

void sort_ascending(std::vector<double>& values) { std::stable_sort(values.begin(), values.end(), sorts_before); }

double median_of_sorted(const std::vector<double>& sorted) {
    size_t m = sorted.size();
    if (m % 2 == 1) return sorted[m / 2];
    return (sorted[m / 2 - 1] + sorted[m / 2]) * 0.5;
}

// --- bootstrap --------------------------------------------------------------

// A side of a median bootstrap whose walks start at its pivot rather than at
// its smallest sample (see RankedSide): its number among the pivoted sides of
// one draw sequence.
inline constexpr size_t NO_PIVOT = SIZE_MAX;

// How often each sample was drawn in the current resample, and how many
// draws fell below each pivoted side's pivot: counted once per resample and
// read by every side of every row drawing those indices.
struct Multiplicities {
    // Sixteen sides to a word, four bits apart: per sample, bit 4s of word
    // s / 16 set when the sample lies below the pivot of side s. Adding the
    // words of the drawn samples counts the draws below each pivot in a
    // four-bit field, emptied into byte fields every 15 draws and those into
    // whole counters every 255, before any can overflow.
    static constexpr size_t SIDES_PER_WORD = 16;
    static constexpr uint64_t LOW_NIBBLES = 0x0F0F0F0F0F0F0F0Full;

    std::vector<uint32_t> counts;
    std::vector<uint64_t> below_pivot;  // per pivoted side
    std::vector<uint64_t> pivot_bits;   // per sample, `words` words
    size_t words = 0;
    size_t pivoted = 0;

    // Marks `below`, the samples ahead of a side's pivot, and returns the side's slot.
    size_t add_pivot(size_t samples, std::span<const uint32_t> below) {
        const size_t slot = pivoted++;
        if (slot / SIDES_PER_WORD >= words) {
            std::vector<uint64_t> wider(samples * (words + 1), 0);
            for (size_t i = 0; i < samples; ++i)
                for (size_t w = 0; w < words; ++w) wider[i * (words + 1) + w] = pivot_bits[i * words + w];
            pivot_bits = std::move(wider);
            ++words;
            below_pivot.assign(words * SIDES_PER_WORD, 0);
        }
        const uint64_t bit = uint64_t{1} << (4 * (slot % SIDES_PER_WORD));
        for (uint32_t i : below) pivot_bits[i * words + slot / SIDES_PER_WORD] |= bit;
        return slot;
    }

    void count(const std::vector<uint32_t>& drawn) {
        counts.assign(drawn.size(), 0);
        if (words == 0) {
            for (uint32_t i : drawn) ++counts[i];
            return;
        }
        // The first word's pass also counts the draws.
        count_below<true>(drawn, 0);
        for (size_t w = 1; w < words; ++w) count_below<false>(drawn, w);
    }

    template <bool COUNT_DRAWS>
    void count_below(const std::vector<uint32_t>& drawn, size_t word) {
        const uint64_t* bits = pivot_bits.data() + word;
        uint64_t* below = below_pivot.data() + word * SIDES_PER_WORD;
        std::fill(below, below + SIDES_PER_WORD, 0);
        for (size_t j = 0; j < drawn.size();) {
            uint64_t even = 0, odd = 0;  // byte fields of the even and the odd sides
            for (size_t round = 0; round < 17 && j < drawn.size(); ++round) {
                uint64_t nibbles = 0;
                for (const size_t end = std::min(drawn.size(), j + 15); j < end; ++j) {
                    nibbles += bits[drawn[j] * words];
                    if constexpr (COUNT_DRAWS) ++counts[drawn[j]];
                }
                even += nibbles & LOW_NIBBLES;
                odd += (nibbles >> 4) & LOW_NIBBLES;
            }
            for (size_t b = 0; b < 8; ++b) {
                below[2 * b] += (even >> (8 * b)) & 0xFF;
                below[2 * b + 1] += (odd >> (8 * b)) & 0xFF;
            }
        }
    }
};

// One side of a median bootstrap: its samples in sorted order, so that the
// element at a position of a sorted resample is found by adding up how often
// each sample was drawn. Values that compare equal are bit-identical except
// the two zeros (resolved in draw order, as the stable sort would leave them)
// and NaNs (interchangeable).
struct RankedSide {
    static constexpr size_t WALK_BLOCK = 8;

    std::span<const double> samples;
    std::vector<uint32_t> order;  // sample indices, values ascending
    // The sorted positions holding zeros, when both zeros occur.
    size_t zeros_begin = SIZE_MAX, zeros_end = SIZE_MAX;
    bool constant = false;  // every sample has the same bits: each resample is the same multiset
    // A resample's median lies near the samples' own, so a walk may start at
    // the sorted position of that median, knowing how many draws fell below
    // it, and step back or on from there. Not with both zeros, whose order
    // the walk from the start resolves.
    size_t pivot = 0;
    size_t pivot_slot = NO_PIVOT;

    explicit RankedSide(std::span<const double> side) : samples(side), order(side.size()) {
        for (uint32_t i = 0; i < order.size(); ++i) order[i] = i;
        std::stable_sort(order.begin(), order.end(),
                         [&](uint32_t a, uint32_t b) { return sorts_before(side[a], side[b]); });
        bool negative_zero = false, positive_zero = false;
        for (size_t k = 0; k < order.size(); ++k) {
            double v = side[order[k]];
            if (v != 0.0) continue;
            (std::signbit(v) ? negative_zero : positive_zero) = true;
            if (zeros_begin == SIZE_MAX) zeros_begin = k;
            zeros_end = k + 1;
        }
        if (!(negative_zero && positive_zero)) zeros_begin = zeros_end = SIZE_MAX;
        constant = !side.empty() && zeros_begin == SIZE_MAX &&
                   std::all_of(side.begin(), side.end(), [&](double v) { return !sorts_before(side[order[0]], v); });
        pivot = side.empty() ? 0 : (side.size() - 1) / 2;
    }

    bool walks_from_pivot() const { return !constant && zeros_begin == SIZE_MAX && !order.empty(); }

    // The elements at `position` and `position + 1` (the latter only when
    // `both`) of the sorted resample.
    std::pair<double, double> at(size_t position, bool both, const Multiplicities& drawn,
                                 const std::vector<uint32_t>& draws) const {
        if (constant) {
            double v = samples[order[0]];
            return {v, v};
        }
        const std::vector<uint32_t>& counts = drawn.counts;
        size_t before = 0, before_zeros = 0, k = 0;
        if (pivot_slot != NO_PIVOT) {
            k = pivot;
            before = drawn.below_pivot[pivot_slot];
            while (before > position) before -= counts[order[--k]];
        }
        // Whole blocks first: their counts add up side by side rather than one after another.
        const size_t blocks_end = std::min(order.size(), zeros_begin);
        for (; k + WALK_BLOCK <= blocks_end; k += WALK_BLOCK) {
            uint32_t block = 0;
            for (size_t j = 0; j < WALK_BLOCK; ++j) block += counts[order[k + j]];
            if (before + block > position) break;
            before += block;
        }
        for (;; ++k) {
            if (k == zeros_begin) before_zeros = before;
            uint32_t count = counts[order[k]];
            if (before + count > position) break;
            before += count;
        }
        double first = element(k, position, before_zeros, draws);
        if (!both) return {first, first};
        if (before + counts[order[k]] > position + 1) return {first, element(k, position + 1, before_zeros, draws)};
        before += counts[order[k]];
        for (++k;; ++k) {
            if (k == zeros_begin) before_zeros = before;
            if (counts[order[k]] > 0) break;
        }
        return {first, element(k, position + 1, before_zeros, draws)};
    }

    // The element at `position` of the sorted resample, which is sample order[k]
    // or, among mixed zeros, the zero drawn at that place of the zero group.
    double element(size_t k, size_t position, size_t before_zeros, const std::vector<uint32_t>& draws) const {
        if (k < zeros_begin || k >= zeros_end) return samples[order[k]];
        size_t wanted = position - before_zeros;
        for (uint32_t i : draws) {
            if (samples[i] == 0.0 && wanted-- == 0) return samples[i];
        }
        throw Panic("zero group shorter than its count");
    }

    // The median of the samples themselves: the stable sort of the values
    // puts each sample where `order` does.
    double sample_median() const {
        const size_t m = samples.size();
        if (m % 2 == 1) return samples[order[m / 2]];
        return (samples[order[m / 2 - 1]] + samples[order[m / 2]]) * 0.5;
    }

    double median(const Multiplicities& drawn, const std::vector<uint32_t>& draws) const {
        size_t m = samples.size();
        if (m % 2 == 1) return at(m / 2, false, drawn, draws).first;
        auto [low, high] = at(m / 2 - 1, true, drawn, draws);
        return (low + high) * 0.5;
    }
};

// One side of a mean bootstrap whose samples are all integers small enough
// that no resample's sum, nor any partial sum, leaves the integers a double
// holds exactly: every order of adding then gives the same double, so the
// sum is taken in integers from how often each sample was drawn.
struct IntegerSide {
    // Every resample draws as many samples as there are, so its sum is the
    // most common value times that number plus what the other samples add
    // beyond it: only those are read (none for a constant side).
    int64_t common = 0;
    uint64_t draws = 0;
    std::vector<uint32_t> others;  // sample indices
    std::vector<int64_t> excess;   // their values minus `common`

    static std::optional<IntegerSide> of(std::span<const double> side) {
        constexpr uint64_t EXACT = uint64_t{1} << 53;
        double largest = 0.0;
        for (double v : side) {
            if (!(std::fabs(v) <= static_cast<double>(EXACT)) || v != std::trunc(v)) return std::nullopt;
            largest = std::max(largest, std::fabs(v));
        }
        if (!side.empty() && static_cast<uint64_t>(largest) > EXACT / side.size()) return std::nullopt;
        IntegerSide integers;
        integers.draws = side.size();
        // The majority value if there is one (Boyer-Moore vote), else zero.
        double vote = 0.0;
        size_t lead = 0;
        for (double v : side) {
            if (lead == 0) vote = v;
            if (v == vote) {
                ++lead;
            } else {
                --lead;
            }
        }
        if (2 * static_cast<size_t>(std::count(side.begin(), side.end(), vote)) > side.size())
            integers.common = static_cast<int64_t>(vote);
        for (uint32_t i = 0; i < side.size(); ++i) {
            const int64_t value = static_cast<int64_t>(side[i]);
            if (value == integers.common) continue;
            integers.others.push_back(i);
            integers.excess.push_back(value - integers.common);
        }
        return integers;
    }

    // Exact: no partial sum leaves 2^54 in magnitude.
    double sum(const Multiplicities& drawn) const {
        int64_t total = 0;
        for (size_t k = 0; k < others.size(); ++k) total += drawn.counts[others[k]] * excess[k];
        return static_cast<double>(common * static_cast<int64_t>(draws) + total);
    }
};

// The bootstrap differences of one pair of sample lists, resample by resample.
class Resampler {
public:
    Resampler(std::span<const double> baseline, std::span<const double> candidate, Statistic statistic)
        : baseline_(baseline), candidate_(candidate), statistic_(statistic) {
        if (baseline.size() != candidate.size()) throw Panic("baseline and candidate must have equal length");
        // Beyond what any trace held in memory can pair; the index draws are 32-bit.
        if (baseline.size() > UINT32_MAX) throw Panic("too many samples for one bootstrap");
        if (statistic == Statistic::Median && !baseline.empty()) {
            ranked_baseline_.emplace(baseline);
            ranked_candidate_.emplace(candidate);
        }
        if (statistic == Statistic::Mean) {
            integer_baseline_ = IntegerSide::of(baseline);
            integer_candidate_ = IntegerSide::of(candidate);
        }
        results_.reserve(BOOTSTRAP_RESAMPLES);
    }

    size_t size() const { return baseline_.size(); }

    // Whether add() reads how often each sample was drawn.
    bool reads_counts() const {
        if (statistic_ == Statistic::Mean)
            return integer_baseline_ && integer_candidate_ &&
                   !(integer_baseline_->others.empty() && integer_candidate_->others.empty());
        return ranked_baseline_ && !(ranked_baseline_->constant && ranked_candidate_->constant);
    }

    // The median sides that can walk from their pivots.
    std::vector<RankedSide*> pivotable_sides() {
        std::vector<RankedSide*> sides;
        for (std::optional<RankedSide>* side : {&ranked_baseline_, &ranked_candidate_})
            if (*side && (*side)->walks_from_pivot()) sides.push_back(&**side);
        return sides;
    }

    // `drawn` holds the indices of one resample in draw order, `counts` how
    // often each was drawn (filled when some resampler reads_counts()).
    void add(const std::vector<uint32_t>& drawn, const Multiplicities& counts) {
        if (statistic_ == Statistic::Mean) {
            double sum_baseline, sum_candidate;
            if (integer_baseline_ && integer_candidate_) {
                sum_baseline = integer_baseline_->sum(counts);
                sum_candidate = integer_candidate_->sum(counts);
            } else {
                // Summing in draw order is summing the resample buffer in index order.
                sum_baseline = 0.0, sum_candidate = 0.0;
                for (uint32_t i : drawn) {
                    sum_baseline += baseline_[i];
                    sum_candidate += candidate_[i];
                }
            }
            const double count = static_cast<double>(drawn.size());
            results_.push_back(drawn.empty() ? 0.0 : sum_candidate / count - sum_baseline / count);
        } else if (drawn.empty()) {
            results_.push_back(0.0);
        } else {
            results_.push_back(ranked_candidate_->median(counts, drawn) - ranked_baseline_->median(counts, drawn));
        }
    }

    // The statistic of each side's own samples, as median() or mean() gives it.
    std::pair<double, double> centrals() const {
        if (statistic_ == Statistic::Mean) return {mean(baseline_), mean(candidate_)};
        return {ranked_baseline_->sample_median(), ranked_candidate_->sample_median()};
    }

    std::pair<double, double> interval() {
        sort_ascending(results_);
        return {percentile(results_, 0.025), percentile(results_, 0.975)};
    }

private:
    std::span<const double> baseline_, candidate_;
    Statistic statistic_;
    std::optional<RankedSide> ranked_baseline_, ranked_candidate_;
    std::optional<IntegerSide> integer_baseline_, integer_candidate_;
    std::vector<double> results_;
};

// Runs BOOTSTRAP_RESAMPLES resamples through every resampler, all of the same
// size, from one generator: each sees the index sequence it would have drawn alone.
void resample(std::span<Resampler* const> resamplers, ChaCha12& rng) {
    std::vector<uint32_t> drawn(resamplers.front()->size());
    Multiplicities counts;
    const bool count = std::any_of(resamplers.begin(), resamplers.end(),
                                   [](const Resampler* resampler) { return resampler->reads_counts(); });
    // Counting the draws below the pivots is one more pass over the draws for
    // up to sixteen sides; it saves more than it costs from a few long sides on.
    constexpr size_t PIVOTED_SIDES_MIN = 4, PIVOTED_SAMPLES_MIN = 256;
    std::vector<RankedSide*> pivotable;
    for (Resampler* resampler : resamplers)
        std::ranges::copy(resampler->pivotable_sides(), std::back_inserter(pivotable));
    if (count && pivotable.size() >= PIVOTED_SIDES_MIN && drawn.size() >= PIVOTED_SAMPLES_MIN) {
        for (RankedSide* side : pivotable)
            side->pivot_slot = counts.add_pivot(drawn.size(),
                                                std::span<const uint32_t>(side->order).first(side->pivot));
    }
    for (size_t r = 0; r < BOOTSTRAP_RESAMPLES; ++r) {
        if (!drawn.empty()) rng.fill_indices(static_cast<uint32_t>(drawn.size()), drawn);
        if (count) counts.count(drawn);
        for (Resampler* resampler : resamplers) resampler->add(drawn, counts);
    }
}

// The row of `samples`, from the resampler that bootstrapped them (none for no samples).
AxisStat built_stat(const AxisSamples& samples, Resampler* resampler) {
    AxisStat stat = AxisStat::empty(samples.axis);
    if (resampler) {
        auto [baseline, candidate] = resampler->centrals();
        auto [low, high] = resampler->interval();
        auto construct = samples.grading == Grading::Rate ? AxisStat::new_rate : AxisStat::new_value;
        stat = construct(samples.axis, samples.baseline.size(), baseline, candidate, candidate - baseline, low, high);
    }
    if (samples.no_pricing) stat.flags.push_back(Flag::NoPricing);
    return stat;
}

}  // namespace

double median(std::span<const double> values) {
    if (values.empty()) return 0.0;
    std::vector<double> sorted(values.begin(), values.end());
    sort_ascending(sorted);
    return median_of_sorted(sorted);
}

double mean(std::span<const double> values) {
    if (values.empty()) return 0.0;
    double sum = 0.0;
    for (double v : values) sum += v;
    return sum / static_cast<double>(values.size());
}

double percentile(std::span<const double> sorted, double q) {
    double position = (static_cast<double>(sorted.size()) - 1.0) * q;
    size_t lo = static_cast<size_t>(std::floor(position));
    size_t hi = static_cast<size_t>(std::ceil(position));
    if (lo == hi) return sorted[lo];
    double f = position - static_cast<double>(lo);
    double low_part = (1.0 - f) * sorted[lo];
    double high_part = f * sorted[hi];
    return low_part + high_part;
}

std::pair<double, double> bootstrap_delta_ci(std::span<const double> baseline, std::span<const double> candidate,
                                             Statistic statistic, Seed seed) {
    Resampler resampler(baseline, candidate, statistic);
    ChaCha12 rng = seed ? ChaCha12::from_u64(*seed) : ChaCha12::from_entropy();
    Resampler* const group[] = {&resampler};
    resample(group, rng);
    return resampler.interval();
}

AxisStat axis_stat(const AxisSamples& samples, Seed seed) {
    if (samples.baseline.empty()) return built_stat(samples, nullptr);
    Resampler resampler(samples.baseline, samples.candidate, samples.statistic);
    ChaCha12 rng = seed ? ChaCha12::from_u64(*seed) : ChaCha12::from_entropy();
    Resampler* const group[] = {&resampler};
    resample(group, rng);
    return built_stat(samples, &resampler);
}

std::vector<AxisStat> axis_stats(const std::vector<AxisSamples>& rows, Seed seed) {
    std::vector<AxisStat> stats;
    stats.reserve(rows.size());
    if (!seed) {
        // Every row draws from its own entropy-seeded generator.
        for (const AxisSamples& samples : rows) stats.push_back(axis_stat(samples, seed));
        return stats;
    }
    std::vector<std::optional<Resampler>> resamplers(rows.size());
    for (size_t k = 0; k < rows.size(); ++k) {
        if (!rows[k].baseline.empty()) resamplers[k].emplace(rows[k].baseline, rows[k].candidate, rows[k].statistic);
    }
    std::vector<bool> done(rows.size(), false);
    for (size_t k = 0; k < rows.size(); ++k) {
        if (!resamplers[k] || done[k]) continue;
        std::vector<Resampler*> group;
        for (size_t j = k; j < rows.size(); ++j) {
            if (resamplers[j] && !done[j] && resamplers[j]->size() == resamplers[k]->size()) {
                group.push_back(&*resamplers[j]);
                done[j] = true;
            }
        }
        ChaCha12 rng = ChaCha12::from_u64(*seed);
        resample(group, rng);
    }
    for (size_t k = 0; k < rows.size(); ++k)
        stats.push_back(built_stat(rows[k], resamplers[k] ? &*resamplers[k] : nullptr));
    return stats;
}

}  // namespace velkin::diff
