#include "import/readable.hpp"

#include <algorithm>

#include "agentlog/parser.hpp"
#include "arch/bytes.hpp"
#include "json/reader.hpp"

namespace velkin::imports {

namespace {

constexpr size_t MAX_NESTING = static_cast<size_t>(json::MAX_NESTING);

// The deepest nesting of arrays and objects in a line of compact JSON.
size_t nesting(std::string_view line) {
    // Every opening bracket, those inside strings too, bounds the depth; lines are seldom near it.
    size_t openings = 0, i = 0;
    while (i + 16 <= line.size() && openings <= MAX_NESTING) {
        // Each lane counts its matches, up to 127 before it would wrap.
        arch::Bytes16 counts{};
        for (int step = 0; step < 127 && i + 16 <= line.size(); ++step, i += 16) {
            const arch::Bytes16 chunk = arch::load16(line.data() + i);
            counts -= (chunk == arch::splat16('[')) | (chunk == arch::splat16('{'));
        }
        for (int lane = 0; lane < 16; ++lane) openings += static_cast<size_t>(counts[lane]);
    }
    for (; i < line.size(); ++i) openings += static_cast<size_t>(line[i] == '[' || line[i] == '{');
    if (openings <= MAX_NESTING) return openings;
    size_t depth = 0, deepest = 0;
    bool in_string = false;
    for (size_t i = 0; i < line.size(); ++i) {
        char c = line[i];
        if (in_string) {
            if (c == '\\')
                ++i;
            else if (c == '"')
                in_string = false;
        } else if (c == '"') {
            in_string = true;
        } else if (c == '[' || c == '{') {
            deepest = std::max(deepest, ++depth);
        } else if (c == ']' || c == '}') {
            --depth;
        }
    }
    return deepest;
}

}  // namespace

std::optional<std::string> unreadable_line(std::string_view line) {
    uint64_t limit = agentlog::Parser{}.max_line_bytes;
    if (line.size() > limit)
        return "its line would be " + std::to_string(line.size()) + " bytes, more than the " + std::to_string(limit) +
               " (16 MiB) an .agentlog line may hold";
    if (size_t depth = nesting(line); depth > MAX_NESTING)
        return "its line would nest arrays and objects " + std::to_string(depth) + " deep, more than the " +
               std::to_string(MAX_NESTING) + " levels an .agentlog line may hold";
    return std::nullopt;
}

std::optional<std::string> unreadable_trace(uint64_t bytes) {
    uint64_t limit = agentlog::Parser{}.max_total_bytes;
    if (bytes <= limit) return std::nullopt;
    return "the trace would be " + std::to_string(bytes) + " bytes, more than the " + std::to_string(limit) +
           " (1 GiB) an .agentlog trace may hold";
}

}  // namespace velkin::imports
