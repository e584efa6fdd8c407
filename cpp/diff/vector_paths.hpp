#pragma once
// The code paths chosen at run time by processor feature, exposed so that the
// tests can run each one on the same inputs whatever the machine chooses.
#include <array>
#include <cstddef>
#include <cstdint>

namespace velkin::diff {

// Sixteen ChaCha12 blocks, counter .. counter + 15, into out[0..256).
void blocks_by_4(const std::array<uint32_t, 8>& key, uint64_t counter, uint32_t* out);
void blocks_by_16(const std::array<uint32_t, 8>& key, uint64_t counter, uint32_t* out);  // needs avx512f
bool has_blocks_by_16();

// Uniform indices in [0, n) from words[0..count) as ChaCha12::fill_indices
// draws them, in whole runs of sixteen words for as long as a run leaves
// fewer than `room` indices written. Needs avx512f (has_blocks_by_16).
struct AcceptedRuns {
    size_t words, indices;  // consumed, written
};
AcceptedRuns accept_runs_by_16(const uint32_t* words, size_t count, uint32_t n, uint32_t* out, size_t room);

// Adds to common[r * (last - first + 1) + j - first] the bits candidate turn j
// (of `words` 64-bit words in `columns`) shares with row r of the `row_count`
// rows laid one after another in `rows`, for j in first..last.
void add_shared_bits_scalar(const uint64_t* rows, size_t row_count, const uint64_t* columns, size_t words,
                            uint64_t first, uint64_t last, uint32_t* common);
void add_shared_bits_vector(const uint64_t* rows, size_t row_count, const uint64_t* columns, size_t words,
                            uint64_t first, uint64_t last, uint32_t* common);  // needs avx512f and avx512vpopcntdq
bool has_vector_bit_counts();

// What the pair costs of one alignment row read of its baseline turn, and of
// the candidate turns from the row's first column on (an array per feature,
// counts as doubles).
struct PairCostRow {
    uint32_t shape_set;
    uint32_t input_set;
    uint32_t stop_reason;
    bool has_shapes;
    double shingles;
    double calls;
};
struct PairCostColumns {
    const uint32_t* shape_set;
    const uint32_t* input_set;
    const uint32_t* stop_reason;
    const double* shingles;
    const double* calls;
};
// The pair costs of the row against candidate turns 0..count-1 sharing common[k]
// shingles with turn k, into cost[k]; jaccard_of_set[s] is the Jaccard index of
// the row's shapes with shape set s.
void row_pair_costs_scalar(const PairCostRow& row, const PairCostColumns& columns, uint64_t count,
                           const uint32_t* common, const double* jaccard_of_set, double* cost);
void row_pair_costs_vector(const PairCostRow& row, const PairCostColumns& columns, uint64_t count,
                           const uint32_t* common, const double* jaccard_of_set, double* cost);  // needs avx512f, avx512vl
bool has_vector_pair_costs();

}  // namespace velkin::diff
