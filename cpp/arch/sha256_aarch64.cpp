// SHA-256's compression through the SHA2 instructions of ARMv8, four rounds
// per sha256h/sha256h2 pair: gives sha256_blocks_reference's state. Compiled
// where the target has the instructions (Apple's arm64, -march=armv8-a+crypto).
#include "arch/kernels.hpp"

#if defined(VELKIN_SHA2_INSTRUCTIONS)

#include <arm_neon.h>

#include "arch/sha256_rounds.hpp"

namespace velkin::arch {

void sha256_blocks_armv8(uint32_t* state, const uint8_t* blocks, size_t count) {
    uint32x4_t abcd = vld1q_u32(state), efgh = vld1q_u32(state + 4);
    for (size_t k = 0; k < count; ++k, blocks += 64) {
        const uint32x4_t abcd_before = abcd, efgh_before = efgh;
        // w[g % 4] holds message words 4g .. 4g + 3, big-endian as read.
        uint32x4_t w[4];
        for (int g = 0; g < 4; ++g) w[g] = vreinterpretq_u32_u8(vrev32q_u8(vld1q_u8(blocks + 16 * g)));
#pragma GCC unroll 16
        for (int g = 0; g < 16; ++g) {
            const uint32x4_t words = vaddq_u32(w[g % 4], vld1q_u32(SHA256_ROUND_CONSTANTS + 4 * g));
            const uint32x4_t abcd_was = abcd;
            abcd = vsha256hq_u32(abcd, efgh, words);
            efgh = vsha256h2q_u32(efgh, abcd_was, words);
            // Words 4g + 16 .. 4g + 19 take the place of those just used.
            if (g < 12)
                w[g % 4] = vsha256su1q_u32(vsha256su0q_u32(w[g % 4], w[(g + 1) % 4]), w[(g + 2) % 4], w[(g + 3) % 4]);
        }
        abcd = vaddq_u32(abcd, abcd_before);
        efgh = vaddq_u32(efgh, efgh_before);
    }
    vst1q_u32(state, abcd);
    vst1q_u32(state + 4, efgh);
}

}  // namespace velkin::arch

#endif
