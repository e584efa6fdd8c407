#pragma once
// How the run comparison writes names and numbers into its findings and advice.
#include <string>
#include <string_view>

namespace velkin::compare {

inline std::string quoted(std::string_view name) { return "`" + std::string(name) + "`"; }

}  // namespace velkin::compare
