#include "text/sha256.hpp"

#include <algorithm>
#include <cstring>

#include "arch/kernels.hpp"

namespace velkin::text {

namespace {

constexpr uint32_t initial_state[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                       0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};

}  // namespace

Digest sha256(std::string_view bytes) { return detail::sha256_through(bytes, arch::sha256_blocks); }

namespace detail {

// SHA-256 as FIPS 180-4 defines it (5.1.1, 6.2): the message's whole blocks, then its padding.
Digest sha256_through(std::string_view bytes, Sha256Blocks compress) {
    uint32_t state[8];
    std::copy(std::begin(initial_state), std::end(initial_state), state);
    const auto* data = reinterpret_cast<const uint8_t*>(bytes.data());
    const size_t whole = bytes.size() / 64 * 64;
    compress(state, data, whole / 64);
    // The rest, then 0x80, zeros, and the length in bits: one block or two.
    uint8_t tail[128] = {};
    const size_t rest = bytes.size() - whole;
    if (rest) std::memcpy(tail, data + whole, rest);
    tail[rest] = 0x80;
    const size_t tail_size = rest < 56 ? 64 : 128;
    const uint64_t bits = uint64_t{bytes.size()} * 8;
    for (int k = 0; k < 8; ++k) tail[tail_size - 1 - k] = static_cast<uint8_t>(bits >> (8 * k));
    compress(state, tail, tail_size / 64);
    Digest digest;
    for (int k = 0; k < 32; ++k) digest[k] = static_cast<uint8_t>(state[k / 4] >> (24 - 8 * (k % 4)));
    return digest;
}

}  // namespace detail

std::string hex(const Digest& digest, size_t count) {
    std::string out;
    append_hex(digest, count, out);
    return out;
}

void append_hex(const Digest& digest, size_t count, std::string& out) {
    count = std::min(count, digest.size());
    const size_t start = out.size();
    out.resize(start + 2 * count);
    write_hex(digest, count, out.data() + start);
}

char* write_hex(const Digest& digest, size_t count, char* out) {
    static constexpr char digits[] = "0123456789abcdef";
    count = std::min(count, digest.size());
    for (size_t i = 0; i < count; ++i) {
        *out++ = digits[digest[i] >> 4];
        *out++ = digits[digest[i] & 0x0F];
    }
    return out;
}

}  // namespace velkin::text
