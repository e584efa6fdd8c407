// Each UTF-8 validation path against the byte-at-a-time reference, on every
// short sequence shape and on random mixtures, at every alignment; the SSSE3
// path is skipped where the processor lacks it.
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "arch/kernels.hpp"
#include "check.hpp"

using namespace velkin::arch;

namespace {

// The paths this machine runs besides the reference: the chosen one, and each named one it can run.
std::vector<bool (*)(std::string_view)> fast_paths() {
    std::vector<bool (*)(std::string_view)> paths = {valid_utf8};
#if defined(VELKIN_WIDE_PATHS)
    if (wide_paths().utf8_lookup) paths.push_back(valid_utf8_ssse3);
#endif
    return paths;
}

void check_paths_agree(std::string_view text) {
    const bool expected = valid_utf8_reference(text);
    for (auto path : fast_paths()) CHECK_EQ(path(text), expected);
}

}  // namespace

TEST(known_sequences) {
    const char* bad[] = {"\xC0\xAF",         "\xC1\xBF",         "\xED\xA0\x80", "\xF4\x90\x80\x80",
                         "\xF5\x80\x80\x80", "\xE2\x82",         "\x80",         "\xFF",
                         "\xE0\x9F\xBF",     "\xF0\x8F\xBF\xBF", "a\xC3"};
    for (const char* bytes : bad) {
        CHECK(!valid_utf8_reference(bytes));
        for (auto path : fast_paths()) CHECK(!path(bytes));
    }
    const char* good = "plain ascii, then \xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80 \xED\x9F\xBF \xF4\x8F\xBF\xBF";
    CHECK(valid_utf8_reference(good));
    for (auto path : fast_paths()) CHECK(path(good));
}

TEST(every_two_and_three_byte_prefix_agrees_at_every_offset) {
    // Long enough that the sequences both follow and precede a run of ASCII that the fast paths skip whole.
    std::string padding(100, 'x');
    for (int a = 0x80; a < 0x100; ++a) {
        for (int b = 0x00; b < 0x100; b += 3) {
            for (int c : {0x41, 0x80, 0x9F, 0xA0, 0xBF, 0xC0}) {
                std::string sequence = {static_cast<char>(a), static_cast<char>(b), static_cast<char>(c)};
                for (size_t offset : {0, 13, 14, 15, 16, 29, 63, 64, 79}) {
                    check_paths_agree(padding.substr(0, offset) + sequence + padding.substr(0, 100 - offset));
                    check_paths_agree(padding.substr(0, offset) + sequence.substr(0, 2));
                }
            }
        }
    }
}

TEST(random_mixtures_agree) {
    std::mt19937 random(7);
    const std::string pieces[] = {"a",    "\xC3\xA9",     "\xE2\x82\xAC",     "\xF0\x9F\x98\x80", "\x80",
                                  "\xC3", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\xE0\x80\x80",     " "};
    for (int round = 0; round < 20000; ++round) {
        std::string text;
        int length = static_cast<int>(random() % 40);
        for (int i = 0; i < length; ++i) {
            // Mostly well-formed pieces, so that some texts are valid.
            unsigned pick = random() % 100;
            text += pieces[pick < 90 ? pick % 4 : 4 + pick % 6];
        }
        check_paths_agree(text);
    }
}
