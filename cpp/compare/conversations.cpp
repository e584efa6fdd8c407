#include "compare/conversations.hpp"

#include <unordered_map>

#include "compare/engine.hpp"
#include "json/writer.hpp"

namespace velkin::compare {

namespace {

using agentlog::Kind;
using agentlog::Record;

const std::string* trace_id_member(const Record& record) {
    if (!record.meta) return nullptr;
    const json::Value* id = record.meta->get("trace_id");
    return id ? id->as_string() : nullptr;
}

constexpr size_t UNRESOLVED = static_cast<size_t>(-1);
constexpr size_t IN_PROGRESS = static_cast<size_t>(-2);

std::string text_content(const json::Value& content) {
    if (const std::string* text = content.as_string()) return *text;
    if (const json::Array* blocks = content.as_array()) {
        std::string joined;
        bool first = true;
        for (const json::Value& block : *blocks) {
            const json::Value* piece = block.get("text");
            const std::string* text = piece ? piece->as_string() : nullptr;
            if (!text) continue;
            if (!first) joined.push_back(' ');
            joined += *text;
            first = false;
        }
        if (!first) return joined;
    }
    return json::to_compact(content);
}

}  // namespace

std::vector<Conversation> group_conversations(std::vector<Record>& run) {
    const size_t count = run.size();
    // Built at the first record that has to follow its parent: where every
    // record carries its trace id, none does.
    std::unordered_map<std::string_view, size_t> by_id;
    auto parent_of = [&](const Record& record) {
        if (!record.parent) return UNRESOLVED;
        if (by_id.empty()) {
            by_id.reserve(count);
            for (size_t i = 0; i < count; ++i) by_id.emplace(run[i].id, i);
        }
        auto parent = by_id.find(*record.parent);
        return parent == by_id.end() ? UNRESOLVED : parent->second;
    };

    // A group is named by its trace id or by the id of its root record; the
    // names point into the records, which stay in place until grouped.
    std::unordered_map<std::string_view, size_t> by_trace, by_root;
    size_t groups = 0;
    auto group_named = [&](std::unordered_map<std::string_view, size_t>& names, std::string_view name) {
        // A name met again allocates nothing, as emplace would (a node, built before the look-up).
        auto [it, inserted] = names.try_emplace(name, groups);
        if (inserted) ++groups;
        return it->second;
    };
    std::vector<size_t> group(count, UNRESOLVED);
    std::vector<size_t> chain;
    for (size_t start = 0; start < count; ++start) {
        if (group[start] != UNRESOLVED) continue;
        chain.clear();
        size_t at = start;
        size_t found = UNRESOLVED;
        for (;;) {
            if (group[at] != UNRESOLVED && group[at] != IN_PROGRESS) {
                found = group[at];
                break;
            }
            if (group[at] == IN_PROGRESS) {  // a parent cycle: the record reached again is the root
                found = group_named(by_root, run[at].id);
                break;
            }
            group[at] = IN_PROGRESS;
            chain.push_back(at);
            if (const std::string* trace = trace_id_member(run[at])) {
                found = group_named(by_trace, *trace);
                break;
            }
            const size_t parent = parent_of(run[at]);
            if (parent == UNRESOLVED) {
                found = group_named(by_root, run[at].id);
                break;
            }
            at = parent;
        }
        for (size_t i : chain) group[i] = found;
    }

    // Numbered in order of first record. Each conversation's records are put
    // together in the run itself: copied into storage of their own, every record
    // would be held twice, in fresh memory, until the run's went.
    std::vector<size_t> order(groups, UNRESOLVED);
    std::vector<size_t> sizes;
    for (size_t i = 0; i < count; ++i) {
        size_t& slot = order[group[i]];
        if (slot == UNRESOLVED) {
            slot = sizes.size();
            sizes.push_back(0);
        }
        ++sizes[slot];
    }
    std::vector<Conversation> conversations(sizes.size());
    std::vector<size_t> next(sizes.size());  // where each conversation's next record goes
    for (size_t c = 0, at = 0; c < sizes.size(); at += sizes[c], ++c) {
        next[c] = at;
        conversations[c].positions.reserve(sizes[c]);
    }
    std::vector<size_t>& destination = group;  // each record's place, over its group no longer needed
    for (size_t i = 0; i < count; ++i) {
        const size_t c = order[group[i]];
        conversations[c].positions.push_back(i);
        destination[i] = next[c]++;
    }
    // Each swap puts a record where it goes; a run read conversation after conversation moves none.
    for (size_t i = 0; i < count; ++i) {
        while (destination[i] != i) {
            const size_t j = destination[i];
            std::swap(run[i], run[j]);
            std::swap(destination[i], destination[j]);
        }
    }
    for (size_t c = 0, at = 0; c < sizes.size(); at += sizes[c], ++c) {
        conversations[c].records = std::span<Record>(run.data() + at, sizes[c]);
        conversations[c].id = trace_id_of(conversations[c].records);
    }
    return conversations;
}

const json::Value* metadata_member(const Conversation& conversation, std::string_view name) {
    for (const Record& record : conversation.records) {
        if (record.kind != Kind::Metadata) continue;
        if (const json::Value* member = record.payload.get(name)) return member;
    }
    for (const Record& record : conversation.records) {
        if (!record.meta) continue;
        if (const json::Value* member = record.meta->get(name)) return member;
    }
    return nullptr;
}

std::string key_text(const json::Value& value) {
    if (const std::string* text = value.as_string()) return *text;
    return json::to_compact(value);
}

std::optional<std::string> first_request_text(const Conversation& conversation) {
    for (const Record& record : conversation.records) {
        if (record.kind != Kind::ChatRequest) continue;
        const json::Value* messages = record.payload.get("messages");
        if (const json::Array* list = messages ? messages->as_array() : nullptr) {
            for (const json::Value& message : *list) {
                const json::Value* role = message.get("role");
                const std::string* name = role ? role->as_string() : nullptr;
                const json::Value* content = message.get("content");
                if (name && *name == "user" && content) return text_content(*content);
            }
        }
        return json::to_compact(record.payload);
    }
    return std::nullopt;
}

}  // namespace velkin::compare
