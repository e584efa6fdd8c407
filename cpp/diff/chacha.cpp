#include "diff/chacha.hpp"

#include <bit>
#include <optional>

#include "arch/kernels.hpp"
#include "platform/random.hpp"
#include "platform/result.hpp"

namespace velkin::diff {

static_assert(ChaCha12::BUFFER_WORDS == 16 * arch::CHACHA_BLOCKS_PER_CALL);

SeedBytes expand_seed(uint64_t seed) {
    constexpr uint64_t MUL = 6364136223846793005ull;
    constexpr uint64_t INC = 11634580027462260723ull;
    SeedBytes bytes{};
    uint64_t state = seed;
    for (size_t j = 0; j < 8; ++j) {
        state = state * MUL + INC;
        uint32_t xorshifted = static_cast<uint32_t>(((state >> 18) ^ state) >> 27);
        uint32_t word = std::rotr(xorshifted, static_cast<int>(state >> 59));
        for (size_t b = 0; b < 4; ++b) bytes[4 * j + b] = static_cast<uint8_t>(word >> (8 * b));
    }
    return bytes;
}

ChaCha12::ChaCha12(const SeedBytes& seed) {
    for (size_t j = 0; j < 8; ++j) {
        key_[j] = static_cast<uint32_t>(seed[4 * j]) | static_cast<uint32_t>(seed[4 * j + 1]) << 8 |
                  static_cast<uint32_t>(seed[4 * j + 2]) << 16 | static_cast<uint32_t>(seed[4 * j + 3]) << 24;
    }
}

ChaCha12 ChaCha12::from_u64(uint64_t seed) { return ChaCha12(expand_seed(seed)); }

ChaCha12 ChaCha12::from_entropy() {
    SeedBytes seed{};
    if (std::optional<Error> error = platform::fill_random(seed)) throw Panic("from_entropy failed: " + error->message);
    return ChaCha12(seed);
}

void ChaCha12::refill() {
    arch::chacha_blocks(key_, counter_, buffer_.data());
    counter_ += arch::CHACHA_BLOCKS_PER_CALL;
    index_ = 0;
}

void ChaCha12::fill_indices(uint32_t n, std::span<uint32_t> out) {
    const uint32_t zone = arch::rejection_zone(n);
    size_t filled = 0;
    while (filled < out.size()) {
        if (index_ == BUFFER_WORDS) refill();
        const arch::AcceptedRuns runs = arch::accept_runs(buffer_.data() + index_, BUFFER_WORDS - index_, n,
                                                          out.data() + filled, out.size() - filled);
        index_ += runs.words;
        filled += runs.indices;
        size_t i = index_;
        // Rejections are frequent (up to half the words) and random, so the
        // candidate is always stored and only kept by advancing the count.
        while (i < BUFFER_WORDS && filled < out.size()) {
            uint64_t product = static_cast<uint64_t>(buffer_[i++]) * n;
            out[filled] = static_cast<uint32_t>(product >> 32);
            filled += static_cast<uint32_t>(product) <= zone;
        }
        index_ = i;
    }
}

uint64_t draw_index(ChaCha12& rng, uint64_t n) {
    if (n == 0) throw Panic("draw_index needs a non-empty range");
    if (n <= UINT32_MAX) {
        uint32_t index;
        rng.fill_indices(static_cast<uint32_t>(n), std::span<uint32_t>(&index, 1));
        return index;
    }
    const uint64_t zone = (n << std::countl_zero(n)) - 1;
    for (;;) {
        unsigned __int128 product = static_cast<unsigned __int128>(rng.next_u64()) * n;
        if (static_cast<uint64_t>(product) <= zone) return static_cast<uint64_t>(product >> 64);
    }
}

}  // namespace velkin::diff
