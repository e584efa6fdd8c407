// The bootstrap generator and the paired bootstrap against the published
// known-answer vectors of the generator it reproduces, and the fast median
// resampling against the plain procedure.
#include <bit>
#include <cmath>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "check.hpp"
#include "diff/bootstrap.hpp"
#include "json/reader.hpp"

using namespace velkin;
using namespace velkin::diff;

namespace {

const json::Value& vectors() {
    static const json::Value root = [] {
        std::ifstream file(std::string(VELKIN_VECTORS_DIR) + "/rand08.json", std::ios::binary);
        std::stringstream text;
        text << file.rdbuf();
        Result<json::Value> parsed = json::parse_document(text.str());
        if (!parsed) throw Panic("rand08.json: " + parsed.error().message);
        return std::move(parsed).value();
    }();
    return root;
}

const json::Array& array_at(const json::Value& value, std::string_view key) { return *value.get(key)->as_array(); }
uint64_t uint_at(const json::Value& value, std::string_view key) { return std::get<uint64_t>(value.get(key)->data); }
const std::string& string_at(const json::Value& value, std::string_view key) { return *value.get(key)->as_string(); }

double from_bits(const std::string& hex) { return std::bit_cast<double>(std::stoull(hex, nullptr, 16)); }

std::vector<double> doubles_from_bits(const json::Value& value, std::string_view key) {
    std::vector<double> out;
    for (const json::Value& bits : array_at(value, key)) out.push_back(from_bits(*bits.as_string()));
    return out;
}

std::string hex_of(const SeedBytes& bytes) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string out;
    for (uint8_t b : bytes) {
        out.push_back(digits[b >> 4]);
        out.push_back(digits[b & 0x0F]);
    }
    return out;
}

uint64_t bits(double value) { return std::bit_cast<uint64_t>(value); }

// Bit-identical, or both NaN (NaN payloads are never observable).
bool same(double a, double b) { return (std::isnan(a) && std::isnan(b)) || bits(a) == bits(b); }

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

TEST(seed_expansion_matches_vectors) {
    for (const json::Value& entry : array_at(vectors(), "chacha12_u32")) {
        uint64_t seed = std::stoull(string_at(entry, "seed_str"));
        CHECK_EQ(hex_of(expand_seed(seed)), string_at(entry, "seed_bytes_hex"));
    }
}

TEST(keystream_words_match_vectors_across_refills) {
    for (const json::Value& entry : array_at(vectors(), "chacha12_u32")) {
        ChaCha12 rng = ChaCha12::from_u64(std::stoull(string_at(entry, "seed_str")));
        const json::Array& words = array_at(entry, "next_u32");
        CHECK_EQ(words.size(), size_t{80});
        for (const json::Value& word : words) CHECK_EQ(uint64_t{rng.next_u32()}, std::get<uint64_t>(word.data));
    }
}

TEST(index_draws_match_vectors) {
    for (std::string_view group : {"gen_range_u32", "gen_range_u64", "slice_choose"}) {
        const json::Value& section = *vectors().get(group);
        uint64_t seed = uint_at(section, "seed");
        for (const json::Value& item : array_at(section, "cases")) {
            uint64_t n = uint_at(item, "n");
            ChaCha12 rng = ChaCha12::from_u64(seed);
            for (const json::Value& index : array_at(item, "indices"))
                CHECK_EQ(draw_index(rng, n), std::get<uint64_t>(index.data));
        }
    }
}

TEST(rejected_words_are_skipped_and_consumed) {
    const json::Value& trace = *vectors().get("zone_trace");
    const json::Array& words = array_at(trace, "words");
    ChaCha12 stream = ChaCha12::from_u64(uint_at(trace, "seed"));
    std::vector<uint64_t> expected_accepted;
    for (const json::Value& word : words) {
        uint32_t x = stream.next_u32();
        CHECK_EQ(uint64_t{x}, uint_at(word, "word"));
        uint64_t product = uint64_t{x} * 3;
        bool accepted = static_cast<uint32_t>(product) <= 0xbfffffffu;
        CHECK_EQ(accepted, *word.get("accepted")->as_bool());
        if (accepted) expected_accepted.push_back(product >> 32);
    }
    std::vector<uint64_t> listed;
    for (const json::Value& index : array_at(trace, "accepted_indices")) listed.push_back(std::get<uint64_t>(index.data));
    CHECK(expected_accepted == listed);

    // Drawing the accepted indices consumes exactly the traced words.
    ChaCha12 rng = ChaCha12::from_u64(uint_at(trace, "seed"));
    for (uint64_t index : listed) CHECK_EQ(draw_index(rng, 3), index);
    CHECK_EQ(rng.next_u32(), stream.next_u32());
}

