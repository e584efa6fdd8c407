#pragma once
// How the run comparison writes names and numbers into its findings and advice.
#include <string>
#include <string_view>

namespace velkin::compare {

// Appended piece by piece: GCC 12 mistakes "`" + std::string(...) for an overlapping copy (-Wrestrict).
inline std::string quoted(std::string_view name) {
    std::string text;
    text.reserve(name.size() + 2);
    text.append("`").append(name).append("`");
    return text;
}

}  // namespace velkin::compare
