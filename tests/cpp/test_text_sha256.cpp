#include <string>

#include "check.hpp"
#include "sha256_paths.hpp"
#include "text/sha256.hpp"

using namespace velkin::text;

// The examples of FIPS 180-4 and NIST's further SHA-256 examples: the one- and two-block messages, the
// empty message, and a million bytes, through every compression path; test_text_sha256_openssl covers
// every padding length.
TEST(sha256_known_digests) {
    for (detail::Sha256Blocks path : sha256_paths()) {
        auto digest = [&](const std::string& message) { return hex(detail::sha256_through(message, path)); };
        CHECK_EQ(digest("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
        CHECK_EQ(digest("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
                 "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
        CHECK_EQ(digest(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
        CHECK_EQ(digest("abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopq"
                        "rsmnopqrstnopqrstu"),
                 "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1");
        CHECK_EQ(digest(std::string(1000000, 'a')), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
    }
    CHECK_EQ(hex(sha256("abc")), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

TEST(hex_of_a_prefix_pads_each_byte) {
    Digest digest{};
    digest[0] = 0x0f, digest[1] = 0xa0, digest[2] = 0x05;
    CHECK_EQ(hex(digest, 3), "0fa005");
    CHECK_EQ(hex(digest, 0), "");
    CHECK_EQ(hex(digest).size(), 64u);
    CHECK_EQ(hex(digest, 99).size(), 64u);
}
