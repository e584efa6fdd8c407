#pragma once
// Well-formedness of UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
#include <string_view>

namespace velkin::text {

bool is_valid_utf8(std::string_view bytes);

namespace detail {
// The byte-at-a-time check; is_valid_utf8 uses vector lookups where the processor has them.
bool is_valid_utf8_scalar(std::string_view bytes);
}  // namespace detail

}  // namespace velkin::text
