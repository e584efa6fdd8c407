#pragma once
#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace velkin::text {

using Digest = std::array<uint8_t, 32>;

Digest sha256(std::string_view bytes);
// Lowercase hexadecimal of the first `count` bytes of the digest.
std::string hex(const Digest& digest, size_t count = 32);
void append_hex(const Digest& digest, size_t count, std::string& out);
// The same into the 2 * count chars at `out`; returns their end.
char* write_hex(const Digest& digest, size_t count, char* out);

namespace detail {
// sha256 through the given compression path (one of arch's), so that the tests hold each path to the same digests.
using Sha256Blocks = void (*)(uint32_t* state, const uint8_t* blocks, size_t count);
Digest sha256_through(std::string_view bytes, Sha256Blocks compress);
}  // namespace detail

}  // namespace velkin::text
