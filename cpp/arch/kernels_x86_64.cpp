// The wide paths of arch/kernels.hpp, for x86-64 processors with AVX-512 and, for those without,
// with AVX2: each gives the bits of its reference path in kernels.cpp.
#include "arch/kernels.hpp"

#if defined(VELKIN_WIDE_PATHS)

#include <immintrin.h>

#include <algorithm>
#include <climits>

#include "arch/chacha_rounds.hpp"

namespace velkin::arch {

__attribute__((target("avx512f"))) void chacha_blocks_by_16(const std::array<uint32_t, 8>& key, uint64_t counter,
                                                            uint32_t* out) {
    chacha_lanes<Lanes16>(key, counter, out);
}

// Eight blocks at a time, for processors with AVX2 but not AVX-512.
__attribute__((target("avx2"))) void chacha_blocks_by_8(const std::array<uint32_t, 8>& key, uint64_t counter,
                                                        uint32_t* out) {
    for (size_t half = 0; half < 2; ++half) chacha_lanes<Lanes8>(key, counter + 8 * half, out + 128 * half);
}

// Sixteen words at a time: the widening products' high halves are the
// candidate indices, the low halves decide acceptance, and the accepted
// indices are packed into `out` in word order.
__attribute__((target("avx512f"))) AcceptedRuns accept_runs_by_16(const uint32_t* words, size_t count, uint32_t n,
                                                                  uint32_t* out, size_t room) {
    const __m512i factor = _mm512_set1_epi32(static_cast<int>(n));
    const __m512i zone = _mm512_set1_epi32(static_cast<int>(rejection_zone(n)));
    AcceptedRuns done{0, 0};
    for (; done.words + 16 <= count; done.words += 16) {
        const __m512i word = _mm512_loadu_si512(words + done.words);
        // The widening products of the words at even and at odd positions (all lanes, zero-masked forms).
        const __m512i even = _mm512_maskz_mul_epu32(0xFF, word, factor);
        const __m512i odd = _mm512_maskz_mul_epu32(0xFF, _mm512_maskz_srli_epi64(0xFF, word, 32), factor);
        const __m512i high = _mm512_mask_blend_epi32(0xAAAA, _mm512_maskz_srli_epi64(0xFF, even, 32), odd);
        const __mmask16 accepted = _mm512_cmple_epu32_mask(_mm512_mullo_epi32(word, factor), zone);
        const size_t kept = static_cast<size_t>(std::popcount(static_cast<unsigned>(accepted)));
        // The run that fills `out` may end within the sixteen words: the caller draws it word by word.
        if (done.indices + kept >= room) break;
        // Packing in a register and storing all sixteen lanes is quicker than a packing store where there is room.
        if (room - done.indices >= 16) {
            _mm512_storeu_si512(out + done.indices, _mm512_maskz_compress_epi32(accepted, high));
        } else {
            _mm512_mask_compressstoreu_epi32(out + done.indices, accepted, high);
        }
        done.indices += kept;
    }
    return done;
}

namespace {

// ROWS rows against each column, eight words per step, the tail of a bit set
// read through a mask. Each column is read once for all the rows: the band's
// columns outgrow the first-level cache, and reading them is what a cell costs.
template <size_t ROWS>
__attribute__((target("avx512f,avx512vpopcntdq"))) void add_shared_bits_rows(const uint64_t* rows,
                                                                             const uint64_t* columns, size_t words,
                                                                             uint64_t first, uint64_t last,
                                                                             uint32_t* common) {
    const __mmask8 tail = static_cast<__mmask8>((1u << (words % 8)) - 1);
    const size_t whole = words - words % 8;
    const uint64_t width = last - first + 1;
    for (uint64_t j = first; j <= last; ++j) {
        const uint64_t* column = columns + j * words;
        __m512i shared[ROWS];
        for (size_t r = 0; r < ROWS; ++r) shared[r] = _mm512_setzero_si512();
        for (size_t w = 0; w < whole; w += 8) {
            const __m512i bits = _mm512_loadu_si512(column + w);
            for (size_t r = 0; r < ROWS; ++r) {
                __m512i both = _mm512_and_si512(_mm512_loadu_si512(rows + r * words + w), bits);
                shared[r] = _mm512_add_epi64(shared[r], _mm512_popcnt_epi64(both));
            }
        }
        if (tail) {
            const __m512i bits = _mm512_maskz_loadu_epi64(tail, column + whole);
            for (size_t r = 0; r < ROWS; ++r) {
                __m512i both = _mm512_and_si512(_mm512_maskz_loadu_epi64(tail, rows + r * words + whole), bits);
                shared[r] = _mm512_add_epi64(shared[r], _mm512_popcnt_epi64(both));
            }
        }
        for (size_t r = 0; r < ROWS; ++r) {
            alignas(64) uint64_t lanes[8];
            _mm512_store_si512(lanes, shared[r]);
            uint64_t sum = 0;
            for (uint64_t lane : lanes) sum += lane;
            common[r * width + j - first] += static_cast<uint32_t>(sum);
        }
    }
}

}  // namespace

__attribute__((target("avx512f,avx512vpopcntdq"))) void add_shared_bits_wide(const uint64_t* rows, size_t row_count,
                                                                             const uint64_t* columns, size_t words,
                                                                             uint64_t first, uint64_t last,
                                                                             uint32_t* common) {
    const uint64_t width = last - first + 1;
    for (; row_count >= 4; row_count -= 4, rows += 4 * words, common += 4 * width)
        add_shared_bits_rows<4>(rows, columns, words, first, last, common);
    switch (row_count) {
        case 3: add_shared_bits_rows<3>(rows, columns, words, first, last, common); break;
        case 2: add_shared_bits_rows<2>(rows, columns, words, first, last, common); break;
        case 1: add_shared_bits_rows<1>(rows, columns, words, first, last, common); break;
        default: break;
    }
}

namespace {

// The bits set in each byte, by a table of the sixteen nibbles.
__attribute__((target("avx2"))) inline __m256i byte_bit_counts(__m256i bits) {
    const __m256i nibble_counts = _mm256_setr_epi8(0, 1, 1, 2, 1, 2, 2, 3, 1, 2, 2, 3, 2, 3, 3, 4, 0, 1, 1, 2, 1, 2, 2,
                                                   3, 1, 2, 2, 3, 2, 3, 3, 4);
    const __m256i low = _mm256_set1_epi8(0x0F);
    return _mm256_add_epi8(_mm256_shuffle_epi8(nibble_counts, _mm256_and_si256(bits, low)),
                           _mm256_shuffle_epi8(nibble_counts, _mm256_and_si256(_mm256_srli_epi16(bits, 4), low)));
}

// Four words of a bit set, those past its end (where `part` is set) read as 0 and not touched.
__attribute__((target("avx2"))) inline __m256i load_words(const uint64_t* at, bool part, __m256i tail) {
    return part ? _mm256_maskload_epi64(reinterpret_cast<const long long*>(at), tail)
                : _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at));
}

