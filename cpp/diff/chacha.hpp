#pragma once
// The seedable ChaCha12 generator that makes every bootstrap interval reproducible.
#include <array>
#include <cstdint>
#include <span>

namespace velkin::diff {

using SeedBytes = std::array<uint8_t, 32>;

// The 32-byte key a 64-bit seed expands to (PCG32, one 32-bit word at a time).
SeedBytes expand_seed(uint64_t seed);

// ChaCha with 12 rounds as a stream of 32-bit words: key = the seed bytes,
// stream 0, block counter from 0, sixteen blocks buffered at a time (the
// stream is the same whatever the buffer holds).
class ChaCha12 {
public:
    static constexpr size_t BUFFER_WORDS = 256;

    explicit ChaCha12(const SeedBytes& seed);
    static ChaCha12 from_u64(uint64_t seed);
    // Seeded from the operating system; throws Panic "from_entropy failed: {error}".
    static ChaCha12 from_entropy();

    uint32_t next_u32() {
        if (index_ == BUFFER_WORDS) refill();
        return buffer_[index_++];
    }
    // Two consecutive words, the first as the low half.
    uint64_t next_u64() {
        uint64_t low = next_u32();
        uint64_t high = next_u32();
        return (high << 32) | low;
    }

    // Fills `out` with uniform indices in [0, n) for 1 <= n <= 2^32 - 1,
    // consuming exactly the words that as many draw_index calls would.
    void fill_indices(uint32_t n, std::span<uint32_t> out);

private:
    void refill();

    std::array<uint32_t, 8> key_;
    uint64_t counter_ = 0;
    size_t index_ = BUFFER_WORDS;
    std::array<uint32_t, BUFFER_WORDS> buffer_{};
};

// Uniform index in [0, n), n >= 1: widening multiply with rejection, in 32
// bits while n fits in 32 bits, else in 64 bits.
uint64_t draw_index(ChaCha12& rng, uint64_t n);

}  // namespace velkin::diff
