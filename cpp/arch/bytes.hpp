#pragma once
// Sixteen bytes at a time, for the scans over text. Lanes are compared with
// the compilers' vector extension, which every target lowers to its own
// instructions; the one step it lacks, a mask of the lanes' top bits, comes
// from SSE2 or NEON where the target has them and from a loop elsewhere.
#include <bit>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#elif defined(__ARM_NEON)
#include <arm_neon.h>
#endif

namespace velkin::arch {

// Lanes compare as signed bytes; a comparison sets a lane to all ones or to zero.
typedef signed char Bytes16 __attribute__((vector_size(16)));
// The same lanes compared as unsigned bytes.
typedef unsigned char UnsignedBytes16 __attribute__((vector_size(16)));

inline Bytes16 load16(const void* at) {
    Bytes16 lanes;
    std::memcpy(&lanes, at, sizeof lanes);
    return lanes;
}

inline UnsignedBytes16 load_unsigned16(const void* at) {
    UnsignedBytes16 lanes;
    std::memcpy(&lanes, at, sizeof lanes);
    return lanes;
}

inline Bytes16 splat16(char byte) { return Bytes16{} + static_cast<signed char>(byte); }

// Bit k set where lane k's top bit is: the reference path.
inline uint32_t top_bits_reference(Bytes16 lanes) {
    uint32_t bits = 0;
    for (int k = 0; k < 16; ++k) bits |= static_cast<uint32_t>(lanes[k] < 0) << k;
    return bits;
}

inline uint32_t top_bits(Bytes16 lanes) {
#if defined(__SSE2__)
    return static_cast<uint32_t>(_mm_movemask_epi8(std::bit_cast<__m128i>(lanes)));
#elif defined(__ARM_NEON)
    // Each negative lane keeps its bit's weight within its half; each half sums to one byte of the mask.
    const uint8x16_t weights = {1, 2, 4, 8, 16, 32, 64, 128, 1, 2, 4, 8, 16, 32, 64, 128};
    const uint8x16_t set = vandq_u8(vreinterpretq_u8_s8(vshrq_n_s8(std::bit_cast<int8x16_t>(lanes), 7)), weights);
    return static_cast<uint32_t>(vaddv_u8(vget_low_u8(set))) | static_cast<uint32_t>(vaddv_u8(vget_high_u8(set))) << 8;
#else
    return top_bits_reference(lanes);
#endif
}

// Bit k set where byte k of the sixteen at `at` is at or above `floor`.
inline uint32_t at_or_above_reference(const unsigned char* at, unsigned char floor) {
    uint32_t bits = 0;
    for (int k = 0; k < 16; ++k) bits |= static_cast<uint32_t>(at[k] >= floor) << k;
    return bits;
}

inline uint32_t at_or_above(const unsigned char* at, unsigned char floor) {
    // Unsigned lanes: SSE2 compares them through their maximum, NEON directly.
    return top_bits(std::bit_cast<Bytes16>(load_unsigned16(at) >= (UnsignedBytes16{} + floor)));
}

// Lowers A-Z among the sixteen bytes at `at` in place, unless one of them is
// beyond ASCII: false then, and the bytes left as they were.
inline bool lower_ascii_reference(unsigned char* at) {
    for (int k = 0; k < 16; ++k)
        if (at[k] >= 0x80) return false;
    for (int k = 0; k < 16; ++k)
        if (at[k] >= 'A' && at[k] <= 'Z') at[k] += 'a' - 'A';
    return true;
}

inline bool lower_ascii(unsigned char* at) {
    const Bytes16 lanes = load16(at);
    if (top_bits(lanes) != 0) return false;
    const Bytes16 upper = (lanes >= splat16('A')) & (lanes <= splat16('Z'));
    const Bytes16 lowered = lanes | (upper & splat16('a' - 'A'));
    std::memcpy(at, &lowered, sizeof lowered);
    return true;
}

// Asks for the cache line at `at` ahead of its use. An instruction the
// compiler must keep: it drops loops of __builtin_prefetch, which it takes
// for having no effect.
inline void prefetch(const void* at) {
#if defined(__x86_64__) || defined(__i386__)
    asm volatile("prefetcht0 %0" : : "m"(*static_cast<const char*>(at)));
#elif defined(__aarch64__)
    asm volatile("prfm pldl1keep, [%0]" : : "r"(at));
#else
    __builtin_prefetch(at);
#endif
}

}  // namespace velkin::arch
