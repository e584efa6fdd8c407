#pragma once
// What the trace reader reads back: every line the importers write is held to the
// reader's own limits, so that an input the format cannot hold is refused, not written.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace velkin::imports {

// Why the reader would refuse this line (its line feed included), e.g. "its line would nest
// arrays and objects 130 deep, more than the 127 levels ..."; nothing when it reads it.
std::optional<std::string> unreadable_line(std::string_view line);
// The same for a whole trace of `bytes`.
std::optional<std::string> unreadable_trace(uint64_t bytes);

}  // namespace velkin::imports
