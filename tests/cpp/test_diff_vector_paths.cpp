// Each code path chosen by processor feature against the other on the same
// inputs, so that the path this machine does not take is still checked. The
// wide halves are skipped where the processor lacks them.
#include <array>
#include <bit>
#include <cstdint>
#include <random>
#include <utility>
#include <vector>

#include "check.hpp"
#include "diff/vector_paths.hpp"

using namespace velkin::diff;

namespace {

std::array<uint32_t, 8> random_key(std::mt19937_64& random) {
    std::array<uint32_t, 8> key;
    for (uint32_t& word : key) word = static_cast<uint32_t>(random());
    return key;
}

}  // namespace

// Counters where a block's low word wraps into the high word, inside and at
// the edge of one call's sixteen blocks, and far from any wrap.
TEST(chacha_blocks_by_4_and_by_16_agree) {
    const uint64_t counters[] = {0, 16, 1000, 0xFFFFFFFFull - 7, 0xFFFFFFFFull, 0xFFFFFFFFull + 1,
                                 0xFFFFFFFFFFFFFFF0ull};
    std::mt19937_64 random(9);
    for (uint64_t counter : counters) {
        for (int k = 0; k < 4; ++k) {
            const std::array<uint32_t, 8> key = k == 0 ? std::array<uint32_t, 8>{} : random_key(random);
            std::vector<uint32_t> narrow(256, 0xDEADBEEF), wide(256, 0xDEADBEEF);
            blocks_by_4(key, counter, narrow.data());
            // Each block depends on its own counter only: starting one block
            // later gives the same words shifted by one block.
            std::vector<uint32_t> shifted(256);
            blocks_by_4(key, counter + 1, shifted.data());
            for (size_t w = 0; w < 240; ++w) CHECK_EQ(narrow[w + 16], shifted[w]);
            if (!has_blocks_by_16()) continue;
            blocks_by_16(key, counter, wide.data());
            for (size_t w = 0; w < 256; ++w) CHECK_EQ(narrow[w], wide[w]);
        }
    }
}

// Bit set widths that leave every remainder of eight words, one to five rows
// (a whole group of four and every remainder), ranges of one and many
// candidate turns, and counts added to what common[] already holds.
TEST(shared_bit_counts_agree_with_a_plain_count) {
    std::mt19937_64 random(11);
    for (size_t words = 1; words <= 19; ++words) {
        for (int density = 0; density < 3; ++density) {
            const size_t turns = 12;
            auto bits = [&]() {
                uint64_t value = random();
                if (density == 0) value &= random() & random();  // sparse
                if (density == 2) value = ~uint64_t{0};
                return value;
            };
            for (size_t row_count = 1; row_count <= 5; ++row_count) {
                std::vector<uint64_t> rows(row_count * words), columns(turns * words);
                for (uint64_t& w : rows) w = bits();
                for (uint64_t& w : columns) w = bits();
                const std::pair<uint64_t, uint64_t> ranges[] = {{0, turns - 1}, {3, 3}, {5, 9}};
                for (auto [first, last] : ranges) {
                    const uint64_t width = last - first + 1;
                    std::vector<uint32_t> plain(row_count * width), scalar, vector;
                    for (size_t k = 0; k < plain.size(); ++k) plain[k] = static_cast<uint32_t>(7 * k);
                    scalar = vector = plain;
                    for (size_t r = 0; r < row_count; ++r)
                        for (uint64_t j = first; j <= last; ++j)
                            for (size_t w = 0; w < words; ++w)
                                plain[r * width + j - first] +=
                                    static_cast<uint32_t>(std::popcount(rows[r * words + w] & columns[j * words + w]));
                    add_shared_bits_scalar(rows.data(), row_count, columns.data(), words, first, last, scalar.data());
                    CHECK(scalar == plain);
                    if (!has_vector_bit_counts()) continue;
                    add_shared_bits_vector(rows.data(), row_count, columns.data(), words, first, last, vector.data());
                    CHECK(vector == plain);
                }
            }
        }
    }
}

// Rows against candidate turns with equal and unequal call counts (none
// included), empty texts on either or both sides, equal and unequal shape
// sets, inputs and stop reasons, over every tail length of eight lanes: both
// paths give the same bits.
TEST(pair_cost_paths_agree) {
    std::mt19937_64 random(13);
    const double jaccard_of_set[] = {1.0, 0.0, 0.5, 1.0 / 3.0, 0.25};
    for (int round = 0; round < 40; ++round) {
        const size_t count = 1 + round % 19;
        std::vector<uint32_t> shape_set(count), input_set(count), stop_reason(count), common(count);
        std::vector<double> shingles(count), calls(count);
        PairCostRow row = {static_cast<uint32_t>(random() % 5), static_cast<uint32_t>(random() % 3),
                           static_cast<uint32_t>(random() % 2), random() % 4 != 0,
                           static_cast<double>(random() % 3 == 0 ? 0 : random() % 900),
                           static_cast<double>(random() % 4)};
        for (size_t k = 0; k < count; ++k) {
            shape_set[k] = static_cast<uint32_t>(random() % 5);
            input_set[k] = static_cast<uint32_t>(random() % 3);
            stop_reason[k] = static_cast<uint32_t>(random() % 2);
            shingles[k] = static_cast<double>(random() % 3 == 0 ? 0 : random() % 900);
            calls[k] = static_cast<double>(random() % 4);
            common[k] = static_cast<uint32_t>(random() % (1 + static_cast<uint64_t>(std::min(row.shingles, shingles[k]))));
        }
        const PairCostColumns columns = {shape_set.data(), input_set.data(), stop_reason.data(), shingles.data(),
                                         calls.data()};
        std::vector<double> scalar(count + 1, -1.0), vector(count + 1, -1.0);
        row_pair_costs_scalar(row, columns, count, common.data(), jaccard_of_set, scalar.data());
        CHECK_EQ(scalar[count], -1.0);
        if (!has_vector_pair_costs()) continue;
        row_pair_costs_vector(row, columns, count, common.data(), jaccard_of_set, vector.data());
        for (size_t k = 0; k <= count; ++k) CHECK_EQ(std::bit_cast<uint64_t>(scalar[k]), std::bit_cast<uint64_t>(vector[k]));
    }
}
