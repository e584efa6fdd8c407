#pragma once
// The loops that have a fast path for some processors. Each has a portable
// reference path that every build compiles and that gives the same bits. The
// x86-64 paths (VELKIN_WIDE_PATHS) are chosen at run time where the processor
// has them; the aarch64 SHA-256 path (VELKIN_SHA2_INSTRUCTIONS) is chosen at
// compile time, where the target has the instructions. The plain entry points
// choose; the named paths are exposed so that the tests run each on the same
// inputs.
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <string_view>

#if defined(__x86_64__)
#define VELKIN_WIDE_PATHS 1
#endif
#if defined(__aarch64__) && defined(__ARM_FEATURE_SHA2)
#define VELKIN_SHA2_INSTRUCTIONS 1
#endif

namespace velkin::arch {

// Which x86-64 paths this processor runs: none off x86-64.
struct WidePaths {
    bool chacha;       // avx512f
    bool avx2;         // avx2: ChaCha's 8-block path, the shared bit counts' and the pair costs'
    bool bit_counts;   // avx512f, avx512vpopcntdq
    bool pair_costs;   // avx512f, avx512vl
    bool utf8_lookup;  // ssse3
    bool sha256;       // sha, sse4.1
};
const WidePaths& wide_paths();

// Sixteen ChaCha12 blocks, counter .. counter + 15, into out[0..256).
constexpr size_t CHACHA_BLOCKS_PER_CALL = 16;
void chacha_blocks(const std::array<uint32_t, 8>& key, uint64_t counter, uint32_t* out);
void chacha_blocks_by_4(const std::array<uint32_t, 8>& key, uint64_t counter, uint32_t* out);  // the reference

// Words at or below the zone are accepted as indices in [0, n), n >= 1 (widening multiply with rejection).
inline uint32_t rejection_zone(uint32_t n) { return (n << std::countl_zero(n)) - 1; }

// Uniform indices in [0, n) from words[0..count) as ChaCha12::fill_indices
// draws them word by word (the reference), in whole runs of sixteen words for
// as long as a run leaves fewer than `room` indices written. Without a wide
// path it takes no run and leaves every word to the caller.
struct AcceptedRuns {
    size_t words, indices;  // consumed, written
};
AcceptedRuns accept_runs(const uint32_t* words, size_t count, uint32_t n, uint32_t* out, size_t room);

// Adds to common[r * (last - first + 1) + j - first] the bits candidate turn j
// (of `words` 64-bit words in `columns`) shares with row r of the `row_count`
// rows laid one after another in `rows`, for j in first..last.
void add_shared_bits(const uint64_t* rows, size_t row_count, const uint64_t* columns, size_t words, uint64_t first,
                     uint64_t last, uint32_t* common);
void add_shared_bits_reference(const uint64_t* rows, size_t row_count, const uint64_t* columns, size_t words,
                               uint64_t first, uint64_t last, uint32_t* common);

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
// cost = tool × max(shapes apart, call gap) + text × (1 − text similarity) + stop + args, the last two when they apply.
struct PairCostWeights {
    double tool;
    double text;
    double stop;
    double args;
};
// The pair costs of the row against candidate turns 0..count-1 sharing common[k]
// shingles with turn k, into cost[k]; jaccard_of_set[s] is the Jaccard index of
// the row's shapes with shape set s.
void row_pair_costs(const PairCostRow& row, const PairCostColumns& columns, uint64_t count, const uint32_t* common,
                    const double* jaccard_of_set, const PairCostWeights& weights, double* cost);
void row_pair_costs_reference(const PairCostRow& row, const PairCostColumns& columns, uint64_t count,
                              const uint32_t* common, const double* jaccard_of_set, const PairCostWeights& weights,
                              double* cost);

// Whether `bytes` is well-formed UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool valid_utf8(std::string_view bytes);
bool valid_utf8_reference(std::string_view bytes);  // a byte at a time

// SHA-256's compression function (FIPS 180-4, 6.2.2) over `count` 64-byte blocks, into `state`.
void sha256_blocks(uint32_t* state, const uint8_t* blocks, size_t count);
void sha256_blocks_reference(uint32_t* state, const uint8_t* blocks, size_t count);

#if defined(VELKIN_SHA2_INSTRUCTIONS)
void sha256_blocks_armv8(uint32_t* state, const uint8_t* blocks, size_t count);
#endif

#if defined(VELKIN_WIDE_PATHS)
// The x86-64 paths, each run only where wide_paths() says so.
void chacha_blocks_by_16(const std::array<uint32_t, 8>& key, uint64_t counter, uint32_t* out);
void chacha_blocks_by_8(const std::array<uint32_t, 8>& key, uint64_t counter, uint32_t* out);
AcceptedRuns accept_runs_by_16(const uint32_t* words, size_t count, uint32_t n, uint32_t* out, size_t room);
void add_shared_bits_wide(const uint64_t* rows, size_t row_count, const uint64_t* columns, size_t words, uint64_t first,
                          uint64_t last, uint32_t* common);
void add_shared_bits_avx2(const uint64_t* rows, size_t row_count, const uint64_t* columns, size_t words, uint64_t first,
                          uint64_t last, uint32_t* common);
void row_pair_costs_wide(const PairCostRow& row, const PairCostColumns& columns, uint64_t count, const uint32_t* common,
                         const double* jaccard_of_set, const PairCostWeights& weights, double* cost);
void row_pair_costs_avx2(const PairCostRow& row, const PairCostColumns& columns, uint64_t count, const uint32_t* common,
                         const double* jaccard_of_set, const PairCostWeights& weights, double* cost);
bool valid_utf8_ssse3(std::string_view bytes);
void sha256_blocks_sha_ni(uint32_t* state, const uint8_t* blocks, size_t count);
#endif

}  // namespace velkin::arch
