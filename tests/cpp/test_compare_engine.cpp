// The run comparison's shortcuts through the engine give what the engine's own procedures give.
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "check.hpp"
#include "compare/engine.hpp"
#include "diff/bootstrap.hpp"
#include "diff/chacha.hpp"

using namespace velkin::compare;

namespace {

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

}  // namespace

// Draws of runs of equal counts, filled at once, are the draws made one by one.
TEST(uniform_draws_equal_one_draw_at_a_time) {
    std::mt19937_64 random(11);
    for (int round = 0; round < 40; ++round) {
        std::vector<uint16_t> counts(random() % 300);
        const uint16_t pool[] = {1, 2, 3, 6, 6, 6, 64, 65535};
        for (uint16_t& count : counts) count = pool[random() % 8];
        // Long runs of one count, as when every conversation has the same runs.
        if (round % 2) std::fill(counts.begin(), counts.begin() + counts.size() / 2, uint16_t{6});
        const size_t rounds = 1 + random() % 3;
        const uint64_t seed = random();
        std::vector<uint16_t> drawn = uniform_draws(counts, rounds, seed);
        velkin::diff::ChaCha12 rng = velkin::diff::ChaCha12::from_u64(seed);
        CHECK_EQ(drawn.size(), counts.size() * rounds);
        for (size_t i = 0; i < drawn.size(); ++i)
            CHECK_EQ(uint64_t{drawn[i]}, velkin::diff::draw_index(rng, counts[i % counts.size()]));
    }
}

// The median of a pair's few values is the engine's, to the sign of zero and NaN.
TEST(small_medians_equal_the_engine_median) {
    std::mt19937_64 random(5);
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double pool[] = {0.0, -0.0, 1.0, -1.0, 2.5, nan, 1e308, -1e308, 0.5};
    for (size_t n = 1; n <= 40; ++n) {
        for (int variant = 0; variant < 30; ++variant) {
            std::vector<double> values(n);
            for (double& value : values) value = pool[random() % 9];
            CHECK(same_bits(central(values, Statistic::Median), velkin::diff::median(values)));
        }
    }
}
