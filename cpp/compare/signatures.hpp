#pragma once
// The structural changes a candidate run of a conversation shows against its
// baseline runs: a tool dropped or added, called more or fewer times, calls
// reordered, an argument changed within a matched call, a refusal or a
// truncation gained or lost.
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "compare/compare.hpp"
#include "compare/engine.hpp"

namespace velkin::compare {

inline constexpr size_t AXES = diff::AXIS_COUNT;
inline constexpr uint64_t NO_MATCH = UINT64_MAX;

// A tool call's arguments, each value as compact JSON: read once per run
// rather than once per comparison that looks at them. Names and keys are
// views into the records, which outlive the key's work.
struct CallArguments {
    std::string_view tool;
    uint64_t turn = 0;
    bool object_input = false;
    std::vector<std::pair<std::string_view, std::string>> values;  // the input's members, in order
};

// A tool a run calls: how often, and the first turn calling it.
struct ToolCount {
    std::string_view name;
    uint64_t first_turn = 0;
    uint32_t calls = 0;
    size_t name_hash = 0;  // of the name: a lookup by another run's tool compares it first
};

// What the signatures and the rows measuring each side read of one run of a conversation.
struct RunFeatures {
    std::vector<ToolCount> tools;              // by name, each once
    std::vector<CallArguments> calls;          // in call order, across turns
    std::vector<std::string_view> trajectory;  // per call: its tool name and argument keys
    std::vector<bool> refusing, truncated;     // per turn
    bool any_refusing = false, any_truncated = false;
    std::array<std::vector<std::optional<double>>, AXES> own;  // per turn, on the rows measuring each side
    std::optional<double> outcome;
};
// Cost is left out for a response whose model the table does not price: a
// price of nothing is no cost of zero. Fills `features` in the memory it holds.
void features_of(const Turns& responses, const PricingTable& pricing, RunFeatures& features);

// The runs of one conversation, baseline replicates first: their features and
// the alignment of every two (paths[a][b] puts run a on the baseline side).
struct ConversationRuns {
    std::vector<Turns> turns;
    RunsRead read;
    std::vector<RunFeatures> features;
    std::vector<std::vector<std::vector<Step>>> paths;
    // matched[a][b][j]: the turn of run a that paths[a][b] matches with turn j of run b, or NO_MATCH.
    std::vector<std::vector<std::vector<uint64_t>>> matched;
    // matched_calls[a][b][j]: the call of run a matched with call j of run b (the same tool's call of
    // the same rank), or NO_MATCH.
    std::vector<std::vector<std::vector<uint64_t>>> matched_calls;
};
// Fills `matched` and `matched_calls` from the paths and the features.
void match_turns_and_calls(ConversationRuns& runs);

using RunSet = std::vector<uint32_t>;

// The subject of a signature as findings name it: a tool, "A ↔ B" for two
// tools called in another order, "tool(key)" for an argument, "refusal" or
// "truncation". Names are composed only for subjects not seen before in the key.
struct SubjectView {
    enum class Form : uint8_t { Plain, Argument, Pair };
    std::string_view first;
    std::string_view second;
    Form form = Form::Plain;
};
std::string subject_name(const SubjectView& subject);
bool names(std::string_view name, const SubjectView& subject);

// The subjects of each signature a candidate run shows, and the lists they are
// read from: filled call after call without freeing.
struct Shown {
    std::array<std::vector<SubjectView>, SIGNATURE_KINDS> subjects;
    std::vector<std::string_view> scratch;
};
void shows(const ConversationRuns& runs, uint32_t c, const RunSet& bases, Shown& shown);

// The findings of candidate run `c` against every baseline replicate, located
// on its alignment with the first baseline replicate.
void add_signature_findings(std::vector<Finding>& findings, const ConversationRuns& runs, uint32_t c,
                            const RunSet& bases, uint32_t candidate_run);

}  // namespace velkin::compare
