#pragma once
// ChaCha12 blocks computed side by side, one vector lane per block, so that
// every step is one operation on as many words as the vector holds. Shared by
// the reference path (four lanes, which every target's vectors or scalar code
// carry) and the wide path (sixteen lanes).
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "arch/kernels.hpp"

namespace velkin::arch {

typedef uint32_t Lanes4 __attribute__((vector_size(16)));
typedef uint32_t Lanes8 __attribute__((vector_size(32)));
typedef uint32_t Lanes16 __attribute__((vector_size(64)));
// The helpers below are always inlined into the functions compiled for
// 256- and 512-bit vectors, so that no such vector crosses a call.
#pragma GCC diagnostic ignored "-Wpsabi"

constexpr uint32_t CHACHA_CONSTANTS[4] = {0x61707865, 0x3320646e, 0x79622d32, 0x6b206574};

template <class Lanes>
__attribute__((always_inline)) inline Lanes rotl(Lanes x, int bits) {
    return (x << bits) | (x >> (32 - bits));
}

template <class Lanes>
__attribute__((always_inline)) inline void quarter_round(Lanes& a, Lanes& b, Lanes& c, Lanes& d) {
    a += b;
    d = rotl(d ^ a, 16);
    c += d;
    b = rotl(b ^ c, 12);
    a += b;
    d = rotl(d ^ a, 8);
    c += d;
    b = rotl(b ^ c, 7);
}

// Blocks counter .. counter + lanes - 1 into out, block after block.
template <class Lanes>
__attribute__((always_inline)) inline void chacha_lanes(const std::array<uint32_t, 8>& key, uint64_t counter,
                                                        uint32_t* out) {
    constexpr size_t LANES = sizeof(Lanes) / sizeof(uint32_t);
    Lanes input[16];
    for (size_t w = 0; w < 4; ++w) input[w] = Lanes{} + CHACHA_CONSTANTS[w];
    for (size_t w = 0; w < 8; ++w) input[4 + w] = Lanes{} + key[w];
    uint32_t low[LANES], high[LANES];
    for (size_t l = 0; l < LANES; ++l) {
        uint64_t block = counter + l;
        low[l] = static_cast<uint32_t>(block);
        high[l] = static_cast<uint32_t>(block >> 32);
    }
    std::memcpy(&input[12], low, sizeof low);
    std::memcpy(&input[13], high, sizeof high);
    input[14] = input[15] = Lanes{};
    Lanes x[16];
    for (size_t w = 0; w < 16; ++w) x[w] = input[w];
    for (int round = 0; round < 6; ++round) {
        quarter_round(x[0], x[4], x[8], x[12]);
        quarter_round(x[1], x[5], x[9], x[13]);
        quarter_round(x[2], x[6], x[10], x[14]);
        quarter_round(x[3], x[7], x[11], x[15]);
        quarter_round(x[0], x[5], x[10], x[15]);
        quarter_round(x[1], x[6], x[11], x[12]);
        quarter_round(x[2], x[7], x[8], x[13]);
        quarter_round(x[3], x[4], x[9], x[14]);
    }
    for (size_t w = 0; w < 16; ++w) x[w] += input[w];
    for (size_t l = 0; l < LANES; ++l)
        for (size_t w = 0; w < 16; ++w) out[16 * l + w] = x[w][l];
}

}  // namespace velkin::arch
