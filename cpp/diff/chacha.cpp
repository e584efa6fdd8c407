#include "diff/chacha.hpp"

#include <sys/random.h>

#include <bit>
#include <cerrno>
#include <cstring>
#include <immintrin.h>
#include <string>

#include "diff/vector_paths.hpp"
#include "json/result.hpp"

namespace velkin::diff {

namespace {

constexpr uint32_t CHACHA_CONSTANTS[4] = {0x61707865, 0x3320646e, 0x79622d32, 0x6b206574};
constexpr size_t BLOCKS = ChaCha12::BUFFER_WORDS / 16;

// Blocks are computed side by side, one vector lane per block, so that every
// step is one operation on as many words as the vector holds: four
// everywhere, sixteen where the processor has 512-bit vectors.
typedef uint32_t Lanes4 __attribute__((vector_size(16)));
typedef uint32_t Lanes16 __attribute__((vector_size(64)));
// The 512-bit helpers below are always inlined into the one function compiled
// for 512-bit vectors, so no vector crosses a call.
#pragma GCC diagnostic ignored "-Wpsabi"

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
__attribute__((always_inline)) inline void blocks(const std::array<uint32_t, 8>& key, uint64_t counter,
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

inline uint32_t rejection_zone(uint32_t n) { return (n << std::countl_zero(n)) - 1; }

}  // namespace

void blocks_by_4(const std::array<uint32_t, 8>& key, uint64_t counter, uint32_t* out) {
    for (size_t group = 0; group < BLOCKS / 4; ++group) blocks<Lanes4>(key, counter + 4 * group, out + 64 * group);
}

__attribute__((target("avx512f"))) void blocks_by_16(const std::array<uint32_t, 8>& key, uint64_t counter,
                                                     uint32_t* out) {
    for (size_t group = 0; group < BLOCKS / 16; ++group)
        blocks<Lanes16>(key, counter + 16 * group, out + 256 * group);
}

bool has_blocks_by_16() { return __builtin_cpu_supports("avx512f"); }

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
    size_t filled = 0;
    while (filled < seed.size()) {
        ssize_t got = getrandom(seed.data() + filled, seed.size() - filled, 0);
        if (got < 0) {
            if (errno == EINTR) continue;
            throw Panic(std::string("from_entropy failed: ") + std::strerror(errno));
        }
        filled += static_cast<size_t>(got);
    }
    return ChaCha12(seed);
}

void ChaCha12::refill() {
    static const bool wide = has_blocks_by_16();
    if (wide) {
        blocks_by_16(key_, counter_, buffer_.data());
    } else {
        blocks_by_4(key_, counter_, buffer_.data());
    }
    counter_ += BLOCKS;
    index_ = 0;
}

void ChaCha12::fill_indices(uint32_t n, std::span<uint32_t> out) {
    static const bool wide = has_blocks_by_16();
    const uint32_t zone = rejection_zone(n);
    size_t filled = 0;
    while (filled < out.size()) {
        if (index_ == BUFFER_WORDS) refill();
        if (wide) {
            AcceptedRuns runs = accept_runs_by_16(buffer_.data() + index_, BUFFER_WORDS - index_, n,
                                                  out.data() + filled, out.size() - filled);
            index_ += runs.words;
            filled += runs.indices;
        }
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
