#include "import/conversations.hpp"

#include <string>
#include <vector>

#include "import/parallel.hpp"
#include "platform/interrupt.hpp"
#include "text/sha256.hpp"

namespace velkin::imports {

Conversation& Conversations::open(std::string_view source, const std::string& trace_id) {
    if (auto found = index_.find(trace_id); found != index_.end()) return nth(found->second);
    if (count_ % BLOCK == 0) blocks_.emplace_back().reserve(BLOCK);
    Conversation& conversation = blocks_.back().emplace_back(source, trace_id);
    index_.emplace(conversation.trace_id(), count_++);
    return conversation;
}

std::string Conversations::unused_id(const std::string& base) {
    size_t& n = next_suffix_.try_emplace(base, 1).first->second;
    for (;; ++n) {
        std::string id = n == 1 ? base : base + "-" + std::to_string(n);
        if (!index_.count(id)) return id;
    }
}

std::optional<Error> Conversations::write(std::vector<std::string>& pieces, Summary& summary) {
    // Conversations are written independently, consecutive ranges on several threads.
    constexpr size_t CONVERSATIONS_PER_PART = 256;
    size_t parts = part_count(count_, CONVERSATIONS_PER_PART);
    size_t first = pieces.size();
    pieces.resize(first + 2 * count_);
    std::vector<size_t> records(parts, 0);
    std::vector<std::optional<Error>> unreadable(parts);  // each part's first
    run_parts(parts, [&](size_t part) {
        size_t begin = count_ * part / parts, end = count_ * (part + 1) / parts;
        for (size_t i = begin; i < end; ++i) {
            platform::check_interrupt();
            // Let go once written, while its memory is still in cache and on this part's thread.
            Conversation conversation = std::move(nth(i));
            records[part] += conversation.write(pieces[first + 2 * i], pieces[first + 2 * i + 1]);
            if (!unreadable[part] && !conversation.unreadable().empty())
                unreadable[part] = Error{conversation.unreadable()};
        }
    });
    for (size_t count : records) summary.records += count;
    summary.conversations += count_;
    index_.clear();  // its keys view the conversations' ids
    blocks_.clear();
    count_ = 0;
    next_suffix_.clear();
    for (std::optional<Error>& error : unreadable) {
        if (error) return std::move(error);
    }
    return std::nullopt;
}

std::string derived_trace_id(std::string_view text) { return text::hex(text::sha256(text), 16); }

}  // namespace velkin::imports
