#pragma once
// The conversations of one import, in the order they were first seen.
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "import/conversation.hpp"
#include "import/import.hpp"
#include "platform/result.hpp"

namespace velkin::imports {

class Conversations {
public:
    // The conversation with this trace id, created on first use.
    Conversation& open(std::string_view source, const std::string& trace_id);
    // A trace id no conversation has yet: `base`, else the first of `base` with "-2", "-3", ...
    // that none has.
    std::string unused_id(const std::string& base);
    // Every conversation's lines, in order, as consecutive pieces of `pieces`; the error names the
    // first record the trace reader could not read back.
    std::optional<Error> write(std::vector<std::string>& pieces, Summary& summary);

private:
    Conversation& nth(size_t index) { return blocks_[index / BLOCK][index % BLOCK]; }

    // Blocks that never grow past BLOCK keep references stable as the list grows, and each
    // takes one allocation for many conversations.
    static constexpr size_t BLOCK = 64;
    std::vector<std::vector<Conversation>> blocks_;
    size_t count_ = 0;
    std::unordered_map<std::string_view, size_t> index_;  // by trace id, each key the conversation's own
    // Per base, the suffix number its last unused id had: every number below it is taken, and
    // ids are never given back, so the next search starts there (1 stands for `base` itself).
    std::unordered_map<std::string, size_t> next_suffix_;
};

// The first 32 hexadecimal digits of the SHA-256 of `text`: the length of an OpenTelemetry trace id.
std::string derived_trace_id(std::string_view text);

}  // namespace velkin::imports