// add_shared_bits_rows with four words per step: bit counts summed in bytes
// for at most 31 steps (at most 8 per byte each), then into 64-bit lanes.
template <size_t ROWS>
__attribute__((target("avx2"))) void add_shared_bits_rows_avx2(const uint64_t* rows, const uint64_t* columns,
                                                               size_t words, uint64_t first, uint64_t last,
                                                               uint32_t* common) {
    constexpr size_t STEPS_PER_SUM = 31;
    const __m256i tail = _mm256_cmpgt_epi64(_mm256_set1_epi64x(static_cast<int64_t>(words % 4)),
                                            _mm256_setr_epi64x(0, 1, 2, 3));
    const uint64_t width = last - first + 1;
    for (uint64_t j = first; j <= last; ++j) {
        const uint64_t* column = columns + j * words;
        __m256i shared[ROWS], bytes[ROWS];
        for (size_t r = 0; r < ROWS; ++r) shared[r] = bytes[r] = _mm256_setzero_si256();
        size_t steps = 0;
        for (size_t w = 0; w < words; w += 4) {
            const bool part = w + 4 > words;
            const __m256i bits = load_words(column + w, part, tail);
            for (size_t r = 0; r < ROWS; ++r) {
                const __m256i both = _mm256_and_si256(load_words(rows + r * words + w, part, tail), bits);
                bytes[r] = _mm256_add_epi8(bytes[r], byte_bit_counts(both));
            }
            if (++steps < STEPS_PER_SUM) continue;
            for (size_t r = 0; r < ROWS; ++r) {
                shared[r] = _mm256_add_epi64(shared[r], _mm256_sad_epu8(bytes[r], _mm256_setzero_si256()));
                bytes[r] = _mm256_setzero_si256();
            }
            steps = 0;
        }
        for (size_t r = 0; r < ROWS; ++r) {
            const __m256i lanes = _mm256_add_epi64(shared[r], _mm256_sad_epu8(bytes[r], _mm256_setzero_si256()));
            const __m128i halves = _mm_add_epi64(_mm256_castsi256_si128(lanes), _mm256_extracti128_si256(lanes, 1));
            const uint64_t sum = static_cast<uint64_t>(_mm_cvtsi128_si64(halves)) +
                                 static_cast<uint64_t>(_mm_extract_epi64(halves, 1));
            common[r * width + j - first] += static_cast<uint32_t>(sum);
        }
    }
}

}  // namespace