TEST(wide_draw_spans_a_refill) {
    // 63 words taken leave one in the buffer: it becomes the low half.
    ChaCha12 reference = ChaCha12::from_u64(7);
    for (int i = 0; i < 63; ++i) reference.next_u32();
    uint64_t low = reference.next_u32();
    uint64_t high = reference.next_u32();
    ChaCha12 rng = ChaCha12::from_u64(7);
    for (int i = 0; i < 63; ++i) rng.next_u32();
    CHECK_EQ(rng.next_u64(), (high << 32) | low);
}

TEST(bootstrap_cases_are_bit_exact) {
    const json::Array& cases = array_at(*vectors().get("bootstrap"), "cases");
    CHECK_EQ(cases.size(), size_t{12});
    for (const json::Value& item : cases) {
        std::vector<double> b = doubles_from_bits(item, "b_bits");
        std::vector<double> c = doubles_from_bits(item, "c_bits");
        Statistic statistic = string_at(item, "statistic") == "mean" ? Statistic::Mean : Statistic::Median;
        auto [low, high] = bootstrap_delta_ci(b, c, statistic, uint_at(item, "seed"));
        if (bits(low) != bits(from_bits(string_at(item, "low_bits"))) ||
            bits(high) != bits(from_bits(string_at(item, "high_bits"))))
            std::fprintf(stderr, "case %s seed %llu: got %.17g %.17g\n", string_at(item, "case").c_str(),
                         static_cast<unsigned long long>(uint_at(item, "seed")), low, high);
        CHECK_EQ(bits(low), bits(from_bits(string_at(item, "low_bits"))));
        CHECK_EQ(bits(high), bits(from_bits(string_at(item, "high_bits"))));
    }
}

TEST(fast_medians_equal_the_plain_procedure) {
    std::mt19937_64 random(2024);
    std::uniform_int_distribution<int> pick(0, 9);
    const double pool[] = {0.0, -0.0, 1.0, 2.5, -3.0, 1e308, -1e308, 7.0, 0.125, 42.0};
    for (size_t n : {1, 2, 3, 4, 7, 10, 33, 200, 201}) {
        for (int variant = 0; variant < 4; ++variant) {
            std::vector<double> b(n), c(n);
            for (size_t i = 0; i < n; ++i) {
                b[i] = pool[pick(random)];
                c[i] = variant == 0 ? std::ldexp(static_cast<double>(random() % 1000), -3) : pool[pick(random)];
            }
            if (variant == 2) b[n / 2] = std::nan("");
            if (variant == 3) c.assign(n, -0.0), c[0] = 0.0;
            for (Statistic statistic : {Statistic::Median, Statistic::Mean}) {
                auto fast = bootstrap_delta_ci(b, c, statistic, n + variant);
                auto plain = plain_bootstrap(b, c, statistic, n + variant);
                CHECK(same(fast.first, plain.first));
                CHECK(same(fast.second, plain.second));
            }
        }
    }
}

TEST(zero_signs_follow_draw_order) {
    // Both zeros in equal numbers: the median zero is whichever the stable sort leaves in the middle.
    std::vector<double> b(6, 1.0), c = {0.0, -0.0, 0.0, -0.0, -0.0, 0.0};
    for (uint64_t seed = 0; seed < 40; ++seed) {
        auto fast = bootstrap_delta_ci(c, b, Statistic::Median, seed);
        auto plain = plain_bootstrap(c, b, Statistic::Median, seed);
        CHECK_EQ(bits(fast.first), bits(plain.first));
        CHECK_EQ(bits(fast.second), bits(plain.second));
    }
}

TEST(unseeded_bootstrap_of_a_constant_difference) {
    std::vector<double> b = {1.0, 2.0, 3.0}, c = {3.0, 4.0, 5.0};
    auto [low, high] = bootstrap_delta_ci(b, c, Statistic::Median, std::nullopt);
    CHECK_EQ(low, 2.0);
    CHECK_EQ(high, 2.0);
}

