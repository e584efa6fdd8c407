#pragma once
// Well-formedness of UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
#include <string_view>

#include "arch/kernels.hpp"

namespace velkin::text {

// Vector lookups where the processor has them (arch/utf8_x86_64.cpp), a byte at a time elsewhere.
inline bool is_valid_utf8(std::string_view bytes) { return arch::valid_utf8(bytes); }

}  // namespace velkin::text