__attribute__((target("avx2"))) void add_shared_bits_avx2(const uint64_t* rows, size_t row_count,
                                                          const uint64_t* columns, size_t words, uint64_t first,
                                                          uint64_t last, uint32_t* common) {
    const uint64_t width = last - first + 1;
    for (; row_count >= 4; row_count -= 4, rows += 4 * words, common += 4 * width)
        add_shared_bits_rows_avx2<4>(rows, columns, words, first, last, common);
    switch (row_count) {
        case 3: add_shared_bits_rows_avx2<3>(rows, columns, words, first, last, common); break;
        case 2: add_shared_bits_rows_avx2<2>(rows, columns, words, first, last, common); break;
        case 1: add_shared_bits_rows_avx2<1>(rows, columns, words, first, last, common); break;
        default: break;
    }
}

namespace {

// Eight 32-bit values, those of the lanes not set read as 0 and not touched.
__attribute__((target("avx512f,avx512vl"))) inline __m256i load_ids(__mmask8 lanes, const uint32_t* at) {
    return _mm256_maskz_loadu_epi32(lanes, at);
}

}  // namespace

// The same operations on eight candidate turns at a time, the same IEEE
// operations lane by lane, hence the same bits. Quotients are computed also
// where they are not used (0 / 0 included) and then masked off.
__attribute__((target("avx512f,avx512vl"))) void row_pair_costs_wide(const PairCostRow& row,
                                                                     const PairCostColumns& columns, uint64_t count,
                                                                     const uint32_t* common,
                                                                     const double* jaccard_of_set,
                                                                     const PairCostWeights& weights, double* cost) {
    const __m512d zero = _mm512_setzero_pd(), one = _mm512_set1_pd(1.0);
    const __m512d row_calls = _mm512_set1_pd(row.calls), row_shingles = _mm512_set1_pd(row.shingles);
    const __m512i row_shape_set = _mm512_set1_epi64(row.shape_set);
    const __m512i row_input_set = _mm512_set1_epi64(row.input_set);
    const __m512i row_stop_reason = _mm512_set1_epi64(row.stop_reason);
    const __mmask8 row_has_shapes = row.has_shapes ? 0xFF : 0;
    const __mmask8 row_has_no_shingles = row.shingles == 0.0 ? 0xFF : 0;
    for (uint64_t k = 0; k < count; k += 8) {
        const __mmask8 lanes = count - k >= 8 ? 0xFF : static_cast<__mmask8>((1u << (count - k)) - 1);
        const __m256i shape_set = load_ids(lanes, columns.shape_set + k);
        const __m512d jaccard = _mm512_mask_i32gather_pd(zero, lanes, shape_set, jaccard_of_set, 8);
        const __m512d shapes_apart = _mm512_sub_pd(one, jaccard);
        const __m512d calls = _mm512_maskz_loadu_pd(lanes, columns.calls + k);
        const __m512d larger_calls = _mm512_mask_blend_pd(_mm512_cmp_pd_mask(row_calls, calls, _CMP_LT_OQ), row_calls,
                                                          calls);
        const __m512d spread = _mm512_div_pd(_mm512_abs_pd(_mm512_sub_pd(row_calls, calls)), larger_calls);
        const __m512d capped = _mm512_mask_blend_pd(_mm512_cmp_pd_mask(one, spread, _CMP_LT_OQ), spread, one);
        const __m512d gap = _mm512_mask_blend_pd(_mm512_cmp_pd_mask(row_calls, calls, _CMP_EQ_OQ), capped, zero);
        const __m512d tools = _mm512_mask_blend_pd(_mm512_cmp_pd_mask(shapes_apart, gap, _CMP_LT_OQ), shapes_apart,
                                                   gap);
        const __m512d shared = _mm512_maskz_cvtepu32_pd(lanes, load_ids(lanes, common + k));
        const __m512d shingles = _mm512_maskz_loadu_pd(lanes, columns.shingles + k);
        const __m512d quotient = _mm512_div_pd(shared, _mm512_sub_pd(_mm512_add_pd(row_shingles, shingles), shared));
        const __mmask8 both_empty = row_has_no_shingles & _mm512_cmp_pd_mask(shingles, zero, _CMP_EQ_OQ);
        const __m512d text_sim = _mm512_mask_blend_pd(both_empty, quotient, one);
        __m512d sum = _mm512_add_pd(_mm512_mul_pd(_mm512_set1_pd(weights.tool), tools),
                                    _mm512_mul_pd(_mm512_set1_pd(weights.text), _mm512_sub_pd(one, text_sim)));
        const __mmask8 stop_differs = _mm512_cmpneq_epi64_mask(
            row_stop_reason, _mm512_maskz_cvtepu32_epi64(lanes, load_ids(lanes, columns.stop_reason + k)));
        sum = _mm512_add_pd(sum, _mm512_mask_blend_pd(stop_differs, zero, _mm512_set1_pd(weights.stop)));
        const __mmask8 args_differ =
            row_has_shapes & _mm512_cmpeq_epi64_mask(row_shape_set, _mm512_maskz_cvtepu32_epi64(lanes, shape_set)) &
            _mm512_cmpneq_epi64_mask(row_input_set,
                                     _mm512_maskz_cvtepu32_epi64(lanes, load_ids(lanes, columns.input_set + k)));
        sum = _mm512_add_pd(sum, _mm512_mask_blend_pd(args_differ, zero, _mm512_set1_pd(weights.args)));
        _mm512_mask_storeu_pd(cost + k, lanes, sum);
    }
}

