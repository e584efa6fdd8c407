#include "text/sha256.hpp"

#include <openssl/evp.h>

#include <algorithm>

#include "json/result.hpp"

namespace velkin::text {

Digest sha256(std::string_view bytes) {
    Digest digest{};
    unsigned int length = 0;
    if (EVP_Digest(bytes.data(), bytes.size(), digest.data(), &length, EVP_sha256(), nullptr) != 1 ||
        length != digest.size())
        throw Panic("SHA-256 computation failed");
    return digest;
}

std::string hex(const Digest& digest, size_t count) {
    static constexpr char digits[] = "0123456789abcdef";
    count = std::min(count, digest.size());
    std::string out(2 * count, '\0');
    for (size_t i = 0; i < count; ++i) {
        out[2 * i] = digits[digest[i] >> 4];
        out[2 * i + 1] = digits[digest[i] & 0x0F];
    }
    return out;
}

}  // namespace velkin::text
