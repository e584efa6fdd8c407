#include "diff/bootstrap.hpp"

#include <algorithm>
#include <cmath>
#include <optional>
#include <string>
#include <vector>

#include "diff/chacha.hpp"
#include "json/result.hpp"

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

// One side of a median bootstrap, prepared so that the median of a resample
// can be read from how often each distinct value was drawn. Values that
// compare equal are bit-identical except the two zeros (resolved in draw
// order, as the stable sort would leave them) and NaNs (interchangeable).
struct RankedSide {
    std::span<const double> samples;
    std::vector<uint32_t> rank_of;     // per sample: index of its value in `values`
    std::vector<double> values;        // distinct values in sorted order
    std::vector<uint32_t> counts;      // per distinct value, draws in the current resample
    uint32_t zero_rank = UINT32_MAX;   // the rank holding both zeros, when both occur

    explicit RankedSide(std::span<const double> side) : samples(side), rank_of(side.size()) {
        std::vector<uint32_t> order(side.size());
        for (uint32_t i = 0; i < order.size(); ++i) order[i] = i;
        std::sort(order.begin(), order.end(),
                  [&](uint32_t a, uint32_t b) { return sorts_before(side[a], side[b]); });
        bool negative_zero = false, positive_zero = false;
        for (uint32_t i : order) {
            double v = side[i];
            if (values.empty() || sorts_before(values.back(), v)) values.push_back(v);
            rank_of[i] = static_cast<uint32_t>(values.size() - 1);
            if (v == 0.0) (std::signbit(v) ? negative_zero : positive_zero) = true;
        }
        if (negative_zero && positive_zero) {
            zero_rank = static_cast<uint32_t>(
                std::find_if(values.begin(), values.end(), [](double v) { return v == 0.0; }) - values.begin());
        }
        counts.assign(values.size(), 0);
        if (is_constant()) counts[0] = static_cast<uint32_t>(side.size());
    }

    // Every resample is then the same multiset: nothing to count.
    bool is_constant() const { return values.size() == 1 && zero_rank == UINT32_MAX; }

    void count(const std::vector<uint32_t>& drawn) {
        if (is_constant()) return;
        std::fill(counts.begin(), counts.end(), 0);
        for (uint32_t i : drawn) ++counts[rank_of[i]];
    }

    // The element at `position` of the sorted resample.
    double at(size_t position, const std::vector<uint32_t>& drawn) const {
        size_t before = 0;
        for (size_t r = 0;; ++r) {
            if (before + counts[r] > position) {
                if (r != zero_rank) return values[r];
                size_t wanted = position - before;
                for (uint32_t i : drawn) {
                    if (rank_of[i] == r && wanted-- == 0) return samples[i];
                }
                throw Panic("zero group shorter than its count");
            }
            before += counts[r];
        }
    }

    double median(const std::vector<uint32_t>& drawn) const {
        size_t m = samples.size();
        if (m % 2 == 1) return at(m / 2, drawn);
        return (at(m / 2 - 1, drawn) + at(m / 2, drawn)) * 0.5;
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
        results_.reserve(BOOTSTRAP_RESAMPLES);
    }

    size_t size() const { return baseline_.size(); }

    // `drawn` holds the indices of one resample in draw order.
    void add(const std::vector<uint32_t>& drawn) {
        if (statistic_ == Statistic::Mean) {
            // Summing in draw order is summing the resample buffer in index order.
            double sum_baseline = 0.0, sum_candidate = 0.0;
            for (uint32_t i : drawn) {
                sum_baseline += baseline_[i];
                sum_candidate += candidate_[i];
            }
            const double count = static_cast<double>(drawn.size());
            results_.push_back(drawn.empty() ? 0.0 : sum_candidate / count - sum_baseline / count);
        } else if (drawn.empty()) {
            results_.push_back(0.0);
        } else {
            ranked_baseline_->count(drawn);
            ranked_candidate_->count(drawn);
            results_.push_back(ranked_candidate_->median(drawn) - ranked_baseline_->median(drawn));
        }
    }

    std::pair<double, double> interval() {
        sort_ascending(results_);
        return {percentile(results_, 0.025), percentile(results_, 0.975)};
    }

private:
    std::span<const double> baseline_, candidate_;
    Statistic statistic_;
    std::optional<RankedSide> ranked_baseline_, ranked_candidate_;
    std::vector<double> results_;
};

// Runs BOOTSTRAP_RESAMPLES resamples through every resampler, all of the same
// size, from one generator: each sees the index sequence it would have drawn alone.
void resample(std::span<Resampler* const> resamplers, ChaCha12& rng) {
    std::vector<uint32_t> drawn(resamplers.front()->size());
    for (size_t r = 0; r < BOOTSTRAP_RESAMPLES; ++r) {
        if (!drawn.empty()) rng.fill_indices(static_cast<uint32_t>(drawn.size()), drawn);
        for (Resampler* resampler : resamplers) resampler->add(drawn);
    }
}

AxisStat built_stat(const AxisSamples& samples, std::pair<double, double> interval) {
    AxisStat stat = AxisStat::empty(samples.axis);
    if (!samples.baseline.empty()) {
        auto central = samples.statistic == Statistic::Mean ? mean : median;
        double baseline = central(samples.baseline);
        double candidate = central(samples.candidate);
        auto construct = samples.grading == Grading::Rate ? AxisStat::new_rate : AxisStat::new_value;
        stat = construct(samples.axis, samples.baseline.size(), baseline, candidate, candidate - baseline,
                         interval.first, interval.second);
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
    if (samples.baseline.empty()) return built_stat(samples, {0.0, 0.0});
    return built_stat(samples, bootstrap_delta_ci(samples.baseline, samples.candidate, samples.statistic, seed));
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
        stats.push_back(built_stat(rows[k], resamplers[k] ? resamplers[k]->interval() : std::pair{0.0, 0.0}));
    return stats;
}

}  // namespace velkin::diff
