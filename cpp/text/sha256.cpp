#include "text/sha256.hpp"

#include <openssl/evp.h>

#include <algorithm>

#include "json/result.hpp"

namespace velkin::text {

namespace {

// Looking the algorithm up and making a context cost more than hashing a short text:
// both are made once (a context per thread).
struct Hasher {
    EVP_MD* algorithm = EVP_MD_fetch(nullptr, "SHA256", nullptr);
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    ~Hasher() {
        EVP_MD_CTX_free(context);
        EVP_MD_free(algorithm);
    }
};

}  // namespace

Digest sha256(std::string_view bytes) {
    thread_local Hasher hasher;
    Digest digest{};
    unsigned int length = 0;
    if (!hasher.algorithm || !hasher.context || EVP_DigestInit_ex2(hasher.context, hasher.algorithm, nullptr) != 1 ||
        EVP_DigestUpdate(hasher.context, bytes.data(), bytes.size()) != 1 ||
        EVP_DigestFinal_ex(hasher.context, digest.data(), &length) != 1 || length != digest.size())
        throw Panic("SHA-256 computation failed");
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
