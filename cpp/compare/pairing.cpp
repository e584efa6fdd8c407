#include "compare/pairing.hpp"

#include <set>
#include <unordered_map>

#include "compare/wording.hpp"

namespace velkin::compare {

namespace {

std::string side_name(bool baseline) { return baseline ? "baseline" : "candidate"; }

// Benchmarks name their tasks; the importers keep that name under this member.
constexpr std::string_view TASK_ID_MEMBER = "task_id";

bool every_conversation_has(const std::vector<std::vector<Conversation>>& runs, std::string_view member) {
    for (const std::vector<Conversation>& run : runs) {
        for (const Conversation& conversation : run) {
            if (!metadata_member(conversation, member)) return false;
        }
    }
    return true;
}

}  // namespace

Result<Pairing> pair_conversations(std::vector<std::vector<Conversation>>& runs, uint32_t baseline_runs,
                                   const Options& options) {
    Pairing pairing;
    if (options.key_member) {
        pairing.source = KeySource::Member;
        pairing.member = *options.key_member;
    } else if (every_conversation_has(runs, TASK_ID_MEMBER)) {
        // Two runs of one eval task need not start with the same words (a simulated
        // user rephrases), but they carry the same task id.
        pairing.source = KeySource::Member;
        pairing.member = TASK_ID_MEMBER;
    } else {
        std::set<std::string_view> baseline_ids;
        for (uint32_t r = 0; r < baseline_runs; ++r) {
            for (const Conversation& conversation : runs[r]) baseline_ids.insert(conversation.id);
        }
        bool shared = false;
        for (uint32_t r = baseline_runs; r < runs.size() && !shared; ++r) {
            for (const Conversation& conversation : runs[r]) shared = shared || baseline_ids.contains(conversation.id);
        }
        pairing.source = shared ? KeySource::TraceId : KeySource::FirstRequest;
    }

    std::unordered_map<std::string, size_t> index;
    for (uint32_t r = 0; r < runs.size(); ++r) {
        bool baseline = r < baseline_runs;
        std::unordered_map<std::string, size_t> seen;  // repeats of a key within one run
        for (Conversation& conversation : runs[r]) {
            std::string key;
            if (pairing.source == KeySource::Member) {
                const json::Value* member = metadata_member(conversation, pairing.member);
                if (!member) {
                    uint32_t number = baseline ? r + 1 : r - baseline_runs + 1;
                    return Error{side_name(baseline) + " run " + std::to_string(number) + ": conversation " +
                                 quoted(conversation.id) + " has no metadata member " +
                                 quoted(pairing.member) + " to pair it by"};
                }
                key = key_text(*member);
            } else if (pairing.source == KeySource::TraceId) {
                key = conversation.id;
            } else {
                key = first_request_text(conversation).value_or(conversation.id);
            }
            size_t repeat = ++seen[key];
            if (repeat > 1) key += " #" + std::to_string(repeat);
            auto [it, inserted] = index.emplace(key, pairing.entries.size());
            if (inserted) pairing.entries.push_back(KeyEntry{key, {}, {}});
            KeyEntry& entry = pairing.entries[it->second];
            (baseline ? entry.baseline : entry.candidate).push_back(Side{r, &conversation});
        }
    }
    return pairing;
}

}  // namespace velkin::compare
