// The family-wise correction over relabellings and the medians counted by rank.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "check.hpp"
#include "compare/calibration.hpp"

using namespace velkin::compare;

namespace {

constexpr size_t DRAWS = 999;

std::vector<double> normal_draws(std::mt19937_64& rng) {
    std::normal_distribution<double> normal;
    std::vector<double> values(DRAWS);
    for (double& value : values) value = normal(rng);
    return values;
}

// Holm's adjustment of the same raw p-values, for comparison.
std::vector<double> holm(const std::vector<double>& p) {
    std::vector<size_t> order(p.size());
    for (size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) { return p[a] < p[b]; });
    std::vector<double> adjusted(p.size());
    double running = 0.0;
    for (size_t rank = 0; rank < order.size(); ++rank) {
        running = std::max(running, std::min(1.0, static_cast<double>(p.size() - rank) * p[order[rank]]));
        adjusted[order[rank]] = running;
    }
    return adjusted;
}

}  // namespace

TEST(one_test_is_not_adjusted) {
    std::mt19937_64 rng(1);
    Calibration p({1.5}, {normal_draws(rng)}, {Tail::Greater});
    CHECK(p.adjusted(0) == p.raw(0));
    CHECK(p.raw(0) > 0.0 && p.raw(0) < 0.2);
}

TEST(adjusted_p_values_are_monotone_and_never_exceed_holm) {
    std::mt19937_64 rng(7);
    for (int round = 0; round < 20; ++round) {
        std::vector<double> observed;
        std::vector<std::vector<double>> null;
        std::vector<Tail> tails;
        for (int t = 0; t < 6; ++t) {
            null.push_back(normal_draws(rng));
            observed.push_back(std::normal_distribution<double>(t % 3, 1.0)(rng));
            tails.push_back(t % 2 ? Tail::Both : Tail::Greater);
        }
        Calibration p(observed, null, tails);
        std::vector<double> raw;
        for (size_t t = 0; t < observed.size(); ++t) raw.push_back(p.raw(t));
        std::vector<double> bound = holm(raw);
        for (size_t a = 0; a < raw.size(); ++a) {
            CHECK(p.adjusted(a) >= p.raw(a));
            // minP is never weaker than Holm (up to the discreteness of the draws).
            CHECK(p.adjusted(a) <= bound[a] + 1.0 / (DRAWS + 1) + 1e-12);
            for (size_t b = 0; b < raw.size(); ++b) {
                if (raw[a] < raw[b]) CHECK(p.adjusted(a) <= p.adjusted(b));
            }
        }
    }
}

TEST(a_test_that_cannot_reach_small_p_values_costs_the_others_nothing) {
    std::mt19937_64 rng(3);
    std::vector<double> flat(DRAWS, 0.0);  // a signature nobody shows, observed or relabelled
    Calibration p({10.0, 0.0, 0.0}, {normal_draws(rng), flat, flat}, {Tail::Greater, Tail::Greater, Tail::Less});
    CHECK(p.raw(0) == 1.0 / (DRAWS + 1));
    CHECK(p.adjusted(0) == p.raw(0));
    CHECK(p.raw(1) == 1.0 && p.adjusted(2) == 1.0);
}

TEST(median_from_rank_or_bucket_counts_matches_the_sorted_median) {
    std::mt19937_64 rng(5);
    // Pools of values: few distinct ones (many ties), and more than the buckets
    // hold one to a bucket, so that a bucket spans several ranks.
    std::vector<double> few = {0.0, 0.25, 0.5, 1.0};
    std::vector<double> many = normal_draws(rng);
    for (size_t i = 0; i < 4; ++i) many.insert(many.end(), many.begin(), many.begin() + DRAWS);
    for (double& value : many) value = std::round(value * 1000.0);  // ties as well
    for (const std::vector<double>* pool : {&few, &many}) {
        Levels levels = levels_of(*pool);
        for (size_t trial = 0; trial < 200; ++trial) {
            size_t size = std::vector<size_t>{0, 1, 2, 3, 10, 11, 1000, 4001}[trial % 8];
            std::vector<double> values(size);
            std::uniform_int_distribution<size_t> pick(0, pool->size() - 1);
            for (double& value : values) value = (*pool)[pick(rng)];
            std::vector<uint32_t> buckets(levels.buckets());
            for (double value : values) ++buckets[levels.bucket(rank_of(levels, value))];
            Middle middle = middle_of(buckets, size);
            std::vector<uint32_t> low(levels.bucket_size()), high(levels.bucket_size());
            for (double value : values) {
                uint32_t rank = rank_of(levels, value);
                if (levels.bucket(rank) == middle.low_bucket)
                    ++low[levels.within(rank)];
                else if (levels.bucket(rank) == middle.high_bucket)
                    ++high[levels.within(rank)];
            }
            std::vector<uint32_t> ranks(levels.values.size());
            for (double value : values) ++ranks[rank_of(levels, value)];
            std::sort(values.begin(), values.end());
            double expected = size == 0  ? 0.0
                              : size % 2 ? values[size / 2]
                                         : (values[size / 2 - 1] + values[size / 2]) * 0.5;
            CHECK(middle_median(middle, low, high, levels) == expected);
            CHECK(rank_count_median(ranks, size, levels) == expected);
        }
    }
}

