#include "compare/signatures.hpp"

#include <algorithm>
#include <functional>

#include "compare/wording.hpp"
#include "json/writer.hpp"

namespace velkin::compare {

namespace {

constexpr std::array<Axis, 5> OWN_VALUE_AXES = {Axis::Safety, Axis::Verbosity, Axis::Latency, Axis::Cost,
                                                Axis::Reasoning};

// As std::stable_sort orders them. A run calls few tools: those are sorted in
// place, without the buffer std::stable_sort would allocate.
template <class T, class Less>
void sort_stably(std::vector<T>& items, Less less) {
    constexpr size_t FEW = 32;
    if (items.size() > FEW) return std::stable_sort(items.begin(), items.end(), less);
    for (size_t k = 1; k < items.size(); ++k) {
        const T item = items[k];
        size_t at = k;
        for (; at > 0 && less(item, items[at - 1]); --at) items[at] = items[at - 1];
        items[at] = item;
    }
}

}  // namespace

void features_of(const Turns& responses, const PricingTable& pricing, RunFeatures& features) {
    for (Axis axis : OWN_VALUE_AXES) own_values(axis, responses, pricing, features.own[static_cast<size_t>(axis)]);
    auto& cost = features.own[static_cast<size_t>(Axis::Cost)];
    for (uint64_t turn = 0; turn < responses.size(); ++turn) {
        if (!priced(responses[turn], pricing)) cost[turn] = std::nullopt;
    }
    const auto& abstains = features.own[static_cast<size_t>(Axis::Safety)];
    size_t calls = 0;
    for (const Turn& response : responses) calls += response.tool_calls.size();
    features.tools.clear(), features.calls.clear(), features.trajectory.clear();
    features.refusing.clear(), features.truncated.clear();
    features.any_refusing = features.any_truncated = false;
    features.outcome.reset();
    features.tools.reserve(calls);
    features.calls.reserve(calls);
    features.trajectory.reserve(calls);
    features.refusing.reserve(responses.size());
    features.truncated.reserve(responses.size());
    for (uint64_t turn = 0; turn < responses.size(); ++turn) {
        const Turn& response = responses[turn];
        for (const diff::ToolCall& use : response.tool_calls) {
            features.tools.push_back({use.name, turn, 1});
            CallArguments& call = features.calls.emplace_back();
            call.tool = use.name;
            call.turn = turn;
            const json::Object* input = use.input ? use.input->as_object() : nullptr;
            call.object_input = input != nullptr;
            if (!input) continue;
            call.values.reserve(input->size());
            for (const json::Member& member : *input)
                call.values.emplace_back(member.key, json::to_compact(member.value));
        }
        for (const diff::ToolCall& call : response.tool_calls) features.trajectory.push_back(call.key_shape);
        features.refusing.push_back(refuses(response, abstains[turn] == 1.0));
        features.truncated.push_back(truncated(response));
        features.any_refusing = features.any_refusing || features.refusing.back();
        features.any_truncated = features.any_truncated || features.truncated.back();
    }
    // Stable, so each name keeps its first turn.
    std::vector<ToolCount>& tools = features.tools;
    sort_stably(tools, [](const ToolCount& a, const ToolCount& b) { return a.name < b.name; });
    size_t merged = 0;
    for (const ToolCount& tool : tools) {
        if (merged > 0 && tools[merged - 1].name == tool.name)
            ++tools[merged - 1].calls;
        else
            tools[merged++] = tool;
    }
    tools.resize(merged);
    for (ToolCount& tool : tools) tool.name_hash = std::hash<std::string_view>{}(tool.name);
}

namespace {

void matched_turns(const std::vector<Step>& path, size_t candidate_turns, std::vector<uint64_t>& matched) {
    matched.assign(candidate_turns, NO_MATCH);
    // The first match of a turn, as a search along the path finds it.
    for (auto step = path.rbegin(); step != path.rend(); ++step) {
        if (step->kind == StepKind::Match) matched[step->candidate] = step->baseline;
    }
}

// For each call of b, the call of a that is the same tool's call of the same
// rank (the second `search` with the second `search`), or NO_MATCH. Read the
// same from either side, so that which run plays the baseline changes nothing.
// What the signatures work in, kept per thread. Not inlined, so that a loop
// holds the address rather than asks the loader for it at every use.
struct SignatureScratch {
    std::vector<std::pair<std::string_view, uint64_t>> ranked;  // (tool, call of a), by tool, calls in order
    std::vector<std::pair<std::string_view, uint32_t>> seen;    // calls of b so far, per tool
    std::vector<bool> base_order, other_order, cand_order;
    std::vector<std::pair<std::string_view, std::string_view>> reported;
    std::vector<const CallArguments*> counterparts;
    RunSet candidate = RunSet(1);
};

[[gnu::noinline]] SignatureScratch& signature_scratch() {
    thread_local SignatureScratch scratch;
    return scratch;
}

void matched_calls(const std::vector<CallArguments>& a, const std::vector<CallArguments>& b,
                   std::vector<uint64_t>& matched) {
    SignatureScratch& scratch = signature_scratch();
    std::vector<std::pair<std::string_view, uint64_t>>& ranked = scratch.ranked;
    std::vector<std::pair<std::string_view, uint32_t>>& seen = scratch.seen;
    ranked.clear();
    for (uint64_t i = 0; i < a.size(); ++i) ranked.emplace_back(a[i].tool, i);
    sort_stably(ranked, [](const auto& x, const auto& y) { return x.first < y.first; });
    matched.assign(b.size(), NO_MATCH);
    seen.clear();
    for (uint64_t j = 0; j < b.size(); ++j) {
        auto count = std::find_if(seen.begin(), seen.end(),
                                  [&](const auto& entry) { return entry.first == b[j].tool; });
        if (count == seen.end()) count = seen.insert(seen.end(), {b[j].tool, 0});
        auto first = std::lower_bound(ranked.begin(), ranked.end(), b[j].tool,
                                      [](const auto& entry, std::string_view tool) { return entry.first < tool; });
        const size_t rank = count->second++;
        if (static_cast<size_t>(ranked.end() - first) > rank && first[rank].first == b[j].tool)
            matched[j] = first[rank].second;
    }
}

void inverted(const std::vector<uint64_t>& matched, size_t size, std::vector<uint64_t>& inverse) {
    inverse.assign(size, NO_MATCH);
    for (uint64_t j = 0; j < matched.size(); ++j) {
        if (matched[j] != NO_MATCH) inverse[matched[j]] = j;
    }
}

// Holds m by m entries, keeping the memory each entry already has.
template <class T>
void square(std::vector<std::vector<T>>& table, size_t m) {
    table.resize(m);
    for (std::vector<T>& row : table) row.resize(m);
}

}  // namespace

void match_turns_and_calls(ConversationRuns& runs) {
    const size_t m = runs.turns.size();
    square(runs.matched, m);
    square(runs.matched_calls, m);
    for (uint32_t a = 0; a < m; ++a) {
        for (uint32_t b = 0; b < m; ++b) {
            if (a != b) matched_turns(runs.paths[a][b], runs.turns[b].size(), runs.matched[a][b]);
        }
    }
    // One matching per two runs, read both ways, so that swapping them changes nothing but the sides.
    for (uint32_t a = 0; a < m; ++a) {
        for (uint32_t b = a + 1; b < m; ++b) {
            matched_calls(runs.features[a].calls, runs.features[b].calls, runs.matched_calls[a][b]);
            inverted(runs.matched_calls[a][b], runs.features[a].calls.size(), runs.matched_calls[b][a]);
        }
    }
}

std::string subject_name(const SubjectView& subject) {
    switch (subject.form) {
        case SubjectView::Form::Plain: return std::string(subject.first);
        case SubjectView::Form::Argument:
            return std::string(subject.first).append("(").append(subject.second).append(")");
        case SubjectView::Form::Pair: return std::string(subject.first).append(" ↔ ").append(subject.second);
    }
    return {};
}

bool names(std::string_view name, const SubjectView& subject) {
    const size_t tool = subject.first.size();
    switch (subject.form) {
        case SubjectView::Form::Plain: return name == subject.first;
        case SubjectView::Form::Argument:
            return name.size() == tool + subject.second.size() + 2 && name.starts_with(subject.first) &&
                   name[tool] == '(' && name.substr(tool + 1, subject.second.size()) == subject.second &&
                   name.back() == ')';
        case SubjectView::Form::Pair: {
            constexpr std::string_view ARROW = " ↔ ";
            return name.size() == tool + ARROW.size() + subject.second.size() && name.starts_with(subject.first) &&
                   name.substr(tool, ARROW.size()) == ARROW && name.ends_with(subject.second);
        }
    }
    return false;
}

namespace {

const ToolCount* tool_named(const RunFeatures& features, std::string_view name) {
    auto found = std::lower_bound(features.tools.begin(), features.tools.end(), name,
                                  [](const ToolCount& tool, std::string_view wanted) { return tool.name < wanted; });
    return found != features.tools.end() && found->name == name ? &*found : nullptr;
}

uint32_t calls_of(const RunFeatures& features, std::string_view name) {
    const ToolCount* tool = tool_named(features, name);
    return tool ? tool->calls : 0;
}

// The same for a tool of another run of the conversation: a run calls few
// tools, which are told apart by their hashes before their names.
constexpr size_t FEW_TOOLS = 16;
uint32_t calls_of(const RunFeatures& features, const ToolCount& wanted) {
    if (features.tools.size() > FEW_TOOLS) return calls_of(features, wanted.name);
    for (const ToolCount& tool : features.tools)
        if (tool.name_hash == wanted.name_hash && tool.name == wanted.name) return tool.calls;
    return 0;
}

// Tools every baseline run calls and candidate run c does not.
void dropped_tools(const ConversationRuns& runs, uint32_t c, const RunSet& bases, std::vector<std::string_view>& out) {
    out.clear();
    for (const ToolCount& tool : runs.features[bases.front()].tools) {
        if (calls_of(runs.features[c], tool)) continue;
        if (std::all_of(bases.begin(), bases.end(), [&](uint32_t b) { return calls_of(runs.features[b], tool); }))
            out.push_back(tool.name);
    }
}

// Tools candidate run c calls and no baseline run does.
void added_tools(const ConversationRuns& runs, uint32_t c, const RunSet& bases, std::vector<std::string_view>& out) {
    out.clear();
    for (const ToolCount& tool : runs.features[c].tools) {
        if (std::none_of(bases.begin(), bases.end(), [&](uint32_t b) { return calls_of(runs.features[b], tool); }))
            out.push_back(tool.name);
    }
}

// Tools both sides call, the candidate more often than any baseline run
// (more) or less often than every baseline run (fewer).
void recounted_tools(const ConversationRuns& runs, uint32_t c, const RunSet& bases, bool more,
                     std::vector<std::string_view>& out) {
    out.clear();
    for (const ToolCount& tool : runs.features[c].tools) {
        bool shifted = std::all_of(bases.begin(), bases.end(), [&](uint32_t b) {
            uint32_t base = calls_of(runs.features[b], tool);
            return base > 0 && (more ? tool.calls > base : tool.calls < base);
        });
        if (shifted) out.push_back(tool.name);
    }
}

// The calls of tools `a` and `b` in a run, in order: false for a, true for b.
void interleaving(const RunFeatures& features, std::string_view a, std::string_view b, std::vector<bool>& out) {
    out.clear();
    for (const CallArguments& call : features.calls) {
        if (call.tool == a || call.tool == b) out.push_back(call.tool == b);
    }
}

// The first call where candidate run c takes two tools in another order than
// every baseline run does (which agree), each tool called as often on every side.
struct Reordering {
    std::string_view first, second;  // as the subject names them, by name
    uint64_t candidate_call = 0;     // the candidate's call that comes out of order
};

bool same_tool_sequence(const RunFeatures& a, const RunFeatures& b) {
    return std::equal(a.calls.begin(), a.calls.end(), b.calls.begin(), b.calls.end(),
                      [](const CallArguments& x, const CallArguments& y) { return x.tool == y.tool; });
}

template <class Visit>
void each_reordering(const ConversationRuns& runs, uint32_t c, const RunSet& bases, Visit visit) {
    const RunFeatures& candidate = runs.features[c];
    if (candidate.tools.size() < 2 || std::all_of(bases.begin(), bases.end(), [&](uint32_t b) {
            return same_tool_sequence(runs.features[b], candidate);
        }))
        return;
    SignatureScratch& scratch = signature_scratch();
    std::vector<bool>&base_order = scratch.base_order, &other_order = scratch.other_order,
    &cand_order = scratch.cand_order;
    for (size_t i = 0; i < candidate.tools.size(); ++i) {
        for (size_t j = i + 1; j < candidate.tools.size(); ++j) {
            const ToolCount& a = candidate.tools[i];
            const ToolCount& b = candidate.tools[j];
            bool same_counts = std::all_of(bases.begin(), bases.end(), [&](uint32_t r) {
                return calls_of(runs.features[r], a) == a.calls && calls_of(runs.features[r], b) == b.calls;
            });
            if (!same_counts) continue;
            interleaving(runs.features[bases.front()], a.name, b.name, base_order);
            bool agreed = std::all_of(bases.begin() + 1, bases.end(), [&](uint32_t r) {
                interleaving(runs.features[r], a.name, b.name, other_order);
                return other_order == base_order;
            });
            if (!agreed) continue;
            interleaving(candidate, a.name, b.name, cand_order);
            if (cand_order == base_order) continue;
            size_t position = std::mismatch(cand_order.begin(), cand_order.end(), base_order.begin()).first -
                              cand_order.begin();
            // The position-th call of either tool in the candidate's order.
            uint64_t call = 0;
            for (size_t seen = 0; call < candidate.calls.size(); ++call) {
                const std::string_view tool = candidate.calls[call].tool;
                if ((tool == a.name || tool == b.name) && seen++ == position) break;
            }
            visit(Reordering{a.name, b.name, call});
        }
    }
}

struct ArgumentChange {
    std::string_view tool, key;
    const std::string* before;  // compact JSON, in the runs' features
    const std::string* after;
    uint64_t call = 0;  // of the candidate
};

const std::string* argument_of(const CallArguments& call, std::string_view key) {
    for (const auto& [name, value] : call.values) {
        if (name == key) return &value;
    }
    return nullptr;
}

// Arguments the candidate passes to a call where every baseline run makes the
// matched call with one agreed value, and the candidate's value differs.
// Arguments the replicates disagree on (free text, say) are their noise, not a change.
template <class Visit>
void each_argument_change(const ConversationRuns& runs, uint32_t c, const RunSet& bases, Visit visit) {
    const std::vector<CallArguments>& calls = runs.features[c].calls;
    SignatureScratch& scratch = signature_scratch();
    std::vector<std::pair<std::string_view, std::string_view>>& reported = scratch.reported;
    std::vector<const CallArguments*>& counterparts = scratch.counterparts;
    reported.clear();
    for (uint64_t j = 0; j < calls.size(); ++j) {
        const CallArguments& call = calls[j];
        if (!call.object_input) continue;
        counterparts.clear();
        for (uint32_t b : bases) {
            uint64_t i = runs.matched_calls[b][c][j];
            if (i == NO_MATCH || !runs.features[b].calls[i].object_input) break;
            counterparts.push_back(&runs.features[b].calls[i]);
        }
        if (counterparts.size() != bases.size()) continue;
        for (const auto& [key, value] : call.values) {
            const std::string* agreed = argument_of(*counterparts.front(), key);
            if (!agreed || value == *agreed) continue;
            bool all_agree = std::all_of(counterparts.begin() + 1, counterparts.end(), [&](const CallArguments* other) {
                const std::string* theirs = argument_of(*other, key);
                return theirs && *theirs == *agreed;
            });
            if (!all_agree) continue;
            std::pair<std::string_view, std::string_view> subject{call.tool, key};
            if (std::find(reported.begin(), reported.end(), subject) != reported.end()) continue;
            reported.push_back(subject);
            visit(ArgumentChange{call.tool, key, agreed, &value, j});
        }
    }
}

using Flags = std::vector<bool> RunFeatures::*;
using AnyFlag = bool RunFeatures::*;

AnyFlag any_of(Flags flags) {
    return flags == &RunFeatures::refusing ? &RunFeatures::any_refusing : &RunFeatures::any_truncated;
}

// The first turn of run `of` with the flag whose counterpart in every run of
// `against` (the turn the alignment matched it with) lacks it.
std::optional<uint64_t> new_flagged_turn(const ConversationRuns& runs, uint32_t of, const RunSet& against,
                                         Flags flags) {
    if (!(runs.features[of].*any_of(flags))) return std::nullopt;
    const std::vector<bool>& flagged = runs.features[of].*flags;
    for (uint64_t turn = 0; turn < flagged.size(); ++turn) {
        if (!flagged[turn]) continue;
        bool novel = std::none_of(against.begin(), against.end(), [&](uint32_t r) {
            uint64_t counterpart = runs.matched[r][of][turn];
            return counterpart != NO_MATCH && (runs.features[r].*flags)[counterpart];
        });
        if (novel) return turn;
    }
    return std::nullopt;
}

// Every baseline run has a flagged turn that candidate run c does not share:
// the mirror image of a new flag. The first baseline run's such turn.
std::optional<uint64_t> lost_flagged_turn(const ConversationRuns& runs, uint32_t c, const RunSet& bases, Flags flags) {
    const AnyFlag any = any_of(flags);
    if (std::any_of(bases.begin(), bases.end(), [&](uint32_t b) { return !(runs.features[b].*any); }))
        return std::nullopt;
    RunSet& candidate = signature_scratch().candidate;
    candidate[0] = c;
    std::optional<uint64_t> first;
    for (uint32_t b : bases) {
        std::optional<uint64_t> turn = new_flagged_turn(runs, b, candidate, flags);
        if (!turn) return std::nullopt;
        if (!first) first = turn;
    }
    return first;
}

void add(Shown& shown, Signature signature, SubjectView subject) {
    shown.subjects[static_cast<size_t>(signature)].push_back(subject);
}

SubjectView plain(std::string_view name) { return {name, {}, SubjectView::Form::Plain}; }

}  // namespace

void shows(const ConversationRuns& runs, uint32_t c, const RunSet& bases, Shown& shown) {
    for (std::vector<SubjectView>& subjects : shown.subjects) subjects.clear();
    dropped_tools(runs, c, bases, shown.scratch);
    for (std::string_view tool : shown.scratch) add(shown, Signature::ToolDropped, plain(tool));
    added_tools(runs, c, bases, shown.scratch);
    for (std::string_view tool : shown.scratch) add(shown, Signature::ToolAdded, plain(tool));
    recounted_tools(runs, c, bases, false, shown.scratch);
    for (std::string_view tool : shown.scratch) add(shown, Signature::CallsFewer, plain(tool));
    recounted_tools(runs, c, bases, true, shown.scratch);
    for (std::string_view tool : shown.scratch) add(shown, Signature::CallsMore, plain(tool));
    each_reordering(runs, c, bases, [&](const Reordering& reordering) {
        add(shown, Signature::CallsReordered, {reordering.first, reordering.second, SubjectView::Form::Pair});
    });
    each_argument_change(runs, c, bases, [&](const ArgumentChange& change) {
        add(shown, Signature::ArgumentChanged, {change.tool, change.key, SubjectView::Form::Argument});
    });
    if (new_flagged_turn(runs, c, bases, &RunFeatures::refusing)) add(shown, Signature::NewRefusal, plain("refusal"));
    if (lost_flagged_turn(runs, c, bases, &RunFeatures::refusing)) add(shown, Signature::LostRefusal, plain("refusal"));
    if (new_flagged_turn(runs, c, bases, &RunFeatures::truncated))
        add(shown, Signature::NewTruncation, plain("truncation"));
    if (lost_flagged_turn(runs, c, bases, &RunFeatures::truncated))
        add(shown, Signature::LostTruncation, plain("truncation"));
}

namespace {

constexpr size_t EXCERPT_BYTES = 80;

// At most EXCERPT_BYTES of the text, cut at a character boundary.
std::string excerpt(std::string_view text) {
    if (text.size() <= EXCERPT_BYTES) return std::string(text);
    size_t cut = EXCERPT_BYTES;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
    return std::string(text.substr(0, cut)) + "…";
}

uint64_t candidate_counterpart(const std::vector<Step>& path, uint64_t baseline_turn) {
    uint64_t cursor = 0;
    for (const Step& step : path) {
        if (step.kind != StepKind::Insert && step.baseline == baseline_turn)
            return step.kind == StepKind::Match ? step.candidate : cursor;
        if (step.kind != StepKind::Delete) cursor = step.candidate + 1;
    }
    return cursor;
}

uint64_t baseline_counterpart(const std::vector<Step>& path, uint64_t candidate_turn) {
    uint64_t cursor = 0;
    for (const Step& step : path) {
        if (step.kind != StepKind::Delete && step.candidate == candidate_turn)
            return step.kind == StepKind::Match ? step.baseline : cursor;
        if (step.kind != StepKind::Insert) cursor = step.baseline + 1;
    }
    return cursor;
}

std::string turns_text(uint64_t candidate_turn, uint64_t baseline_turn) {
    return "candidate turn #" + std::to_string(candidate_turn) + ", baseline turn #" + std::to_string(baseline_turn);
}

// The turn of the n-th call (from 0) of `tool`, or of its last call when it makes fewer.
uint64_t turn_of_call(const RunFeatures& features, std::string_view tool, uint32_t n) {
    uint64_t turn = 0;
    for (const CallArguments& call : features.calls) {
        if (call.tool != tool) continue;
        turn = call.turn;
        if (n-- == 0) break;
    }
    return turn;
}

struct Located {
    std::vector<Finding>& findings;
    const std::vector<Step>& path;
    uint32_t candidate_run;

