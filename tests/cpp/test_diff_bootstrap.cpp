// The bootstrap generator against the published known-answer vectors of the
// generator it reproduces, and the fast median resampling and shared draws
// against the plain procedure. (The paired bootstrap's own known answers are
// checked through the report, row by row.)
#include <algorithm>
#include <bit>
#include <cmath>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "check.hpp"
#include "diff/bootstrap.hpp"
#include "diff/chacha.hpp"
#include "json/reader.hpp"

using namespace velkin;
using namespace velkin::diff;

namespace {

const json::Value& vectors() {
    static const json::Value root = [] {
        const std::string path = std::string(VELKIN_VECTORS_DIR) + "/rand08.json";
        std::ifstream file(path, std::ios::binary);
        if (!file) throw Panic("cannot open " + path);
        std::stringstream text;
        text << file.rdbuf();
        auto parsed = json::parse_document(text.str());
        if (!parsed) throw Panic("rand08.json: " + parsed.error().message());
        return std::move(parsed).value();
    }();
    return root;
}

const json::Array& array_at(const json::Value& value, std::string_view key) { return *value.get(key)->as_array(); }
uint64_t uint_of(const json::Value& value) { return std::get<uint64_t>(value.data); }
uint64_t uint_at(const json::Value& value, std::string_view key) { return uint_of(*value.get(key)); }
const std::string& string_at(const json::Value& value, std::string_view key) { return *value.get(key)->as_string(); }

uint64_t bits(double value) { return std::bit_cast<uint64_t>(value); }
bool same(double a, double b) { return bits(a) == bits(b) || (std::isnan(a) && std::isnan(b)); }

// The procedure exactly as written: resample buffers, a sorted copy per median,
// the results sorted like a median sorts (NaN after every number).
std::pair<double, double> plain_bootstrap(const std::vector<double>& b, const std::vector<double>& c,
                                          Statistic statistic, uint64_t seed) {
    ChaCha12 rng = ChaCha12::from_u64(seed);
    std::vector<double> results, rb, rc;
    for (size_t r = 0; r < BOOTSTRAP_RESAMPLES; ++r) {
        rb.clear();
        rc.clear();
        for (size_t k = 0; k < b.size(); ++k) {
            uint64_t i = draw_index(rng, b.size());
            rb.push_back(b[i]);
            rc.push_back(c[i]);
        }
        results.push_back(statistic == Statistic::Median ? median(rc) - median(rb) : mean(rc) - mean(rb));
    }
    std::stable_sort(results.begin(), results.end(),
                     [](double x, double y) { return x < y || (std::isnan(y) && !std::isnan(x)); });
    return {percentile(results, 0.025), percentile(results, 0.975)};
}

}  // namespace

TEST(seed_expansion_and_keystream_match_vectors) {
    for (const json::Value& entry : array_at(vectors(), "chacha12_u32")) {
        uint64_t seed = std::stoull(string_at(entry, "seed_str"));
        std::string hex;
        const char* digits = "0123456789abcdef";
        for (uint8_t byte : expand_seed(seed)) hex.append({digits[byte / 16], digits[byte % 16]});
        CHECK_EQ(hex, string_at(entry, "seed_bytes_hex"));
        ChaCha12 rng = ChaCha12::from_u64(seed);
        const json::Array& words = array_at(entry, "next_u32");
        CHECK_EQ(words.size(), size_t{80});  // across the first refill
        for (const json::Value& word : words) CHECK_EQ(uint64_t{rng.next_u32()}, uint_of(word));
    }
}

TEST(index_draws_match_vectors) {
    for (std::string_view group : {"gen_range_u32", "gen_range_u64", "slice_choose"}) {
        const json::Value& section = *vectors().get(group);
        for (const json::Value& item : array_at(section, "cases")) {
            ChaCha12 rng = ChaCha12::from_u64(uint_at(section, "seed"));
            for (const json::Value& index : array_at(item, "indices"))
                CHECK_EQ(draw_index(rng, uint_at(item, "n")), uint_of(index));
        }
    }
    // Rejected words are consumed: drawing the accepted indices uses up exactly the traced words.
    const json::Value& trace = *vectors().get("zone_trace");
    ChaCha12 rng = ChaCha12::from_u64(uint_at(trace, "seed")), words = rng;
    for (const json::Value& index : array_at(trace, "accepted_indices")) CHECK_EQ(draw_index(rng, 3), uint_of(index));
    for (const json::Value& word : array_at(trace, "words"))
        CHECK_EQ(uint64_t{words.next_u32()}, uint_at(word, "word"));
    CHECK_EQ(rng.next_u32(), words.next_u32());
}

