#include "compare/pairing.hpp"

#include <map>
#include <optional>
#include <regex>
#include <unordered_map>
#include <unordered_set>

#include "compare/parallel.hpp"
#include "compare/wording.hpp"

namespace velkin::compare {

namespace {

using Record = agentlog::Record;
using Kind = agentlog::Kind;

// Benchmarks name their tasks; the importers keep that name under this member.
constexpr std::string_view TASK_ID_MEMBER = "task_id";

std::string run_name(uint32_t run, uint32_t baseline_runs) {
    bool baseline = run < baseline_runs;
    return std::string(baseline ? "baseline" : "candidate") + " run " +
           std::to_string(baseline ? run + 1 : run - baseline_runs + 1);
}

// One way of keying every conversation: keys per run and conversation, nothing where one has none.
struct Keying {
    KeySource source = KeySource::FirstRequest;
    std::string member;
    std::vector<std::vector<std::optional<std::string>>> keys;
};

template <class KeyOf>
Keying keying(const std::vector<std::vector<Conversation>>& runs, KeySource source, std::string member, KeyOf key_of,
              unsigned threads) {
    Keying k{source, std::move(member), std::vector<std::vector<std::optional<std::string>>>(runs.size())};
    parallel_for(runs.size(), threads, [&](size_t r) {
        std::vector<std::optional<std::string>>& keys = k.keys[r];
        keys.reserve(runs[r].size());
        for (const Conversation& conversation : runs[r]) keys.push_back(key_of(conversation));
    });
    return k;
}

Keying member_keying(const std::vector<std::vector<Conversation>>& runs, std::string_view name, unsigned threads) {
    auto key_of = [&](const Conversation& c) -> std::optional<std::string> {
        const json::Value* value = metadata_member(c, name);
        if (!value) return std::nullopt;
        return key_text(*value);
    };
    return keying(runs, KeySource::Member, std::string(name), key_of, threads);
}

std::string shown(const std::string& key) {
    constexpr size_t SHOWN = 60;
    return quoted(key.size() > SHOWN ? key.substr(0, SHOWN) + "…" : key);
}

// The first run holding a conversation without a key, or two with the same one; nothing when every run is keyed apart.
std::optional<std::string> ambiguity(const Keying& k, uint32_t baseline_runs) {
    for (uint32_t r = 0; r < k.keys.size(); ++r) {
        std::unordered_set<std::string_view> seen;
        seen.reserve(k.keys[r].size());
        for (const std::optional<std::string>& key : k.keys[r]) {
            if (!key) return run_name(r, baseline_runs) + " holds a conversation without one";
            if (!seen.insert(*key).second) {
                if (k.source == KeySource::FirstRequest)
                    return run_name(r, baseline_runs) + " holds conversations that start with the same request";
                return run_name(r, baseline_runs) + " holds two conversations whose " +
                       (k.member.empty() ? std::string("trace id") : quoted(k.member)) + " is " + shown(*key);
            }
        }
    }
    return std::nullopt;
}

// How many keys both sides hold.
size_t shared_keys(const Keying& k, uint32_t baseline_runs) {
    std::unordered_set<std::string_view> baseline, counted;
    for (uint32_t r = 0; r < baseline_runs; ++r)
        for (const std::optional<std::string>& key : k.keys[r])
            if (key) baseline.insert(*key);
    for (uint32_t r = baseline_runs; r < k.keys.size(); ++r)
        for (const std::optional<std::string>& key : k.keys[r])
            if (key && baseline.contains(*key)) counted.insert(*key);
    return counted.size();
}

// The members of the conversations' metadata records, with a value of each to show: the first run's
// where several hold one.
std::map<std::string, std::string> identifiers(const std::vector<std::vector<Conversation>>& runs, unsigned threads) {
    std::vector<std::map<std::string, std::string>> per_run(runs.size());
    parallel_for(runs.size(), threads, [&](size_t r) {
        for (const Conversation& conversation : runs[r]) {
            for (const Record& record : conversation.records) {
                if (record.kind != Kind::Metadata) continue;
                for (const json::Value* object : {&record.payload, record.meta ? &*record.meta : nullptr}) {
                    if (!object || !object->as_object()) continue;
                    for (const json::Member& m : *object->as_object()) {
                        if (m.key != "trace_id" && m.key != "source") per_run[r].try_emplace(m.key, key_text(m.value));
                    }
                }
            }
        }
    });
    std::map<std::string, std::string> names;
    for (std::map<std::string, std::string>& run : per_run) names.merge(run);
    return names;
}

std::string identifier_list(const std::map<std::string, std::string>& names) {
    if (names.empty()) return "none";
    std::string list;
    for (const auto& [name, example] : names) {
        if (!list.empty()) list += ", ";
        list += quoted(name) + " (e.g. \"" + (example.size() > 40 ? example.substr(0, 40) + "…" : example) + "\")";
    }
    return list;
}

std::string guessing(const std::string& why, const std::vector<std::vector<Conversation>>& runs, unsigned threads) {
    return "pairing the conversations would guess: " + why +
           "; identifiers the conversations carry: " + identifier_list(identifiers(runs, threads)) +
           ": pair by one with --key NAME (with --key-pattern REGEX to pair by the part the runs share), or pass "
           "--key position to pair conversations that look alike in file order";
}

// The default: of the task id, the trace id, each metadata member and the first user request,
// the key that sets every run's conversations apart and pairs the most.
Result<Keying> default_keying(const std::vector<std::vector<Conversation>>& runs, uint32_t baseline_runs,
                              bool by_position, unsigned threads) {
    std::vector<Keying> candidates;
    candidates.push_back(member_keying(runs, TASK_ID_MEMBER, threads));
    auto trace_id = [](const Conversation& c) { return std::optional(c.id); };
    candidates.push_back(keying(runs, KeySource::TraceId, "", trace_id, threads));
    for (const auto& [name, example] : identifiers(runs, threads)) {
        if (name != TASK_ID_MEMBER) candidates.push_back(member_keying(runs, name, threads));
    }
    auto first_request_key = [](const Conversation& c) { return std::optional(first_request_text(c).value_or(c.id)); };
    candidates.push_back(keying(runs, KeySource::FirstRequest, "", first_request_key, threads));
    // Ties go to the earlier candidate; when nothing pairs, to the first request, as the last resort.
    size_t first_request = candidates.size() - 1;
    std::vector<std::optional<std::string>> ambiguities(candidates.size());
    std::vector<size_t> shared_counts(candidates.size(), 0);
    parallel_for(candidates.size(), threads, [&](size_t i) {
        ambiguities[i] = ambiguity(candidates[i], baseline_runs);
        shared_counts[i] = shared_keys(candidates[i], baseline_runs);
    });
    std::optional<size_t> best;
    size_t best_shared = 0;
    std::optional<std::string> request_ambiguity = ambiguities[first_request];
    for (size_t i = 0; i < candidates.size(); ++i) {
        if (ambiguities[i] && !(by_position && i == first_request)) continue;
        size_t shared = shared_counts[i];
        if (!best || shared > best_shared) {
            best = i;
            best_shared = shared;
        }
    }
    if (best_shared == 0) {
        // Look-alike conversations could be paired only by where they stand in their runs.
        if (request_ambiguity && !by_position) return Error{guessing(*request_ambiguity, runs, threads)};
        best = first_request;
    }
    return std::move(candidates[*best]);
}

// The part of each key the pattern picks: its first group, else the whole match.
std::optional<Error> apply_pattern(Keying& k, const std::string& pattern, uint32_t baseline_runs,
                                   const std::vector<std::vector<Conversation>>& runs) {
    std::regex regex;
    try {
        regex = std::regex(pattern, std::regex::ECMAScript);
    } catch (const std::regex_error& e) {
        return Error{"--key-pattern " + quoted(pattern) + " is not a regular expression: " + e.what()};
    }
    for (uint32_t r = 0; r < k.keys.size(); ++r) {
        for (size_t c = 0; c < k.keys[r].size(); ++c) {
            std::optional<std::string>& key = k.keys[r][c];
            if (!key) continue;
            std::smatch match;
            bool found = false;
            try {
                found = std::regex_search(*key, match, regex);
            } catch (const std::regex_error& e) {
                return Error{"--key-pattern " + quoted(pattern) + " cannot be matched against " + shown(*key) + ": " +
                             e.what()};
            }
            if (!found)
                return Error{run_name(r, baseline_runs) + ": conversation " + quoted(runs[r][c].id) + ": its " +
                             quoted(k.member) + " " + shown(*key) + " does not match --key-pattern " + quoted(pattern)};
            key = match.size() > 1 && match[1].matched ? match[1].str() : match[0].str();
        }
    }
    return std::nullopt;
}

}  // namespace

Result<Pairing> pair_conversations(std::vector<std::vector<Conversation>>& runs, uint32_t baseline_runs,
                                   const Options& options) {
    bool by_position = options.key_member && *options.key_member == POSITION_KEY;
    Keying k;
    if (options.key_member && !by_position) {
        k = member_keying(runs, *options.key_member, options.threads);
        for (uint32_t r = 0; r < runs.size(); ++r) {
            for (size_t c = 0; c < runs[r].size(); ++c) {
                if (!k.keys[r][c])
                    return Error{run_name(r, baseline_runs) + ": conversation " + quoted(runs[r][c].id) +
                                 " has no metadata member " + quoted(*options.key_member) + " to pair it by"};
            }
        }
        if (options.key_pattern) {
            if (std::optional<Error> error = apply_pattern(k, *options.key_pattern, baseline_runs, runs)) return *error;
        }
        if (std::optional<std::string> ambiguous = ambiguity(k, baseline_runs))
            return Error{guessing(*ambiguous, runs, options.threads)};
    } else if (options.key_pattern) {
        return Error{"--key-pattern needs --key NAME: the identifier whose part pairs the conversations"};
    } else {
        Result<Keying> chosen = default_keying(runs, baseline_runs, by_position, options.threads);
        if (!chosen) return chosen.take_error();
        k = std::move(chosen).value();
    }

    Pairing pairing;
    pairing.source = k.source;
    pairing.member = k.member;
    std::unordered_map<std::string, size_t> index;
    index.reserve(runs.empty() ? 0 : runs.front().size());
    for (uint32_t r = 0; r < runs.size(); ++r) {
        bool baseline = r < baseline_runs;
        // Repeats of a key within one run, which only --key position lets through.
        std::unordered_map<std::string, size_t> seen;
        for (size_t c = 0; c < runs[r].size(); ++c) {
            std::string key = std::move(*k.keys[r][c]);
            if (by_position) {
                size_t repeat = ++seen[key];
                if (repeat > 1) key += " #" + std::to_string(repeat);
            }
            auto [it, inserted] = index.try_emplace(key, pairing.entries.size());
            if (inserted) pairing.entries.push_back(KeyEntry{std::move(key), {}, {}});
            KeyEntry& entry = pairing.entries[it->second];
            (baseline ? entry.baseline : entry.candidate).push_back(Side{r, &runs[r][c]});
        }
    }
    return pairing;
}

}  // namespace velkin::compare
