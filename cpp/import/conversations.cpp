#include "import/conversations.hpp"

#include "text/sha256.hpp"

namespace velkin::imports {

Conversation& Conversations::open(std::string_view source, const std::string& trace_id) {
    auto [at, inserted] = index_.try_emplace(trace_id, list_.size());
    if (inserted) list_.emplace_back(source, trace_id);
    return list_[at->second];
}

Conversation* Conversations::find(const std::string& trace_id) {
    auto at = index_.find(trace_id);
    return at == index_.end() ? nullptr : &list_[at->second];
}

std::string Conversations::unused_id(const std::string& base) const {
    if (!index_.count(base)) return base;
    for (size_t n = 2;; ++n) {
        std::string id = base + "-" + std::to_string(n);
        if (!index_.count(id)) return id;
    }
}

void Conversations::write(std::string& out, Summary& summary) {
    for (Conversation& conversation : list_) {
        summary.records += conversation.write(out);
        ++summary.conversations;
    }
    list_.clear();
    index_.clear();
}

std::string derived_trace_id(std::string_view text) { return text::hex(text::sha256(text), 16); }

}  // namespace velkin::imports
