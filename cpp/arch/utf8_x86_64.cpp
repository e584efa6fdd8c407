// The SSSE3 path of UTF-8 validation: sixteen bytes at a time, each byte
// classified by table lookups; gives valid_utf8_reference's answer.
#include "arch/kernels.hpp"

#if defined(VELKIN_WIDE_PATHS)

#include <immintrin.h>

#include <cstring>

namespace velkin::arch {

namespace {

// Every two-byte window is classified by three 16-entry tables (high and low
// nibble of the first byte, high nibble of the second); a non-zero AND of the
// three names an error, except the "two continuations" bit, which must be set
// exactly where a three- or four-byte sequence needs its third or fourth byte.
constexpr uint8_t TOO_SHORT = 1 << 0;
constexpr uint8_t TOO_LONG = 1 << 1;
constexpr uint8_t OVERLONG_3 = 1 << 2;
constexpr uint8_t TOO_LARGE = 1 << 3;
constexpr uint8_t SURROGATE = 1 << 4;
constexpr uint8_t OVERLONG_2 = 1 << 5;
constexpr uint8_t TOO_LARGE_1000 = 1 << 6;
constexpr uint8_t OVERLONG_4 = 1 << 6;
constexpr uint8_t TWO_CONTS = 1 << 7;
constexpr uint8_t CARRY = TOO_SHORT | TOO_LONG | TWO_CONTS;

__attribute__((target("ssse3"))) inline __m128i table(const uint8_t (&t)[16]) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(t));
}

__attribute__((target("ssse3"))) inline __m128i high_nibbles(__m128i v) {
    return _mm_and_si128(_mm_srli_epi16(v, 4), _mm_set1_epi8(0x0F));
}

}  // namespace

__attribute__((target("ssse3"))) bool valid_utf8_ssse3(std::string_view bytes) {
    // clang-format off: the tables are laid out by nibble groups.
    static const uint8_t byte_1_high[16] = {
        TOO_LONG, TOO_LONG, TOO_LONG, TOO_LONG, TOO_LONG, TOO_LONG, TOO_LONG, TOO_LONG,
        TWO_CONTS, TWO_CONTS, TWO_CONTS, TWO_CONTS,
        TOO_SHORT | OVERLONG_2,
        TOO_SHORT,
        TOO_SHORT | OVERLONG_3 | SURROGATE,
        TOO_SHORT | TOO_LARGE | TOO_LARGE_1000 | OVERLONG_4,
    };
    static const uint8_t byte_1_low[16] = {
        CARRY | OVERLONG_3 | OVERLONG_2 | OVERLONG_4,
        CARRY | OVERLONG_2,
        CARRY,
        CARRY,
        CARRY | TOO_LARGE,
        CARRY | TOO_LARGE | TOO_LARGE_1000,
        CARRY | TOO_LARGE | TOO_LARGE_1000,
        CARRY | TOO_LARGE | TOO_LARGE_1000,
        CARRY | TOO_LARGE | TOO_LARGE_1000,
        CARRY | TOO_LARGE | TOO_LARGE_1000,
        CARRY | TOO_LARGE | TOO_LARGE_1000,
        CARRY | TOO_LARGE | TOO_LARGE_1000,
        CARRY | TOO_LARGE | TOO_LARGE_1000,
        CARRY | TOO_LARGE | TOO_LARGE_1000 | SURROGATE,
        CARRY | TOO_LARGE | TOO_LARGE_1000,
        CARRY | TOO_LARGE | TOO_LARGE_1000,
    };
    static const uint8_t byte_2_high[16] = {
        TOO_SHORT, TOO_SHORT, TOO_SHORT, TOO_SHORT, TOO_SHORT, TOO_SHORT, TOO_SHORT, TOO_SHORT,
        TOO_LONG | OVERLONG_2 | TWO_CONTS | OVERLONG_3 | TOO_LARGE_1000 | OVERLONG_4,
        TOO_LONG | OVERLONG_2 | TWO_CONTS | OVERLONG_3 | TOO_LARGE,
        TOO_LONG | OVERLONG_2 | TWO_CONTS | SURROGATE | TOO_LARGE,
        TOO_LONG | OVERLONG_2 | TWO_CONTS | SURROGATE | TOO_LARGE,
        TOO_SHORT, TOO_SHORT, TOO_SHORT, TOO_SHORT,
    };
    // clang-format on
    // Saturating subtraction leaves a non-zero byte where a sequence started in
    // the last three bytes still needs continuation bytes.
    static const uint8_t incomplete_limits[16] = {255, 255, 255, 255, 255, 255,  255,  255,
                                                  255, 255, 255, 255, 255, 0xEF, 0xDF, 0xBF};
    const __m128i t1h = table(byte_1_high), t1l = table(byte_1_low), t2h = table(byte_2_high);
    const __m128i limits = table(incomplete_limits);

    const char* p = bytes.data();
    size_t remaining = bytes.size();
    __m128i previous = _mm_setzero_si128();
    __m128i error = _mm_setzero_si128();
    __m128i previous_incomplete = _mm_setzero_si128();
    while (remaining > 0) {
        // Runs of ASCII, most of nearly any text, sixty-four bytes at a time: each block of them would only
        // take up what the block before left incomplete.
        while (remaining >= 64) {
            const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
            const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16));
            const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 32));
            const __m128i d = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 48));
            if (_mm_movemask_epi8(_mm_or_si128(_mm_or_si128(a, b), _mm_or_si128(c, d))) != 0) break;
            error = _mm_or_si128(error, previous_incomplete);
            previous_incomplete = _mm_setzero_si128();
            previous = d;
            p += 64;
            remaining -= 64;
        }
        if (remaining == 0) break;
        __m128i input;
        if (remaining >= 16) {
            input = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
            p += 16;
            remaining -= 16;
        } else {
            alignas(16) char tail[16] = {};
            std::memcpy(tail, p, remaining);
            input = _mm_load_si128(reinterpret_cast<const __m128i*>(tail));
            remaining = 0;
        }
        if (_mm_movemask_epi8(input) == 0) {
            error = _mm_or_si128(error, previous_incomplete);
            previous_incomplete = _mm_setzero_si128();
        } else {
            __m128i prev1 = _mm_alignr_epi8(input, previous, 15);
            __m128i special = _mm_and_si128(
                _mm_and_si128(_mm_shuffle_epi8(t1h, high_nibbles(prev1)),
                              _mm_shuffle_epi8(t1l, _mm_and_si128(prev1, _mm_set1_epi8(0x0F)))),
                _mm_shuffle_epi8(t2h, high_nibbles(input)));
            __m128i prev2 = _mm_alignr_epi8(input, previous, 14);
            __m128i prev3 = _mm_alignr_epi8(input, previous, 13);
            __m128i third = _mm_subs_epu8(prev2, _mm_set1_epi8(static_cast<char>(0xE0 - 0x80)));
            __m128i fourth = _mm_subs_epu8(prev3, _mm_set1_epi8(static_cast<char>(0xF0 - 0x80)));
            __m128i must_continue = _mm_and_si128(_mm_or_si128(third, fourth), _mm_set1_epi8(static_cast<char>(0x80)));
            error = _mm_or_si128(error, _mm_xor_si128(must_continue, special));
            previous_incomplete = _mm_subs_epu8(input, limits);
        }
        previous = input;
    }
    error = _mm_or_si128(error, previous_incomplete);
    return _mm_movemask_epi8(_mm_cmpeq_epi8(error, _mm_setzero_si128())) == 0xFFFF;
}

}  // namespace velkin::arch

#endif