// Filling many indices at once consumes and yields exactly what drawing
// them one word at a time does, whatever the fill's length and the range.
TEST(index_fills_equal_word_by_word_draws) {
    for (uint32_t n : {1u, 2u, 3u, 7u, 1000u, 9996u, 0x80000001u, 0xFFFFFFFFu}) {
        const uint64_t zone = (uint64_t{n} << std::countl_zero(n)) - 1;
        for (size_t length : {0, 1, 15, 16, 17, 255, 256, 257, 1000, 5000}) {
            ChaCha12 filled = ChaCha12::from_u64(n + length), words = filled;
            // A first fill leaves the buffer part-used, so runs start off its sixteen-word grid.
            std::vector<uint32_t> first(3), out(length);
            filled.fill_indices(n, first);
            filled.fill_indices(n, out);
            std::vector<uint32_t> expected;
            while (expected.size() < first.size() + length) {
                const uint64_t product = uint64_t{words.next_u32()} * n;
                if ((product & 0xFFFFFFFF) <= zone) expected.push_back(static_cast<uint32_t>(product >> 32));
            }
            CHECK(std::equal(out.begin(), out.end(), expected.begin() + 3));
            CHECK_EQ(filled.next_u32(), words.next_u32());
        }
    }
}

TEST(fast_medians_equal_the_plain_procedure) {
    std::mt19937_64 random(2024);
    const double pool[] = {0.0, -0.0, 1.0, 2.5, -3.0, 1e308, -1e308, 7.0, 0.125, 42.0};
    for (size_t n : {1, 2, 3, 4, 6, 7, 10, 33, 200, 201}) {
        for (int variant = 0; variant < 7; ++variant) {
            std::vector<double> b(n), c(n);
            for (size_t i = 0; i < n; ++i) {
                b[i] = pool[random() % 10];
                c[i] = variant == 0 ? std::ldexp(static_cast<double>(random() % 1000), -3) : pool[random() % 10];
            }
            if (variant == 2) b[n / 2] = std::nan("");
            // Both zeros in equal numbers: the median zero is whichever the stable sort leaves in the middle.
            if (variant == 3) {
                for (size_t i = 0; i < n; ++i) c[i] = i % 2 ? -0.0 : 0.0;
                std::shuffle(c.begin(), c.end(), random);
            }
            // Integers, summed exactly in any order; then integers whose sums
            // round (2^53 + 1 is no double), which must be added in draw order.
            if (variant == 4) {
                for (size_t i = 0; i < n; ++i)
                    b[i] = static_cast<double>(random() % 2), c[i] = -static_cast<double>(random() % 5);
            }
            if (variant == 5) {
                for (size_t i = 0; i < n; ++i)
                    b[i] = std::floor(0x1p53 / static_cast<double>(n)), c[i] = i % 3 ? 1.0 : 0x1p53;
            }
            // A majority value other than zero, and values at the size limit on either side of it.
            if (variant == 6) {
                const double limit = std::floor(0x1p53 / static_cast<double>(n));
                for (size_t i = 0; i < n; ++i) b[i] = i % 5 ? 1.0 : 0.0, c[i] = i % 3 ? -limit : limit;
            }
            for (Statistic statistic : {Statistic::Median, Statistic::Mean}) {
                auto fast = bootstrap_delta_ci(b, c, statistic, n + variant);
                auto plain = plain_bootstrap(b, c, statistic, n + variant);
                CHECK(same(fast.first, plain.first) && same(fast.second, plain.second));
            }
        }
    }
}

