#include "compare/calibration.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <numeric>
#include <optional>

#include "compare/engine.hpp"

namespace velkin::compare {

namespace {

// splitmix64's finaliser: neighbouring rows get unrelated generator keys.
uint64_t row_seed(uint64_t seed, size_t row) {
    uint64_t z = seed + 0x9e3779b97f4a7c15ull * (static_cast<uint64_t>(row) + 1);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
    return z ^ (z >> 31);
}

}  // namespace

std::vector<uint16_t> draw_relabelling(const std::vector<uint16_t>& labelling_counts, uint64_t seed, size_t row) {
    return uniform_draws(labelling_counts, 1, row_seed(seed, row));
}

namespace {

double extremeness(Tail tail, double value) {
    return tail == Tail::Greater ? value : tail == Tail::Less ? -value : std::fabs(value);
}

}  // namespace

double Calibration::share_at_least(size_t test, double value) const {
    const std::vector<double>& sorted = sorted_[test];
    double x = extremeness(tails_[test], value);
    // Relabelled sums reach an equal value through another order of additions.
    auto first = std::lower_bound(sorted.begin(), sorted.end(), x - 1e-9 * std::max(1.0, std::fabs(x)));
    return static_cast<double>(sorted.end() - first) / static_cast<double>(sorted.size());
}

Calibration::Calibration(const std::vector<double>& observed, const std::vector<std::vector<double>>& null,
                         const std::vector<Tail>& tails)
    : tails_(tails), sorted_(observed.size()), raw_(observed.size()), adjusted_(observed.size()) {
    const size_t tests = observed.size();
    const size_t draws = tests ? null.front().size() + 1 : 0;  // the observed labelling is one of them
    auto statistic = [&](size_t t, size_t e) { return e + 1 < draws ? null[t][e] : observed[t]; };
    for (size_t t = 0; t < tests; ++t) {
        for (size_t e = 0; e < draws; ++e) sorted_[t].push_back(extremeness(tails[t], statistic(t, e)));
        std::sort(sorted_[t].begin(), sorted_[t].end());
        raw_[t] = share_at_least(t, observed[t]);
    }
    std::vector<std::vector<double>> p(tests, std::vector<double>(draws));
    for (size_t t = 0; t < tests; ++t) {
        for (size_t e = 0; e < draws; ++e) p[t][e] = share_at_least(t, statistic(t, e));
    }

    std::vector<size_t> order(tests);
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) { return raw_[a] < raw_[b]; });
    // Minima over the tests ranked j and later, from the least significant up.
    family_minimum_.assign(draws, 1.0);
    std::vector<double> step(tests);
    for (size_t rank = tests; rank-- > 0;) {
        size_t t = order[rank];
        size_t below = 0;
        for (size_t e = 0; e < draws; ++e) {
            family_minimum_[e] = std::min(family_minimum_[e], p[t][e]);
            below += family_minimum_[e] <= raw_[t] * (1.0 + 1e-12) ? 1 : 0;
        }
        step[rank] = static_cast<double>(below) / static_cast<double>(draws);
    }
    double running = 0.0;
    for (size_t rank = 0; rank < tests; ++rank) {
        running = std::max(running, step[rank]);
        adjusted_[order[rank]] = running;
    }
}

double Calibration::adjusted_for(size_t test, double value) const {
    double p = share_at_least(test, value);
    size_t below = 0;
    for (double minimum : family_minimum_) below += minimum <= p * (1.0 + 1e-12) ? 1 : 0;
    return std::max(adjusted_[test], static_cast<double>(below) / static_cast<double>(family_minimum_.size()));
}

