#include "text/sha256.hpp"

#include <algorithm>
#include <cstring>

namespace velkin::text {

namespace {

// SHA-256 as FIPS 180-4 defines it (sections 4.1.2, 4.2.2, 5.1.1, 6.2).
constexpr uint32_t round_constants[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};

constexpr uint32_t initial_state[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                       0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};

constexpr uint32_t rotate_right(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

uint32_t load_big_endian(const uint8_t* bytes) {
    return uint32_t{bytes[0]} << 24 | uint32_t{bytes[1]} << 16 | uint32_t{bytes[2]} << 8 | bytes[3];
}

void compress(uint32_t state[8], const uint8_t* block) {
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
                            ((e & f) ^ (~e & g)) + round_constants[t] + w[t];
        const uint32_t t2 = (rotate_right(a, 2) ^ rotate_right(a, 13) ^ rotate_right(a, 22)) +
                            ((a & b) ^ (a & c) ^ (b & c));
        h = g, g = f, f = e, e = d + t1, d = c, c = b, b = a, a = t1 + t2;
    }
    state[0] += a, state[1] += b, state[2] += c, state[3] += d;
    state[4] += e, state[5] += f, state[6] += g, state[7] += h;
}

}  // namespace

Digest sha256(std::string_view bytes) {
    uint32_t state[8];
    std::copy(std::begin(initial_state), std::end(initial_state), state);
    const auto* data = reinterpret_cast<const uint8_t*>(bytes.data());
    const size_t whole = bytes.size() / 64 * 64;
    for (size_t at = 0; at < whole; at += 64) compress(state, data + at);
    // The rest, then 0x80, zeros, and the length in bits: one block or two.
    uint8_t tail[128] = {};
    const size_t rest = bytes.size() - whole;
    if (rest) std::memcpy(tail, data + whole, rest);
    tail[rest] = 0x80;
    const size_t tail_size = rest < 56 ? 64 : 128;
    const uint64_t bits = uint64_t{bytes.size()} * 8;
    for (int k = 0; k < 8; ++k) tail[tail_size - 1 - k] = static_cast<uint8_t>(bits >> (8 * k));
    for (size_t at = 0; at < tail_size; at += 64) compress(state, tail + at);
    Digest digest;
    for (int k = 0; k < 32; ++k) digest[k] = static_cast<uint8_t>(state[k / 4] >> (24 - 8 * (k % 4)));
    return digest;
}

std::string hex(const Digest& digest, size_t count) {
    std::string out;
    append_hex(digest, count, out);
    return out;
}

void append_hex(const Digest& digest, size_t count, std::string& out) {
    static constexpr char digits[] = "0123456789abcdef";
    count = std::min(count, digest.size());
    out.reserve(out.size() + 2 * count);
    for (size_t i = 0; i < count; ++i) {
        out.push_back(digits[digest[i] >> 4]);
        out.push_back(digits[digest[i] & 0x0F]);
    }
}

}  // namespace velkin::text