TEST(statistics_and_preconditions) {
    CHECK_EQ(median(std::vector<double>{}), 0.0);
    CHECK_EQ(median(std::vector<double>{4.0, 1.0, 3.0, 2.0}), 2.5);
    CHECK_EQ(mean(std::vector<double>{}), 0.0);
    CHECK_EQ(mean(std::vector<double>{0.1, 0.2, 0.3}), ((0.1 + 0.2) + 0.3) / 3.0);
    // Two separate products and one sum at both ends (lo + f * (hi - lo) differs in the last bit here).
    std::vector<double> sorted(1000, 0.7);
    std::fill(sorted.begin(), sorted.begin() + 25, 0.3);
    std::fill(sorted.begin() + 974, sorted.end(), 2.63);
    sorted[974] = 2.62;
    const double f_low = 999.0 * 0.025 - 24.0, f_high = 999.0 * 0.975 - 974.0;
    CHECK_EQ(bits(percentile(sorted, 0.025)), bits((1.0 - f_low) * 0.3 + f_low * 0.7));
    CHECK_EQ(bits(percentile(sorted, 0.975)), bits((1.0 - f_high) * 2.62 + f_high * 2.63));
    std::string fault;
    try {
        bootstrap_delta_ci(std::vector<double>{1.0}, std::vector<double>{1.0, 2.0}, Statistic::Median, 1);
    } catch (const Panic& panic) {
        fault = panic.what();
    }
    CHECK_EQ(fault, std::string("baseline and candidate must have equal length"));
}

TEST(rows_sharing_draws_equal_rows_alone) {
    using enum Statistic;
    using enum Grading;
    std::vector<double> b(30), c(30);
    for (size_t i = 0; i < 30; ++i) b[i] = 10.0 + 1.5 * i, c[i] = 11.0 + 1.65 * i + 0.25 * (i % 4);
    // Rows of equal length share one generator; the longer rows' group starts after the first row.
    const std::vector<AxisSamples> rows = {
        {Axis::Verbosity, Median, Value, {10, 20, 30}, {12, 18, 40}},
        {Axis::Semantic, Median, Value, b, c},
        {Axis::Safety, Mean, Rate, c, b},
        {Axis::Latency, Median, Value, {}, {}},
        {Axis::Cost, Median, Value, {0.5, -0.0, 0.0, 2, 3, 1}, {1, 0.0, -0.0, 2, 2, 2}, true},
        {Axis::Conformance, Mean, Rate, {1, 1, 0}, {0, 1, 1}},
        // Medians among both zeros, where the sort's stability decides the sign.
        {Axis::Reasoning, Median, Value, {0.0, -0.0, 1, -1, -0.0}, {-0.0, 0.0, -0.0, 0.0, 2}},
        {Axis::Latency, Median, Value, {-0.0, 0.0, 3, -3}, {-0.0, -0.0, 0.0, 0.0}},
    };
    std::vector<AxisStat> together = axis_stats(rows, 5);
    CHECK_EQ(together.size(), rows.size());
    for (size_t k = 0; k < rows.size(); ++k) {
        AxisStat alone = axis_stat(rows[k], 5);
        CHECK(together[k].axis == alone.axis && together[k].severity == alone.severity);
        CHECK(together[k].n == alone.n && together[k].flags == alone.flags);
        for (auto field : {&AxisStat::baseline_median, &AxisStat::candidate_median, &AxisStat::delta,
                           &AxisStat::ci95_low, &AxisStat::ci95_high})
            CHECK_EQ(bits(together[k].*field), bits(alone.*field));
        if (rows[k].baseline.empty()) continue;
        // The central values are the statistic of each side's own samples.
        auto central = rows[k].statistic == Median ? median : mean;
        CHECK_EQ(bits(alone.baseline_median), bits(central(rows[k].baseline)));
        CHECK_EQ(bits(alone.candidate_median), bits(central(rows[k].candidate)));
    }
}

// Rows enough to need a second word of pivot counts, long enough for the
// counts to be carried between fields, with ties, a NaN and both zeros.
TEST(many_long_median_rows_sharing_draws_equal_the_plain_procedure) {
    std::mt19937_64 random(7);
    const size_t n = 300;
    std::vector<AxisSamples> rows;
    for (size_t k = 0; k < 10; ++k) {
        std::vector<double> b(n), c(n);
        for (size_t i = 0; i < n; ++i) {
            b[i] = static_cast<double>(random() % (k + 2));
            c[i] = k % 3 == 0 ? std::ldexp(static_cast<double>(random() % 4096), -7)
                              : static_cast<double>(random() % 5);
        }
        if (k == 4) b[n / 3] = std::nan("");
        if (k == 7) c[0] = -0.0;
        rows.push_back({Axis::Latency, Statistic::Median, Grading::Value, b, c});
    }
    std::vector<AxisStat> together = axis_stats(rows, 11);
    for (size_t k = 0; k < rows.size(); ++k) {
        auto plain = plain_bootstrap(rows[k].baseline, rows[k].candidate, Statistic::Median, 11);
        CHECK(same(together[k].ci95_low, plain.first) && same(together[k].ci95_high, plain.second));
    }
}
