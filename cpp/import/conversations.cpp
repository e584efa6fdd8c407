#include "import/conversations.hpp"

#include <algorithm>
#include <thread>
#include <vector>

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
    // Conversations are written independently; threads take consecutive ranges and the
    // texts are joined in order, so the bytes do not depend on the thread count.
    constexpr size_t CONVERSATIONS_PER_THREAD = 256;
    constexpr unsigned MAX_THREADS = 8;
    unsigned available = std::max(1u, std::min(MAX_THREADS, std::thread::hardware_concurrency()));
    size_t parts = std::max<size_t>(1, std::min<size_t>(available, list_.size() / CONVERSATIONS_PER_THREAD));
    std::vector<std::string> texts(parts);
    std::vector<size_t> records(parts, 0);
    auto write_part = [&](size_t part) {
        size_t begin = list_.size() * part / parts, end = list_.size() * (part + 1) / parts;
        for (size_t i = begin; i < end; ++i) records[part] += list_[i].write(texts[part]);
    };
    std::vector<std::thread> threads;
    for (size_t part = 1; part < parts; ++part) threads.emplace_back(write_part, part);
    write_part(0);
    for (std::thread& thread : threads) thread.join();
    size_t total = out.size();
    for (const std::string& text : texts) total += text.size();
    out.reserve(total);
    for (size_t part = 0; part < parts; ++part) {
        out += texts[part];
        summary.records += records[part];
    }
    summary.conversations += list_.size();
    list_.clear();
    index_.clear();
}

std::string derived_trace_id(std::string_view text) { return text::hex(text::sha256(text), 16); }

}  // namespace velkin::imports
