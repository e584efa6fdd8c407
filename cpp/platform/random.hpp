#pragma once
// Random bytes from the operating system, for the seeds of unseeded runs.
#include <cstdint>
#include <optional>
#include <span>

#include "platform/result.hpp"

namespace velkin::platform {

// Fills `out`; the error, if the system could not, says why in its own words.
std::optional<Error> fill_random(std::span<uint8_t> out);

}  // namespace velkin::platform
