// Each fast path against its reference on the same inputs, bit for bit, so
// that the path this machine does not take is still checked where it can run.
// The x86-64 paths are skipped where the processor lacks them; the byte scans'
// and the aarch64 SHA-256 path are whatever the target compiles.
// test_arch_utf8 does the same for UTF-8 validation.
#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <random>
#include <utility>
#include <vector>

#include "arch/bytes.hpp"
#include "arch/kernels.hpp"
#include "check.hpp"
#include "sha256_paths.hpp"

using namespace velkin::arch;

namespace {

// The alignment's weights.
constexpr PairCostWeights WEIGHTS = {0.4, 0.25, 0.15, 0.2};

std::array<uint32_t, 8> random_key(std::mt19937_64& random) {
    std::array<uint32_t, 8> key;
    for (uint32_t& word : key) word = static_cast<uint32_t>(random());
    return key;
}

}  // namespace

// Counters where a block's low word wraps into the high word, inside and at
// the edge of one call's sixteen blocks, and far from any wrap.
TEST(chacha_block_paths_agree) {
    const uint64_t counters[] = {
        0, 16, 1000, 0xFFFFFFFFull - 7, 0xFFFFFFFFull, 0xFFFFFFFFull + 1, 0xFFFFFFFFFFFFFFF0ull};
    std::mt19937_64 random(9);
    for (uint64_t counter : counters) {
        for (int k = 0; k < 4; ++k) {
            const std::array<uint32_t, 8> key = k == 0 ? std::array<uint32_t, 8>{} : random_key(random);
            std::vector<uint32_t> narrow(256, 0xDEADBEEF), wide(256, 0xDEADBEEF);
            chacha_blocks_by_4(key, counter, narrow.data());
            // Each block depends on its own counter only: starting one block
            // later gives the same words shifted by one block.
            std::vector<uint32_t> shifted(256);
            chacha_blocks_by_4(key, counter + 1, shifted.data());
            for (size_t w = 0; w < 240; ++w) CHECK_EQ(narrow[w + 16], shifted[w]);
            chacha_blocks(key, counter, wide.data());
            CHECK(wide == narrow);
#if defined(VELKIN_WIDE_PATHS)
            if (wide_paths().avx2) {
                std::fill(wide.begin(), wide.end(), 0xDEADBEEF);
                chacha_blocks_by_8(key, counter, wide.data());
                CHECK(wide == narrow);
            }
            if (!wide_paths().chacha) continue;
            chacha_blocks_by_16(key, counter, wide.data());
            CHECK(wide == narrow);
#endif
        }
    }
}

// Bit set widths that leave every remainder of eight words, and widths past
// the 124 words the AVX2 path counts in bytes before it widens the sums, one
// to five rows (a whole group of four and every remainder), ranges of one and
// many candidate turns, and counts added to what common[] already holds.
TEST(shared_bit_counts_agree_with_a_plain_count) {
    std::mt19937_64 random(11);
    std::vector<size_t> widths;
    for (size_t words = 1; words <= 19; ++words) widths.push_back(words);
    for (size_t words : {123, 124, 125, 130, 250}) widths.push_back(words);
    for (size_t words : widths) {
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
                    const std::vector<uint32_t> plain_before = plain;
                    scalar = plain;
                    for (size_t r = 0; r < row_count; ++r)
                        for (uint64_t j = first; j <= last; ++j)
                            for (size_t w = 0; w < words; ++w)
                                plain[r * width + j - first] += static_cast<uint32_t>(
                                    std::popcount(rows[r * words + w] & columns[j * words + w]));
                    add_shared_bits_reference(rows.data(), row_count, columns.data(), words, first, last,
                                              scalar.data());
                    CHECK(scalar == plain);
                    vector = plain_before;
                    add_shared_bits(rows.data(), row_count, columns.data(), words, first, last, vector.data());
                    CHECK(vector == plain);
#if defined(VELKIN_WIDE_PATHS)
                    if (wide_paths().avx2) {
                        vector = plain_before;
                        add_shared_bits_avx2(rows.data(), row_count, columns.data(), words, first, last, vector.data());
                        CHECK(vector == plain);
                    }
                    if (!wide_paths().bit_counts) continue;
                    vector = plain_before;
                    add_shared_bits_wide(rows.data(), row_count, columns.data(), words, first, last, vector.data());
                    CHECK(vector == plain);
#endif
                }
            }
        }
    }
}

