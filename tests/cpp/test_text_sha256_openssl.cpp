// SHA-256 against OpenSSL, the library it replaced: every message length across
// the padding's one- and two-block cases and several blocks, with bytes of every
// value, through every compression path. Built only where OpenSSL is installed.
#include <openssl/sha.h>

#include <random>
#include <string>

#include "check.hpp"
#include "sha256_paths.hpp"
#include "text/sha256.hpp"

using namespace velkin::text;

TEST(sha256_agrees_with_openssl_on_every_length_up_to_five_blocks_and_on_long_messages) {
    std::mt19937 rng(5);
    std::uniform_int_distribution<int> byte(0, 255);
    auto check_length = [&](size_t length) {
        std::string message(length, '\0');
        for (char& c : message) c = static_cast<char>(byte(rng));
        Digest expected;
        SHA256(reinterpret_cast<const unsigned char*>(message.data()), message.size(), expected.data());
        for (detail::Sha256Blocks path : sha256_paths())
            if (detail::sha256_through(message, path) != expected) CHECK_EQ(length, 0u);
    };
    for (size_t length = 0; length <= 5 * 64; ++length)
        for (int round = 0; round < 4; ++round) check_length(length);
    for (size_t length : {4095u, 65536u, 1000003u}) check_length(length);
}