    void add(Signature signature, std::string explanation, uint64_t baseline_turn, uint64_t candidate_turn,
             std::string subject) {
        Finding finding;
        finding.kind = signature_name(signature);
        finding.explanation = std::move(explanation);
        finding.baseline_turn = baseline_turn;
        finding.candidate_turn = candidate_turn;
        finding.candidate_run = candidate_run;
        finding.signature = signature;
        finding.subject = std::move(subject);
        findings.push_back(std::move(finding));
    }
};

}  // namespace

void add_signature_findings(std::vector<Finding>& findings, const ConversationRuns& runs, uint32_t c,
                            const RunSet& bases, uint32_t candidate_run) {
    const uint32_t first = bases.front();
    const std::vector<Step>& path = runs.paths[first][c];
    const RunFeatures& baseline = runs.features[first];
    const RunFeatures& candidate = runs.features[c];
    Located out{findings, path, candidate_run};
    std::vector<std::string_view> tools;

    dropped_tools(runs, c, bases, tools);
    for (std::string_view tool : tools) {
        uint64_t b_turn = tool_named(baseline, tool)->first_turn;
        uint64_t c_turn = candidate_counterpart(path, b_turn);
        out.add(Signature::ToolDropped,
                "candidate no longer calls " + quoted(tool) + ", which every baseline run calls (" +
                    turns_text(c_turn, b_turn) + ")",
                b_turn, c_turn, std::string(tool));
    }
    added_tools(runs, c, bases, tools);
    for (std::string_view tool : tools) {
        uint64_t c_turn = tool_named(candidate, tool)->first_turn;
        uint64_t b_turn = baseline_counterpart(path, c_turn);
        out.add(
            Signature::ToolAdded,
            "candidate newly calls " + quoted(tool) + " (" + turns_text(c_turn, b_turn) + "); no baseline run calls it",
            b_turn, c_turn, std::string(tool));
    }
    for (bool more : {false, true}) {
        recounted_tools(runs, c, bases, more, tools);
        for (std::string_view tool : tools) {
            uint32_t cand_calls = calls_of(candidate, tool);
            uint32_t bound = calls_of(runs.features[first], tool);
            for (uint32_t b : bases) {
                uint32_t calls = calls_of(runs.features[b], tool);
                bound = more ? std::max(bound, calls) : std::min(bound, calls);
            }
            // Where the counts part: the candidate's first extra call, or the baseline's first call it lacks.
            uint64_t c_turn = more ? turn_of_call(candidate, tool, bound) : 0;
            uint64_t b_turn = more ? baseline_counterpart(path, c_turn) : turn_of_call(baseline, tool, cand_calls);
            if (!more) c_turn = candidate_counterpart(path, b_turn);
            out.add(more ? Signature::CallsMore : Signature::CallsFewer,
                    "candidate calls " + quoted(tool) + " " + std::to_string(cand_calls) +
                        " time(s), every baseline run " + (more ? "at most " : "at least ") + std::to_string(bound) +
                        " (" + turns_text(c_turn, b_turn) + ")",
                    b_turn, c_turn, std::string(tool));
        }
    }
    each_reordering(runs, c, bases, [&](const Reordering& reordering) {
        const CallArguments& call = candidate.calls[reordering.candidate_call];
        std::string_view other = call.tool == reordering.first ? reordering.second : reordering.first;
        uint64_t b_turn = baseline_counterpart(path, call.turn);
        out.add(Signature::CallsReordered,
                "candidate calls " + quoted(call.tool) + " before " + quoted(other) +
                    " where every baseline run calls " + quoted(other) + " first (" + turns_text(call.turn, b_turn) +
                    ")",
                b_turn, call.turn, subject_name({reordering.first, reordering.second, SubjectView::Form::Pair}));
    });
    each_argument_change(runs, c, bases, [&](const ArgumentChange& change) {
        uint64_t c_turn = candidate.calls[change.call].turn;
        uint64_t b_turn = baseline.calls[runs.matched_calls[first][c][change.call]].turn;
        std::string name = subject_name({change.tool, change.key, SubjectView::Form::Argument});
        out.add(Signature::ArgumentChanged,
                quoted(name) + ": " + *change.before + " → " + *change.after + " (" + turns_text(c_turn, b_turn) +
                    "), where every baseline run passes " + *change.before + " in the same call",
                b_turn, c_turn, name);
    });

    auto text_at = [&](uint32_t run, uint64_t turn) { return excerpt(text_of(runs.turns[run][turn])); };
    if (auto c_turn = new_flagged_turn(runs, c, bases, &RunFeatures::refusing)) {
        uint64_t b_turn = baseline_counterpart(path, *c_turn);
        out.add(Signature::NewRefusal,
                "candidate refused (" + turns_text(*c_turn, b_turn) + "): \"" + text_at(c, *c_turn) +
                    "\"; no baseline run refused there",
                b_turn, *c_turn, "refusal");
    }
    if (auto b_turn = lost_flagged_turn(runs, c, bases, &RunFeatures::refusing)) {
        uint64_t c_turn = candidate_counterpart(path, *b_turn);
        out.add(Signature::LostRefusal,
                "candidate no longer refuses (" + turns_text(c_turn, *b_turn) +
                    "), where every baseline run refused: \"" + text_at(first, *b_turn) + "\"",
                *b_turn, c_turn, "refusal");
    }
    if (auto c_turn = new_flagged_turn(runs, c, bases, &RunFeatures::truncated)) {
        uint64_t b_turn = baseline_counterpart(path, *c_turn);
        out.add(Signature::NewTruncation,
                "candidate response truncated (stop_reason " + quoted(stop_reason_of(runs.turns[c][*c_turn])) + ", " +
                    turns_text(*c_turn, b_turn) + "); no baseline run was truncated there",
                b_turn, *c_turn, "truncation");
    }
    if (auto b_turn = lost_flagged_turn(runs, c, bases, &RunFeatures::truncated)) {
        uint64_t c_turn = candidate_counterpart(path, *b_turn);
        out.add(Signature::LostTruncation,
                "candidate response no longer truncated (" + turns_text(c_turn, *b_turn) +
                    "), where every baseline run was",
                *b_turn, c_turn, "truncation");
    }
}

}  // namespace velkin::compare