// Rows against candidate turns with equal and unequal call counts (none
// included), empty texts on either or both sides, equal and unequal shape
// sets, inputs and stop reasons, over every tail length of four and of eight
// lanes: every path gives the reference's bits.
TEST(pair_cost_paths_agree) {
    std::mt19937_64 random(13);
    const double jaccard_of_set[] = {1.0, 0.0, 0.5, 1.0 / 3.0, 0.25};
    for (int round = 0; round < 40; ++round) {
        const size_t count = 1 + round % 19;
        std::vector<uint32_t> shape_set(count), input_set(count), stop_reason(count), common(count);
        std::vector<double> shingles(count), calls(count);
        PairCostRow row = {static_cast<uint32_t>(random() % 5),
                           static_cast<uint32_t>(random() % 3),
                           static_cast<uint32_t>(random() % 2),
                           random() % 4 != 0,
                           static_cast<double>(random() % 3 == 0 ? 0 : random() % 900),
                           static_cast<double>(random() % 4)};
        for (size_t k = 0; k < count; ++k) {
            shape_set[k] = static_cast<uint32_t>(random() % 5);
            input_set[k] = static_cast<uint32_t>(random() % 3);
            stop_reason[k] = static_cast<uint32_t>(random() % 2);
            shingles[k] = static_cast<double>(random() % 3 == 0 ? 0 : random() % 900);
            calls[k] = static_cast<double>(random() % 4);
            common[k] = static_cast<uint32_t>(random() %
                                              (1 + static_cast<uint64_t>(std::min(row.shingles, shingles[k]))));
        }
        const PairCostColumns columns = {shape_set.data(), input_set.data(), stop_reason.data(), shingles.data(),
                                         calls.data()};
        std::vector<double> scalar(count + 1, -1.0), vector(count + 1, -1.0);
        row_pair_costs_reference(row, columns, count, common.data(), jaccard_of_set, WEIGHTS, scalar.data());
        CHECK_EQ(scalar[count], -1.0);
        row_pair_costs(row, columns, count, common.data(), jaccard_of_set, WEIGHTS, vector.data());
        for (size_t k = 0; k <= count; ++k)
            CHECK_EQ(std::bit_cast<uint64_t>(scalar[k]), std::bit_cast<uint64_t>(vector[k]));
#if defined(VELKIN_WIDE_PATHS)
        if (wide_paths().avx2) {
            std::fill(vector.begin(), vector.end(), -1.0);
            row_pair_costs_avx2(row, columns, count, common.data(), jaccard_of_set, WEIGHTS, vector.data());
            for (size_t k = 0; k <= count; ++k)
                CHECK_EQ(std::bit_cast<uint64_t>(scalar[k]), std::bit_cast<uint64_t>(vector[k]));
        }
        if (!wide_paths().pair_costs) continue;
        std::fill(vector.begin(), vector.end(), -1.0);
        row_pair_costs_wide(row, columns, count, common.data(), jaccard_of_set, WEIGHTS, vector.data());
        for (size_t k = 0; k <= count; ++k)
            CHECK_EQ(std::bit_cast<uint64_t>(scalar[k]), std::bit_cast<uint64_t>(vector[k]));
#endif
    }
}

// Every word count up to two runs past the end of a buffer, rooms that stop a
// run short, and bounds with large and small rejection zones: the runs taken
// give the indices the word-by-word rule gives for the same words.
TEST(accepted_runs_agree_with_word_by_word_draws) {
    std::mt19937_64 random(17);
    const uint32_t bounds[] = {1, 2, 3, 7, 1000, 0x80000001u, 0xFFFFFFFFu};
    for (uint32_t n : bounds) {
        for (size_t count = 0; count <= 48; count += 5) {
            for (size_t room : {size_t{1}, size_t{5}, size_t{16}, size_t{17}, size_t{40}}) {
                std::vector<uint32_t> words(count);
                for (uint32_t& word : words) word = static_cast<uint32_t>(random());
                std::vector<uint32_t> out(room + 16, 0xDEADBEEF);
                const AcceptedRuns runs = accept_runs(words.data(), count, n, out.data(), room);
                CHECK_EQ(runs.words % 16, size_t{0});
                CHECK(runs.words <= count);
                CHECK(runs.indices < room);
                size_t drawn = 0;
                for (size_t w = 0; w < runs.words; ++w) {
                    const uint64_t product = static_cast<uint64_t>(words[w]) * n;
                    if (static_cast<uint32_t>(product) > rejection_zone(n)) continue;
                    CHECK_EQ(out[drawn], static_cast<uint32_t>(product >> 32));
                    ++drawn;
                }
                CHECK_EQ(drawn, runs.indices);
                // Where the next run would have left fewer than `room` indices, it was taken.
                if (runs.words + 16 <= count && wide_paths().chacha) {
                    size_t next = 0;
                    for (size_t w = runs.words; w < runs.words + 16; ++w)
                        next += static_cast<uint32_t>(static_cast<uint64_t>(words[w]) * n) <= rejection_zone(n);
                    CHECK(runs.indices + next >= room);
                }
            }
        }
    }
}