TEST(a_value_ranks_at_its_level_with_nan_last_and_both_zeros_alike) {
    const double nan = std::numeric_limits<double>::quiet_NaN(), inf = std::numeric_limits<double>::infinity();
    const std::vector<double> pool = {7.0, nan, -inf, 0.0, 2.5, -3.5, inf, -0.0, 1.0, 2.0, -1e300, 1e-300};
    // Every count of levels from one up, so that the halving meets every length.
    for (size_t count = 1; count <= pool.size(); ++count) {
        const std::vector<double> taken(pool.begin(), pool.begin() + static_cast<std::ptrdiff_t>(count));
        const Levels levels = levels_of(taken);
        for (size_t r = 0; r < levels.values.size(); ++r) CHECK(rank_of(levels, levels.values[r]) == r);
        for (double value : taken) {
            const uint32_t rank = rank_of(levels, value);
            CHECK(rank < levels.values.size());
            CHECK(std::isnan(value) ? std::isnan(levels.values[rank]) : levels.values[rank] == value);
        }
        // NaN sorts last: every other value ranks below it.
        if (count >= 2) CHECK(rank_of(levels, nan) == levels.values.size() - 1);
        // A value between two levels ranks at the upper one, as lower_bound places it.
        CHECK(rank_of(levels, 1.5) == static_cast<uint32_t>(std::count_if(levels.values.begin(), levels.values.end(),
                                                                          [](double level) { return level < 1.5; })));
    }
}

namespace {

// The levels as the sort of every value makes them, bit for bit.
std::vector<uint64_t> sorted_levels(std::vector<double> values) {
    auto before = [](double a, double b) { return a < b || (!std::isnan(a) && std::isnan(b)); };
    auto same = [](double a, double b) { return a == b || (std::isnan(a) && std::isnan(b)); };
    std::sort(values.begin(), values.end(), before);
    values.erase(std::unique(values.begin(), values.end(), same), values.end());
    std::vector<uint64_t> bits;
    for (double value : values) bits.push_back(std::bit_cast<uint64_t>(value));
    return bits;
}

std::vector<uint64_t> level_bits(const Levels& levels) {
    std::vector<uint64_t> bits;
    for (double value : levels.values) bits.push_back(std::bit_cast<uint64_t>(value));
    return bits;
}

}  // namespace

// Few distinct values are found without sorting every value, more are sorted:
// either way the levels are those of the sort, down to which zero stands for
// both signs and where NaN goes.
TEST(levels_are_those_of_sorting_every_value_whatever_their_count) {
    const double nan = std::numeric_limits<double>::quiet_NaN(), inf = std::numeric_limits<double>::infinity();
    std::mt19937_64 rng(11);
    std::vector<std::vector<double>> pools = {
        {},
        {2.0},
        {0.0, 1.0, -0.0, 1.0},
        {-0.0, 3.0, -0.0},
        {0.0, -2.0, 0.0},
        {1.0, nan, -inf, inf, nan, 1.0},
        {5.0, -0.0, 0.5, 0.0, 0.5, -1.0, 0.0, -0.0},
    };
    // Zeros of both signs among many values, where the sort's order of equal values is its own.
    for (size_t seed = 0; seed < 8; ++seed) {
        std::vector<double> pool;
        for (size_t i = 0; i < 1000; ++i) pool.push_back((i + seed) % 3 == 0 ? ((i / 3) % 2 ? 0.0 : -0.0) : 0.5);
        std::shuffle(pool.begin(), pool.end(), rng);
        pools.push_back(pool);
    }
    // Around the count of distinct values where the sort takes over, with repeats.
    for (size_t distinct : {size_t{4095}, size_t{4096}, size_t{4097}, size_t{20000}}) {
        std::vector<double> pool;
        for (size_t i = 0; i < 3 * distinct; ++i) pool.push_back(static_cast<double>(i % distinct) * 0.125 - 100.0);
        std::shuffle(pool.begin(), pool.end(), rng);
        pools.push_back(pool);
    }
    for (const std::vector<double>& pool : pools) CHECK(level_bits(levels_of(pool)) == sorted_levels(pool));
}
