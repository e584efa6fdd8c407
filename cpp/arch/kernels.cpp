#include "arch/kernels.hpp"

#include <algorithm>
#include <cmath>

#include "arch/chacha_rounds.hpp"

namespace velkin::arch {

const WidePaths& wide_paths() {
#if defined(VELKIN_WIDE_PATHS)
    static const WidePaths paths = {
        __builtin_cpu_supports("avx512f") != 0,
        __builtin_cpu_supports("avx2") != 0,
        __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vpopcntdq"),
        __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl"),
        __builtin_cpu_supports("ssse3") != 0,
        __builtin_cpu_supports("sha") && __builtin_cpu_supports("sse4.1"),
    };
#else
    static const WidePaths paths = {false, false, false, false, false, false};
#endif
    return paths;
}

void chacha_blocks_by_4(const std::array<uint32_t, 8>& key, uint64_t counter, uint32_t* out) {
    for (size_t group = 0; group < CHACHA_BLOCKS_PER_CALL / 4; ++group)
        chacha_lanes<Lanes4>(key, counter + 4 * group, out + 64 * group);
}

void chacha_blocks(const std::array<uint32_t, 8>& key, uint64_t counter, uint32_t* out) {
#if defined(VELKIN_WIDE_PATHS)
    if (wide_paths().chacha) return chacha_blocks_by_16(key, counter, out);
    if (wide_paths().avx2) return chacha_blocks_by_8(key, counter, out);
#endif
    chacha_blocks_by_4(key, counter, out);
}

AcceptedRuns accept_runs([[maybe_unused]] const uint32_t* words, [[maybe_unused]] size_t count,
                         [[maybe_unused]] uint32_t n, [[maybe_unused]] uint32_t* out, [[maybe_unused]] size_t room) {
#if defined(VELKIN_WIDE_PATHS)
    if (wide_paths().chacha) return accept_runs_by_16(words, count, n, out, room);
#endif
    return {0, 0};
}

// The build for x86-64 assumes no popcnt instruction: where the loader can
// choose (ELF), a copy compiled for it is chosen where the processor has it.
#if defined(VELKIN_WIDE_PATHS) && defined(__ELF__)
__attribute__((target_clones("popcnt", "default")))
#endif
void add_shared_bits_reference(const uint64_t* rows, size_t row_count, const uint64_t* columns, size_t words,
                               uint64_t first, uint64_t last, uint32_t* common) {
    const uint64_t width = last - first + 1;
    for (size_t r = 0; r < row_count; ++r) {
        const uint64_t* row = rows + r * words;
        for (uint64_t j = first; j <= last; ++j) {
            const uint64_t* column = columns + j * words;
            uint64_t shared = 0;
            for (size_t w = 0; w < words; ++w)
                shared += static_cast<uint64_t>(__builtin_popcountll(row[w] & column[w]));
            common[r * width + j - first] += static_cast<uint32_t>(shared);
        }
    }
}

void add_shared_bits(const uint64_t* rows, size_t row_count, const uint64_t* columns, size_t words, uint64_t first,
                     uint64_t last, uint32_t* common) {
#if defined(VELKIN_WIDE_PATHS)
    if (wide_paths().bit_counts) return add_shared_bits_wide(rows, row_count, columns, words, first, last, common);
    if (wide_paths().avx2) return add_shared_bits_avx2(rows, row_count, columns, words, first, last, common);
#endif
    add_shared_bits_reference(rows, row_count, columns, words, first, last, common);
}

// One candidate turn at a time, in the order of the alignment's own pair cost.
void row_pair_costs_reference(const PairCostRow& row, const PairCostColumns& columns, uint64_t count,
                              const uint32_t* common, const double* jaccard_of_set, const PairCostWeights& weights,
                              double* cost) {
    for (uint64_t k = 0; k < count; ++k) {
        const double shapes_apart = 1.0 - jaccard_of_set[columns.shape_set[k]];
        double gap = 0.0;
        if (row.calls != columns.calls[k]) {
            const double larger_calls = row.calls < columns.calls[k] ? columns.calls[k] : row.calls;
            gap = std::min(std::abs(row.calls - columns.calls[k]) / larger_calls, 1.0);
        }
        const double shared = static_cast<double>(common[k]);
        const double text_sim = row.shingles == 0.0 && columns.shingles[k] == 0.0
                                    ? 1.0
                                    : shared / (row.shingles + columns.shingles[k] - shared);
        const bool args_differ = row.shape_set == columns.shape_set[k] && row.has_shapes &&
                                 row.input_set != columns.input_set[k];
        cost[k] = weights.tool * std::max(shapes_apart, gap) + weights.text * (1.0 - text_sim) +
                  (row.stop_reason != columns.stop_reason[k] ? weights.stop : 0.0) + (args_differ ? weights.args : 0.0);
    }
}

void row_pair_costs(const PairCostRow& row, const PairCostColumns& columns, uint64_t count, const uint32_t* common,
                    const double* jaccard_of_set, const PairCostWeights& weights, double* cost) {
#if defined(VELKIN_WIDE_PATHS)
    if (wide_paths().pair_costs) return row_pair_costs_wide(row, columns, count, common, jaccard_of_set, weights, cost);
    if (wide_paths().avx2) return row_pair_costs_avx2(row, columns, count, common, jaccard_of_set, weights, cost);
#endif
    row_pair_costs_reference(row, columns, count, common, jaccard_of_set, weights, cost);
}

}  // namespace velkin::arch
