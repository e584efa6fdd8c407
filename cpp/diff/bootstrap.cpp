#include "diff/bootstrap.hpp"

#include <sys/random.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

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

// --- ChaCha12 -------------------------------------------------------------

constexpr uint32_t CHACHA_CONSTANTS[4] = {0x61707865, 0x3320646e, 0x79622d32, 0x6b206574};
constexpr size_t BLOCKS = ChaCha12::BUFFER_WORDS / 16;

// The four buffered blocks are computed side by side, one lane per block, so
// that every step is the same operation on four words.
using Lanes = uint32_t[16][BLOCKS];

inline void quarter_round(Lanes& x, int a, int b, int c, int d) {
    for (size_t l = 0; l < BLOCKS; ++l) {
        x[a][l] += x[b][l];
        x[d][l] = std::rotl(x[d][l] ^ x[a][l], 16);
        x[c][l] += x[d][l];
        x[b][l] = std::rotl(x[b][l] ^ x[c][l], 12);
        x[a][l] += x[b][l];
        x[d][l] = std::rotl(x[d][l] ^ x[a][l], 8);
        x[c][l] += x[d][l];
        x[b][l] = std::rotl(x[b][l] ^ x[c][l], 7);
    }
}

// --- index draws ------------------------------------------------------------

// The rejection zone and width of draw_index for one n, fixed across draws.
struct IndexDraw {
    uint64_t n;
    bool wide;
    uint64_t zone;

    explicit IndexDraw(uint64_t range) : n(range), wide(range > UINT32_MAX) {
        if (range == 0) throw Panic("draw_index needs a non-empty range");
        if (wide) {
            zone = (range << std::countl_zero(range)) - 1;
        } else {
            uint32_t r = static_cast<uint32_t>(range);
            zone = static_cast<uint32_t>((r << std::countl_zero(r)) - 1);
        }
    }

    uint64_t operator()(ChaCha12& rng) const {
        if (!wide) {
            for (;;) {
                uint64_t product = static_cast<uint64_t>(rng.next_u32()) * n;
                if (static_cast<uint32_t>(product) <= zone) return product >> 32;
            }
        }
        for (;;) {
            unsigned __int128 product = static_cast<unsigned __int128>(rng.next_u64()) * n;
            if (static_cast<uint64_t>(product) <= zone) return static_cast<uint64_t>(product >> 64);
        }
    }
};

// --- bootstrap --------------------------------------------------------------

void resample_means(std::span<const double> baseline, std::span<const double> candidate, ChaCha12& rng,
                    std::vector<double>& results) {
    const size_t n = baseline.size();
    const double count = static_cast<double>(n);
    const IndexDraw draw(n);
    for (size_t r = 0; r < BOOTSTRAP_RESAMPLES; ++r) {
        // Summing in draw order is summing the resample buffer in index order.
        double sum_baseline = 0.0, sum_candidate = 0.0;
        for (size_t k = 0; k < n; ++k) {
            uint64_t i = draw(rng);
            sum_baseline += baseline[i];
            sum_candidate += candidate[i];
        }
        results.push_back(sum_candidate / count - sum_baseline / count);
    }
}

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
            double zero = 0.0;
            zero_rank = static_cast<uint32_t>(
                std::find_if(values.begin(), values.end(), [&](double v) { return v == zero; }) - values.begin());
        }
        counts.assign(values.size(), 0);
    }

    bool needs_draw_order() const { return zero_rank != UINT32_MAX; }

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

void resample_medians(std::span<const double> baseline, std::span<const double> candidate, ChaCha12& rng,
                      std::vector<double>& results) {
    const size_t n = baseline.size();
    if (n > UINT32_MAX) throw Panic("too many samples for one bootstrap");
    RankedSide base(baseline), cand(candidate);
    const bool record = base.needs_draw_order() || cand.needs_draw_order();
    std::vector<uint32_t> drawn;
    drawn.reserve(record ? n : 0);
    const IndexDraw draw(n);
    for (size_t r = 0; r < BOOTSTRAP_RESAMPLES; ++r) {
        std::fill(base.counts.begin(), base.counts.end(), 0);
        std::fill(cand.counts.begin(), cand.counts.end(), 0);
        drawn.clear();
        for (size_t k = 0; k < n; ++k) {
            uint32_t i = static_cast<uint32_t>(draw(rng));
            ++base.counts[base.rank_of[i]];
            ++cand.counts[cand.rank_of[i]];
            if (record) drawn.push_back(i);
        }
        results.push_back(cand.median(drawn) - base.median(drawn));
    }
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
    if (baseline.size() != candidate.size()) throw Panic("baseline and candidate must have equal length");
    ChaCha12 rng = seed ? ChaCha12::from_u64(*seed) : ChaCha12::from_entropy();
    std::vector<double> results;
    results.reserve(BOOTSTRAP_RESAMPLES);
    if (baseline.empty()) {
        // Every resample is empty and both statistics of an empty list are 0.0.
        results.assign(BOOTSTRAP_RESAMPLES, 0.0);
    } else if (statistic == Statistic::Mean) {
        resample_means(baseline, candidate, rng, results);
    } else {
        resample_medians(baseline, candidate, rng, results);
    }
    sort_ascending(results);
    return {percentile(results, 0.025), percentile(results, 0.975)};
}