namespace {

// NaN sorts last, so that every value has a place. Closures, which the sort inlines.
constexpr auto value_before = [](double a, double b) { return a < b || (!std::isnan(a) && std::isnan(b)); };
constexpr auto same_value = [](double a, double b) { return a == b || (std::isnan(a) && std::isnan(b)); };

// Most columns hold few distinct values among many: those are found by
// hashing and only they are sorted, when that cannot change the levels.
constexpr unsigned SLOT_BITS = 13;
constexpr size_t FEW_SLOTS = size_t{1} << SLOT_BITS;
constexpr size_t FEW_LEVELS = FEW_SLOTS / 2;           // the table at most half full
constexpr uint64_t FREE_SLOT = 0x7ff8000000000001ull;  // a NaN, which is never hashed
constexpr uint64_t NEGATIVE_ZERO = 0x8000000000000000ull;

// The distinct values, ascending, when there are at most FEW_LEVELS of them,
// none is NaN and zero comes with one sign only. The sort of every value
// keeps whichever of equal values it puts first, and only NaNs and zeros of
// both signs are equal without being the same: there the sort decides.
std::optional<std::vector<double>> few_levels(const std::vector<double>& values) {
    std::vector<uint64_t> slots(FEW_SLOTS, FREE_SLOT);
    std::vector<double> distinct;
    bool zero = false, negative_zero = false;
    for (double value : values) {
        if (std::isnan(value)) return std::nullopt;
        const auto bits = std::bit_cast<uint64_t>(value);
        zero |= bits == 0;
        negative_zero |= bits == NEGATIVE_ZERO;
        size_t slot = static_cast<size_t>((bits * 0x9e3779b97f4a7c15ull) >> (64 - SLOT_BITS));  // Fibonacci hashing
        while (slots[slot] != bits && slots[slot] != FREE_SLOT) slot = (slot + 1) & (FEW_SLOTS - 1);
        if (slots[slot] == bits) continue;
        if (distinct.size() == FEW_LEVELS) return std::nullopt;
        slots[slot] = bits;
        distinct.push_back(value);
    }
    if (zero && negative_zero) return std::nullopt;
    std::sort(distinct.begin(), distinct.end(), value_before);
    return distinct;
}

}  // namespace

Levels levels_of(std::vector<double> values) {
    Levels levels;
    if (std::optional<std::vector<double>> few = few_levels(values)) {
        values = std::move(*few);
    } else {
        std::sort(values.begin(), values.end(), value_before);
        values.erase(std::unique(values.begin(), values.end(), same_value), values.end());
    }
    while ((size_t{1} << (2 * levels.shift)) < values.size()) ++levels.shift;
    levels.values = std::move(values);
    return levels;
}

uint32_t rank_of(const Levels& levels, double value) {
    // std::lower_bound without branches: which way each halving goes is as
    // unpredictable as the values ranked.
    const double* values = levels.values.data();
    size_t length = levels.values.size();
    if (length == 0) return 0;
    // value_before(probe, value), both sides evaluated.
    const bool last = std::isnan(value);
    auto before = [&](double probe) { return (probe < value) | (last & !std::isnan(probe)); };
    const double* first = values;
    while (length > 1) {
        const size_t half = length / 2;
        first += half & (size_t{0} - static_cast<size_t>(before(first[half])));
        length -= half;
    }
    return static_cast<uint32_t>(first - values) + (before(*first) ? 1 : 0);
}

Middle middle_of(std::span<const uint32_t> bucket_counts, size_t count) {
    Middle middle;
    middle.count = count;
    if (count == 0) return middle;
    const size_t upper = count / 2, lower = count % 2 ? upper : upper - 1;
    size_t before = 0, bucket = 0;
    while (before + bucket_counts[bucket] <= lower) before += bucket_counts[bucket++];
    middle.low_bucket = bucket;
    middle.below_low = before;
    while (before + bucket_counts[bucket] <= upper) before += bucket_counts[bucket++];
    middle.high_bucket = bucket;
    middle.below_high = before;
    return middle;
}

namespace {

// The value of the rank at `position` among the ranks of `bucket`, given their counts.
double value_at(const Levels& levels, size_t bucket, std::span<const uint32_t> counts, size_t position) {
    size_t seen = 0, i = 0;
    while ((seen += counts[i]) <= position) ++i;
    return levels.values[(bucket << levels.shift) + i];
}

}  // namespace

double middle_median(const Middle& middle, std::span<const uint32_t> low, std::span<const uint32_t> high,
                     const Levels& levels) {
    if (middle.count == 0) return 0.0;
    const size_t upper = middle.count / 2;
    const bool one_bucket = middle.low_bucket == middle.high_bucket;
    double high_value = value_at(levels, middle.high_bucket, one_bucket ? low : high, upper - middle.below_high);
    if (middle.count % 2 == 1) return high_value;
    double low_value = value_at(levels, middle.low_bucket, low, upper - 1 - middle.below_low);
    return (low_value + high_value) * 0.5;
}

double rank_count_median(std::span<const uint32_t> rank_counts, size_t count, const Levels& levels) {
    // With a bucket per rank, the middle buckets are the middle ranks.
    const Middle middle = middle_of(rank_counts, count);
    if (middle.count == 0) return 0.0;
    const double high_value = levels.values[middle.high_bucket];
    if (middle.count % 2 == 1) return high_value;
    return (levels.values[middle.low_bucket] + high_value) * 0.5;
}

}  // namespace velkin::compare
