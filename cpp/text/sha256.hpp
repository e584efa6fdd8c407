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

}  // namespace velkin::text