TEST(unequal_lengths_are_a_fault) {
    std::vector<double> b = {1.0}, c = {1.0, 2.0};
    bool thrown = false;
    try {
        bootstrap_delta_ci(b, c, Statistic::Median, 1);
    } catch (const Panic& panic) {
        thrown = std::string(panic.what()) == "baseline and candidate must have equal length";
    }
    CHECK(thrown);
}

TEST(median_mean_and_percentile) {
    CHECK_EQ(median(std::vector<double>{}), 0.0);
    CHECK_EQ(median(std::vector<double>{4.5}), 4.5);
    CHECK_EQ(median(std::vector<double>{4.0, 1.0, 3.0, 2.0}), 2.5);
    CHECK_EQ(median(std::vector<double>{5.0, 1.0, 3.0}), 3.0);
    std::vector<double> input = {3.0, 1.0, 2.0};
    median(input);
    CHECK(input == (std::vector<double>{3.0, 1.0, 2.0}));
    CHECK_EQ(mean(std::vector<double>{}), 0.0);
    CHECK_EQ(mean(std::vector<double>{0.1, 0.2, 0.3}), ((0.0 + 0.1) + 0.2 + 0.3) / 3.0);
    std::vector<double> sorted(1000);
    for (size_t i = 0; i < sorted.size(); ++i) sorted[i] = static_cast<double>(i) * 2.0;
    double f_low = 999.0 * 0.025 - 24.0;
    CHECK_EQ(bits(percentile(sorted, 0.025)), bits((1.0 - f_low) * 48.0 + f_low * 50.0));
    double f_high = 999.0 * 0.975 - 974.0;
    CHECK_EQ(bits(percentile(sorted, 0.975)), bits((1.0 - f_high) * 1948.0 + f_high * 1950.0));
    CHECK_EQ(percentile(std::vector<double>{9.0}, 0.975), 9.0);
}

TEST(rows_sharing_draws_equal_rows_alone) {
    auto samples = [](Axis axis, Statistic statistic, Grading grading, std::vector<double> b, std::vector<double> c) {
        AxisSamples s;
        s.axis = axis;
        s.statistic = statistic;
        s.grading = grading;
        s.baseline = std::move(b);
        s.candidate = std::move(c);
        return s;
    };
    std::vector<AxisSamples> rows = {
        samples(Axis::Semantic, Statistic::Median, Grading::Value, {1, 1, 1, 1, 1, 1}, {0.5, 1, 0.25, 1, 0.75, 0}),
        samples(Axis::Trajectory, Statistic::Median, Grading::Rate, {0, 0, 0, 0, 0, 0}, {0, 1, 0.5, 0, 0, 1}),
        samples(Axis::Safety, Statistic::Mean, Grading::Rate, {0, 1, 0, 0, 0, 1}, {1, 1, 0, 1, 0, 0}),
        samples(Axis::Verbosity, Statistic::Median, Grading::Value, {10, 20, 30}, {12, 18, 40}),
        samples(Axis::Latency, Statistic::Median, Grading::Value, {}, {}),
        samples(Axis::Cost, Statistic::Median, Grading::Value, {0.5, -0.0, 0.0, 2, 3, 1}, {1, 0.0, -0.0, 2, 2, 2}),
        samples(Axis::Conformance, Statistic::Mean, Grading::Rate, {1, 1, 0}, {0, 1, 1}),
    };
    rows[5].no_pricing = true;
    std::vector<AxisStat> together = axis_stats(rows, 5);
    CHECK_EQ(together.size(), rows.size());
    for (size_t k = 0; k < rows.size(); ++k) {
        AxisStat alone = axis_stat(rows[k], 5);
        CHECK(together[k].axis == alone.axis && together[k].severity == alone.severity);
        CHECK_EQ(together[k].n, alone.n);
        CHECK(together[k].flags == alone.flags);
        for (auto field : {&AxisStat::baseline_median, &AxisStat::candidate_median, &AxisStat::delta,
                           &AxisStat::ci95_low, &AxisStat::ci95_high})
            CHECK_EQ(bits(together[k].*field), bits(alone.*field));
    }
    CHECK(together[4].n == 0 && together[4].flags.empty());
    CHECK(together[5].flags.back() == Flag::NoPricing);
}