// Every byte value in every lane, and random chunks: the target's mask of the
// top bits is the reference's.
TEST(top_bit_masks_agree) {
    for (int value = 0; value < 256; ++value) {
        for (int lane = 0; lane < 16; ++lane) {
            unsigned char bytes[16] = {};
            bytes[lane] = static_cast<unsigned char>(value);
            const Bytes16 chunk = load16(bytes);
            CHECK_EQ(top_bits(chunk), top_bits_reference(chunk));
            CHECK_EQ(top_bits(chunk), value >= 0x80 ? uint32_t{1} << lane : uint32_t{0});
        }
    }
    std::mt19937_64 random(19);
    for (int round = 0; round < 1000; ++round) {
        unsigned char bytes[16];
        for (unsigned char& byte : bytes) byte = static_cast<unsigned char>(random());
        CHECK_EQ(top_bits(load16(bytes)), top_bits_reference(load16(bytes)));
    }
}

// Every floor against bytes of every value in every lane, and random chunks:
// the mask of bytes at or above the floor is the reference's, which is the
// plain comparison of each byte.
TEST(at_or_above_masks_agree) {
    std::mt19937_64 random(23);
    for (int floor = 0; floor < 256; ++floor) {
        for (int value = 0; value < 256; value += 5) {
            for (int lane = 0; lane < 16; lane += 3) {
                unsigned char bytes[16] = {};
                bytes[lane] = static_cast<unsigned char>(value);
                const auto bound = static_cast<unsigned char>(floor);
                // The other lanes hold 0, at or above the floor 0 only.
                const uint32_t expected = (value >= floor ? uint32_t{1} << lane : 0) | (floor == 0 ? 0xFFFFu : 0);
                CHECK_EQ(at_or_above_reference(bytes, bound), expected);
                CHECK_EQ(at_or_above(bytes, bound), at_or_above_reference(bytes, bound));
            }
        }
        for (int round = 0; round < 50; ++round) {
            unsigned char bytes[16];
            for (unsigned char& byte : bytes) byte = static_cast<unsigned char>(random());
            CHECK_EQ(at_or_above(bytes, static_cast<unsigned char>(floor)),
                     at_or_above_reference(bytes, static_cast<unsigned char>(floor)));
        }
    }
}

// Every byte value in every lane of otherwise upper-case ASCII, and random
// ASCII: both paths lower the same bytes, and leave a chunk beyond ASCII as it was.
TEST(ascii_lowering_paths_agree) {
    for (int value = 0; value < 256; ++value) {
        for (int lane = 0; lane < 16; ++lane) {
            unsigned char reference[16], fast[16];
            for (int k = 0; k < 16; ++k) reference[k] = static_cast<unsigned char>('A' + k);
            reference[lane] = static_cast<unsigned char>(value);
            std::copy(std::begin(reference), std::end(reference), fast);
            CHECK_EQ(lower_ascii(fast), value < 0x80);
            CHECK_EQ(lower_ascii_reference(reference), value < 0x80);
            CHECK(std::equal(std::begin(reference), std::end(reference), fast));
            const bool upper = value >= 'A' && value <= 'Z';
            CHECK_EQ(int{fast[lane]}, value >= 0x80 || !upper ? value : value + 0x20);
            CHECK_EQ(int{fast[(lane + 1) % 16]}, value >= 0x80 ? 'A' + (lane + 1) % 16 : 'a' + (lane + 1) % 16);
        }
    }
    std::mt19937_64 random(29);
    for (int round = 0; round < 1000; ++round) {
        unsigned char reference[16], fast[16];
        for (unsigned char& byte : reference) byte = static_cast<unsigned char>(random() % 0x80);
        std::copy(std::begin(reference), std::end(reference), fast);
        CHECK(lower_ascii(fast) && lower_ascii_reference(reference));
        CHECK(std::equal(std::begin(reference), std::end(reference), fast));
    }
}

// Runs of zero to five blocks from random states (so that no path can lean on
// the initial one): every compression path leaves the reference's state.
TEST(sha256_block_paths_agree) {
    std::mt19937_64 random(31);
    for (int round = 0; round < 200; ++round) {
        const size_t count = static_cast<size_t>(round % 6);
        std::vector<uint8_t> blocks(64 * count);
        for (uint8_t& byte : blocks) byte = static_cast<uint8_t>(random());
        std::array<uint32_t, 8> start;
        for (uint32_t& word : start) word = static_cast<uint32_t>(random());
        std::array<uint32_t, 8> expected = start;
        sha256_blocks_reference(expected.data(), blocks.data(), count);
        if (count > 0) CHECK(expected != start);
        for (auto path : sha256_paths()) {
            std::array<uint32_t, 8> state = start;
            path(state.data(), blocks.data(), count);
            CHECK(state == expected);
        }
    }
}