AxisStat median_value_stat(Axis axis, std::span<const double> baseline, std::span<const double> candidate,
                           Seed seed) {
    if (baseline.empty()) return AxisStat::empty(axis);
    double baseline_median = median(baseline);
    double candidate_median = median(candidate);
    auto [low, high] = bootstrap_delta_ci(baseline, candidate, Statistic::Median, seed);
    return AxisStat::new_value(axis, baseline.size(), baseline_median, candidate_median,
                               candidate_median - baseline_median, low, high);
}

SeedBytes expand_seed(uint64_t seed) {
    constexpr uint64_t MUL = 6364136223846793005ull;
    constexpr uint64_t INC = 11634580027462260723ull;
    SeedBytes bytes{};
    uint64_t state = seed;
    for (size_t j = 0; j < 8; ++j) {
        state = state * MUL + INC;
        uint32_t xorshifted = static_cast<uint32_t>(((state >> 18) ^ state) >> 27);
        uint32_t word = std::rotr(xorshifted, static_cast<int>(state >> 59));
        for (size_t b = 0; b < 4; ++b) bytes[4 * j + b] = static_cast<uint8_t>(word >> (8 * b));
    }
    return bytes;
}

ChaCha12::ChaCha12(const SeedBytes& seed) {
    for (size_t j = 0; j < 8; ++j) {
        key_[j] = static_cast<uint32_t>(seed[4 * j]) | static_cast<uint32_t>(seed[4 * j + 1]) << 8 |
                  static_cast<uint32_t>(seed[4 * j + 2]) << 16 | static_cast<uint32_t>(seed[4 * j + 3]) << 24;
    }
}

ChaCha12 ChaCha12::from_u64(uint64_t seed) { return ChaCha12(expand_seed(seed)); }

ChaCha12 ChaCha12::from_entropy() {
    SeedBytes seed{};
    size_t filled = 0;
    while (filled < seed.size()) {
        ssize_t got = getrandom(seed.data() + filled, seed.size() - filled, 0);
        if (got < 0) {
            if (errno == EINTR) continue;
            throw Panic(std::string("from_entropy failed: ") + std::strerror(errno));
        }
        filled += static_cast<size_t>(got);
    }
    return ChaCha12(seed);
}

void ChaCha12::refill() {
    Lanes input, x;
    for (size_t l = 0; l < BLOCKS; ++l) {
        uint64_t block = counter_ + l;
        for (size_t w = 0; w < 4; ++w) input[w][l] = CHACHA_CONSTANTS[w];
        for (size_t w = 0; w < 8; ++w) input[4 + w][l] = key_[w];
        input[12][l] = static_cast<uint32_t>(block);
        input[13][l] = static_cast<uint32_t>(block >> 32);
        input[14][l] = 0;
        input[15][l] = 0;
    }
    std::memcpy(x, input, sizeof x);
    for (int round = 0; round < 6; ++round) {
        quarter_round(x, 0, 4, 8, 12);
        quarter_round(x, 1, 5, 9, 13);
        quarter_round(x, 2, 6, 10, 14);
        quarter_round(x, 3, 7, 11, 15);
        quarter_round(x, 0, 5, 10, 15);
        quarter_round(x, 1, 6, 11, 12);
        quarter_round(x, 2, 7, 8, 13);
        quarter_round(x, 3, 4, 9, 14);
    }
    for (size_t l = 0; l < BLOCKS; ++l)
        for (size_t w = 0; w < 16; ++w) buffer_[16 * l + w] = x[w][l] + input[w][l];
    counter_ += BLOCKS;
    index_ = 0;
}

uint64_t draw_index(ChaCha12& rng, uint64_t n) { return IndexDraw(n)(rng); }

}  // namespace velkin::diff
