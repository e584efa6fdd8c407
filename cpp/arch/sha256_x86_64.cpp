// SHA-256's compression through the SHA extensions of x86-64 (Intel's SHA-NI),
// four rounds per pair of sha256rnds2: gives sha256_blocks_reference's state.
#include "arch/kernels.hpp"

#if defined(VELKIN_WIDE_PATHS)

#include <immintrin.h>

#include "arch/sha256_rounds.hpp"

namespace velkin::arch {

// The instructions keep the state as ABEF and CDGH (A in the top lane) and
// take the message words in big-endian lanes, so the state is reordered on the
// way in and out and each block's bytes are swapped once.
__attribute__((target("sha,sse4.1"))) void sha256_blocks_sha_ni(uint32_t* state, const uint8_t* blocks, size_t count) {
    const __m128i byte_swap = _mm_set_epi64x(0x0c0d0e0f08090a0bLL, 0x0405060700010203LL);
    const __m128i dcba = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(state)), 0xB1);
    const __m128i efgh = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(state + 4)), 0x1B);
    __m128i abef = _mm_alignr_epi8(dcba, efgh, 8);
    __m128i cdgh = _mm_blend_epi16(efgh, dcba, 0xF0);
    for (size_t k = 0; k < count; ++k, blocks += 64) {
        const __m128i abef_before = abef, cdgh_before = cdgh;
        // w[g % 4] holds message words 4g .. 4g + 3: the schedule runs three groups ahead of the rounds.
        __m128i w[4];
#pragma GCC unroll 16
        for (int g = 0; g < 16; ++g) {
            if (g < 4)
                w[g] = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(blocks + 16 * g)), byte_swap);
            __m128i words = _mm_add_epi32(
                w[g % 4], _mm_load_si128(reinterpret_cast<const __m128i*>(SHA256_ROUND_CONSTANTS + 4 * g)));
            cdgh = _mm_sha256rnds2_epu32(cdgh, abef, words);
            if (g >= 3 && g < 15) {
                const __m128i next = _mm_add_epi32(w[(g + 1) % 4], _mm_alignr_epi8(w[g % 4], w[(g + 3) % 4], 4));
                w[(g + 1) % 4] = _mm_sha256msg2_epu32(next, w[g % 4]);
            }
            abef = _mm_sha256rnds2_epu32(abef, cdgh, _mm_shuffle_epi32(words, 0x0E));
            if (g >= 1 && g < 13) w[(g + 3) % 4] = _mm_sha256msg1_epu32(w[(g + 3) % 4], w[g % 4]);
        }
        abef = _mm_add_epi32(abef, abef_before);
        cdgh = _mm_add_epi32(cdgh, cdgh_before);
    }
    const __m128i feba = _mm_shuffle_epi32(abef, 0x1B);
    const __m128i dchg = _mm_shuffle_epi32(cdgh, 0xB1);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(state), _mm_blend_epi16(feba, dchg, 0xF0));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(state + 4), _mm_alignr_epi8(dchg, feba, 8));
}

}  // namespace velkin::arch

#endif
