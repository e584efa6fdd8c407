#include "import/continuation.hpp"

#include <algorithm>
#include <cstring>
#include <limits>
#include <map>
#include <unordered_map>

#include "text/sha256.hpp"

namespace velkin::imports {

namespace {

constexpr size_t NONE = std::numeric_limits<size_t>::max();

struct FingerprintHash {
    size_t operator()(const Fingerprint& f) const {
        size_t h;
        std::memcpy(&h, f.data(), sizeof h);
        return h;
    }
};

std::string_view bytes_of(const Fingerprint& f) { return {reinterpret_cast<const char*>(f.data()), f.size()}; }

std::string hex_of(const Fingerprint& f) {
    static constexpr char HEX[] = "0123456789abcdef";
    std::string out;
    for (uint8_t byte : f) {
        out += HEX[byte >> 4];
        out += HEX[byte & 15];
    }
    return out;
}

// Calls that could be continued, by what a continuing call looks for, in input order. Calls are
// only ever marked continued, so the first one not yet continued is found from where the last
// search stopped.
struct Candidates {
    std::vector<size_t> calls;
    size_t first_free = 0;
};

// The history's fingerprint, and the answer's gist and the identifiers when given.
std::string candidate_key(const Fingerprint& history, const Fingerprint* answer, const std::string* identifiers) {
    std::string key(bytes_of(history));
    key += answer ? '\1' : '\0';
    if (answer) key += bytes_of(*answer);
    key += identifiers ? '\1' : '\0';
    if (identifiers) key += *identifiers;
    return key;
}

// Of `list`, the first call not continued yet, else the first; never `child`.
size_t first_of(Candidates& list, size_t child, const std::vector<bool>& continued) {
    while (list.first_free < list.calls.size() && continued[list.calls[list.first_free]]) ++list.first_free;
    for (size_t k = list.first_free; k < list.calls.size(); ++k) {
        if (list.calls[k] != child && !continued[list.calls[k]]) return list.calls[k];
    }
    for (size_t call : list.calls) {
        if (call != child) return call;
    }
    return NONE;
}

}  // namespace

std::vector<size_t> parent_calls(const std::vector<CallLinks>& calls) {
    std::unordered_map<std::string, Candidates> candidates;
    std::unordered_map<std::string_view, size_t> by_response;
    for (size_t i = 0; i < calls.size(); ++i) {
        const CallLinks& call = calls[i];
        // A call chained to a previous response sends only its new items: no history to extend.
        if (call.previous_response_id.empty()) {
            const Fingerprint& history = call.prefixes.back();
            for (const std::string& key :
                 {candidate_key(history, nullptr, nullptr), candidate_key(history, &call.answer_gist, nullptr),
                  candidate_key(history, nullptr, &call.identifiers),
                  candidate_key(history, &call.answer_gist, &call.identifiers)})
                candidates[key].calls.push_back(i);
        }
        if (!call.response_id.empty()) by_response.try_emplace(call.response_id, i);
    }
    std::vector<size_t> parent(calls.size(), NONE);
    std::vector<bool> continued(calls.size(), false);
    for (size_t i = 0; i < calls.size(); ++i) {
        const CallLinks& call = calls[i];
        if (!call.previous_response_id.empty()) {
            auto at = by_response.find(call.previous_response_id);
            if (at != by_response.end() && at->second != i) parent[i] = at->second;
            continue;
        }
        // The longest earlier history this one extends by at least one message; among the calls of
        // that history, the one whose answer was sent back, then the one with the same identifiers,
        // then one no other call continues yet, then the first.
        for (size_t length = call.prefixes.size() - 1; length-- > 1;) {
            const Fingerprint& history = call.prefixes[length];
            if (!candidates.count(candidate_key(history, nullptr, nullptr))) continue;
            size_t found = NONE;
            for (const std::string& key :
                 {candidate_key(history, &call.gists[length], &call.identifiers),
                  candidate_key(history, &call.gists[length], nullptr),
                  candidate_key(history, nullptr, &call.identifiers), candidate_key(history, nullptr, nullptr)}) {
                auto at = candidates.find(key);
                if (at != candidates.end()) found = first_of(at->second, i, continued);
                if (found != NONE) break;
            }
            if (found == NONE) continue;
            parent[i] = found;
            continued[found] = true;
            break;
        }
    }
    return parent;
}

namespace {

struct Tree {
    std::vector<size_t> root, depth;
    std::vector<size_t> named_by;  // the call whose explicit id the call's conversation carries, or NONE
};

// Roots and depths along the parent links; a cycle (possible only through response ids) is cut at its earliest call.
Tree resolve(const std::vector<CallLinks>& calls, std::vector<size_t>& parent) {
    size_t n = calls.size();
    Tree tree{std::vector<size_t>(n, NONE), std::vector<size_t>(n, 0), std::vector<size_t>(n, NONE)};
    enum : uint8_t { NEW, ON_PATH, DONE };
    std::vector<uint8_t> state(n, NEW);
    std::vector<size_t> path;
    size_t start = 0;
    while (start < n) {
        if (state[start] == DONE) {
            ++start;
            continue;
        }
        path.clear();
        size_t at = start;
        while (at != NONE && state[at] == NEW) {
            state[at] = ON_PATH;
            path.push_back(at);
            at = parent[at];
        }
        if (at != NONE && state[at] == ON_PATH) {
            auto from = std::find(path.begin(), path.end(), at);
            parent[*std::min_element(from, path.end())] = NONE;
            for (size_t p : path) state[p] = NEW;
            continue;
        }
        for (auto it = path.rbegin(); it != path.rend(); ++it) {
            size_t p = *it, up = parent[p];
            tree.root[p] = up == NONE ? p : tree.root[up];
            tree.depth[p] = up == NONE ? 0 : tree.depth[up] + 1;
            tree.named_by[p] = !calls[p].explicit_id.empty() ? p : up == NONE ? NONE : tree.named_by[up];
            state[p] = DONE;
        }
    }
    return tree;
}

// Names for the groups not named by their lines: the fingerprint of the first request, told
// apart from look-alikes by identifiers or content.
void name_groups(const std::vector<CallLinks>& calls, const Tree& tree, std::vector<CallGroup>& groups) {
    std::map<Fingerprint, std::vector<size_t>> by_first_request;
    for (size_t g = 0; g < groups.size(); ++g) {
        if (groups[g].named_by_line) continue;
        by_first_request[calls[tree.root[groups[g].calls.front()]].prefixes.back()].push_back(g);
    }
    for (const auto& [first_request, alike] : by_first_request) {
        if (alike.size() == 1) {
            groups[alike.front()].name = hex_of(first_request);
            continue;
        }
        std::vector<std::string> identifiers;
        for (size_t g : alike) identifiers.push_back(calls[tree.root[groups[g].calls.front()]].identifiers);
        std::vector<std::string> sorted = identifiers;
        std::sort(sorted.begin(), sorted.end());
        bool told_apart = std::adjacent_find(sorted.begin(), sorted.end()) == sorted.end();
        for (size_t k = 0; k < alike.size(); ++k) {
            CallGroup& group = groups[alike[k]];
            std::string material = "\n";
            if (told_apart) {
                material += identifiers[k];
            } else {
                for (size_t call : group.calls) {
                    material += bytes_of(calls[call].prefixes.back());
                    material += bytes_of(calls[call].answer_gist);
                }
            }
            group.name = hex_of(extended(first_request, material));
        }
    }
}

}  // namespace

Fingerprint fingerprint(std::string_view bytes) {
    text::Digest digest = text::sha256(bytes);
    Fingerprint f;
    std::copy_n(digest.begin(), f.size(), f.begin());
    return f;
}

Fingerprint extended(const Fingerprint& prefix, std::string_view bytes) {
    std::string text(bytes_of(prefix));
    text += bytes;
    return fingerprint(text);
}

std::vector<CallGroup> group_calls(const std::vector<CallLinks>& calls) {
    std::vector<size_t> parent = parent_calls(calls);
    Tree tree = resolve(calls, parent);
    std::vector<CallGroup> groups;
    std::unordered_map<std::string_view, size_t> by_id;
    std::unordered_map<size_t, size_t> by_root;
    for (size_t i = 0; i < calls.size(); ++i) {
        size_t named_by = tree.named_by[i];
        bool named = named_by != NONE;
        size_t next = groups.size();
        size_t index = named ? by_id.try_emplace(calls[named_by].explicit_id, next).first->second
                             : by_root.try_emplace(tree.root[i], next).first->second;
        if (index == next) groups.push_back(CallGroup{named ? calls[named_by].explicit_id : std::string(), named, {}});
        groups[index].calls.push_back(i);
    }
    for (CallGroup& group : groups) {
        std::stable_sort(group.calls.begin(), group.calls.end(),
                         [&](size_t a, size_t b) { return tree.depth[a] < tree.depth[b]; });
    }
    name_groups(calls, tree, groups);
    return groups;
}

}  // namespace velkin::imports
