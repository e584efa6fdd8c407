#include <string>

#include "check.hpp"
#include "text/sha256.hpp"

using namespace velkin::text;

// Digests from the FIPS 180-4 examples; content ids are checked against another implementation in Python.
TEST(sha256_known_digests) {
    CHECK_EQ(hex(sha256("abc")), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    CHECK_EQ(hex(sha256("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq")),
             "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
}

TEST(hex_of_a_prefix_pads_each_byte) {
    Digest digest{};
    digest[0] = 0x0f, digest[1] = 0xa0, digest[2] = 0x05;
    CHECK_EQ(hex(digest, 3), "0fa005");
    CHECK_EQ(hex(digest, 0), "");
    CHECK_EQ(hex(digest).size(), 64u);
    CHECK_EQ(hex(digest, 99).size(), 64u);
}
