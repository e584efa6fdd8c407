// UTF-8 validation: the byte-at-a-time reference, and the choice of path.
#include <cstring>

#include "arch/kernels.hpp"

namespace velkin::arch {

bool valid_utf8_reference(std::string_view bytes) {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    const auto* end = p + bytes.size();
    auto continuation = [](unsigned char b) { return (b & 0xC0) == 0x80; };
    while (p < end) {
        if (end - p >= 8) {
            uint64_t word;
            std::memcpy(&word, p, 8);
            if ((word & 0x8080808080808080ull) == 0) {
                p += 8;
                continue;
            }
        }
        unsigned char c = *p;
        size_t remaining = static_cast<size_t>(end - p);
        if (c < 0x80) {
            p += 1;
        } else if (c >= 0xC2 && c <= 0xDF) {
            if (remaining < 2 || !continuation(p[1])) return false;
            p += 2;
        } else if (c >= 0xE0 && c <= 0xEF) {
            if (remaining < 3 || !continuation(p[1]) || !continuation(p[2])) return false;
            if (c == 0xE0 && p[1] < 0xA0) return false;   // overlong
            if (c == 0xED && p[1] >= 0xA0) return false;  // surrogate
            p += 3;
        } else if (c >= 0xF0 && c <= 0xF4) {
            if (remaining < 4 || !continuation(p[1]) || !continuation(p[2]) || !continuation(p[3])) return false;
            if (c == 0xF0 && p[1] < 0x90) return false;   // overlong
            if (c == 0xF4 && p[1] >= 0x90) return false;  // above U+10FFFF
            p += 4;
        } else {
            return false;
        }
    }
    return true;
}

bool valid_utf8(std::string_view bytes) {
#if defined(VELKIN_WIDE_PATHS)
    if (wide_paths().utf8_lookup) return valid_utf8_ssse3(bytes);
#endif
    return valid_utf8_reference(bytes);
}

}  // namespace velkin::arch