namespace {

// Four unsigned 32-bit values, as doubles (exactly: each is below 2^53).
__attribute__((target("avx2"))) inline __m256d unsigned_to_double(__m128i values) {
    const __m128i flipped = _mm_xor_si128(values, _mm_set1_epi32(INT32_MIN));
    return _mm256_add_pd(_mm256_cvtepi32_pd(flipped), _mm256_set1_pd(2147483648.0));
}

// Four 32-bit values, those of the lanes not set read as 0 and not touched.
__attribute__((target("avx2"))) inline __m128i load_ids(const uint32_t* at, __m128i lanes) {
    return _mm_maskload_epi32(reinterpret_cast<const int*>(at), lanes);
}

// Lanes where two sets of four 32-bit values are equal, as 64-bit masks.
__attribute__((target("avx2"))) inline __m256d equal_lanes(__m128i a, __m128i b) {
    return _mm256_castsi256_pd(_mm256_cvtepi32_epi64(_mm_cmpeq_epi32(a, b)));
}

}  // namespace

// row_pair_costs_wide on four candidate turns at a time, with AVX2's blends and masked loads.
__attribute__((target("avx2"))) void row_pair_costs_avx2(const PairCostRow& row, const PairCostColumns& columns,
                                                         uint64_t count, const uint32_t* common,
                                                         const double* jaccard_of_set, const PairCostWeights& weights,
                                                         double* cost) {
    const __m256d zero = _mm256_setzero_pd(), one = _mm256_set1_pd(1.0);
    const __m256d row_calls = _mm256_set1_pd(row.calls), row_shingles = _mm256_set1_pd(row.shingles);
    const __m128i row_shape_set = _mm_set1_epi32(static_cast<int>(row.shape_set));
    const __m128i row_input_set = _mm_set1_epi32(static_cast<int>(row.input_set));
    const __m128i row_stop_reason = _mm_set1_epi32(static_cast<int>(row.stop_reason));
    const __m256d row_has_shapes = row.has_shapes ? _mm256_castsi256_pd(_mm256_set1_epi64x(-1)) : zero;
    const __m256d row_has_no_shingles = row.shingles == 0.0 ? _mm256_castsi256_pd(_mm256_set1_epi64x(-1)) : zero;
    for (uint64_t k = 0; k < count; k += 4) {
        const int64_t left = static_cast<int64_t>(count - k);
        const __m256i wide_lanes = _mm256_cmpgt_epi64(_mm256_set1_epi64x(left), _mm256_setr_epi64x(0, 1, 2, 3));
        const __m128i lanes = _mm_cmpgt_epi32(_mm_set1_epi32(static_cast<int>(std::min<int64_t>(left, 4))),
                                              _mm_setr_epi32(0, 1, 2, 3));
        const __m128i shape_set = load_ids(columns.shape_set + k, lanes);
        const __m256d jaccard = _mm256_mask_i32gather_pd(zero, jaccard_of_set, shape_set,
                                                         _mm256_castsi256_pd(wide_lanes), 8);
        const __m256d shapes_apart = _mm256_sub_pd(one, jaccard);
        const __m256d calls = _mm256_maskload_pd(columns.calls + k, wide_lanes);
        const __m256d larger_calls = _mm256_blendv_pd(row_calls, calls, _mm256_cmp_pd(row_calls, calls, _CMP_LT_OQ));
        const __m256d distance = _mm256_andnot_pd(_mm256_set1_pd(-0.0), _mm256_sub_pd(row_calls, calls));
        const __m256d spread = _mm256_div_pd(distance, larger_calls);
        const __m256d capped = _mm256_blendv_pd(spread, one, _mm256_cmp_pd(one, spread, _CMP_LT_OQ));
        const __m256d gap = _mm256_blendv_pd(capped, zero, _mm256_cmp_pd(row_calls, calls, _CMP_EQ_OQ));
        const __m256d tools = _mm256_blendv_pd(shapes_apart, gap, _mm256_cmp_pd(shapes_apart, gap, _CMP_LT_OQ));
        const __m256d shared = unsigned_to_double(load_ids(common + k, lanes));
        const __m256d shingles = _mm256_maskload_pd(columns.shingles + k, wide_lanes);
        const __m256d quotient = _mm256_div_pd(shared, _mm256_sub_pd(_mm256_add_pd(row_shingles, shingles), shared));
        const __m256d both_empty = _mm256_and_pd(row_has_no_shingles, _mm256_cmp_pd(shingles, zero, _CMP_EQ_OQ));
        const __m256d text_sim = _mm256_blendv_pd(quotient, one, both_empty);
        __m256d sum = _mm256_add_pd(_mm256_mul_pd(_mm256_set1_pd(weights.tool), tools),
                                    _mm256_mul_pd(_mm256_set1_pd(weights.text), _mm256_sub_pd(one, text_sim)));
        const __m256d same_stop = equal_lanes(row_stop_reason, load_ids(columns.stop_reason + k, lanes));
        sum = _mm256_add_pd(sum, _mm256_blendv_pd(_mm256_set1_pd(weights.stop), zero, same_stop));
        const __m256d args_differ = _mm256_andnot_pd(
            equal_lanes(row_input_set, load_ids(columns.input_set + k, lanes)),
            _mm256_and_pd(row_has_shapes, equal_lanes(row_shape_set, shape_set)));
        sum = _mm256_add_pd(sum, _mm256_and_pd(args_differ, _mm256_set1_pd(weights.args)));
        _mm256_maskstore_pd(cost + k, wide_lanes, sum);
    }
}

}  // namespace velkin::arch

#endif
