// SHA-256's compression function: the portable reference, and the choice of path.
#include "arch/kernels.hpp"
#include "arch/sha256_rounds.hpp"

namespace velkin::arch {

namespace {

constexpr uint32_t rotate_right(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

uint32_t load_big_endian(const uint8_t* bytes) {
    return uint32_t{bytes[0]} << 24 | uint32_t{bytes[1]} << 16 | uint32_t{bytes[2]} << 8 | bytes[3];
}

void compress(uint32_t* state, const uint8_t* block) {
    uint32_t w[64];
    for (int t = 0; t < 16; ++t) w[t] = load_big_endian(block + 4 * t);
    for (int t = 16; t < 64; ++t) {
        const uint32_t s0 = rotate_right(w[t - 15], 7) ^ rotate_right(w[t - 15], 18) ^ (w[t - 15] >> 3);
        const uint32_t s1 = rotate_right(w[t - 2], 17) ^ rotate_right(w[t - 2], 19) ^ (w[t - 2] >> 10);
        w[t] = w[t - 16] + s0 + w[t - 7] + s1;
    }
    uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
    for (int t = 0; t < 64; ++t) {
        const uint32_t t1 = h + (rotate_right(e, 6) ^ rotate_right(e, 11) ^ rotate_right(e, 25)) +
                            ((e & f) ^ (~e & g)) + SHA256_ROUND_CONSTANTS[t] + w[t];
        const uint32_t t2 = (rotate_right(a, 2) ^ rotate_right(a, 13) ^ rotate_right(a, 22)) +
                            ((a & b) ^ (a & c) ^ (b & c));
        h = g, g = f, f = e, e = d + t1, d = c, c = b, b = a, a = t1 + t2;
    }
    state[0] += a, state[1] += b, state[2] += c, state[3] += d;
    state[4] += e, state[5] += f, state[6] += g, state[7] += h;
}

}  // namespace

void sha256_blocks_reference(uint32_t* state, const uint8_t* blocks, size_t count) {
    for (size_t k = 0; k < count; ++k) compress(state, blocks + 64 * k);
}

void sha256_blocks(uint32_t* state, const uint8_t* blocks, size_t count) {
#if defined(VELKIN_WIDE_PATHS)
    if (wide_paths().sha256) return sha256_blocks_sha_ni(state, blocks, count);
#elif defined(VELKIN_SHA2_INSTRUCTIONS)
    return sha256_blocks_armv8(state, blocks, count);
#endif
    sha256_blocks_reference(state, blocks, count);
}

}  // namespace velkin::arch
