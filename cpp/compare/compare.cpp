#include "compare/compare.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstdio>
#include <map>
#include <set>
#include <span>
#include <unordered_map>

#include "compare/calibration.hpp"
#include "compare/conversations.hpp"
#include "compare/pairing.hpp"
#include "compare/wording.hpp"
#include "compare/parallel.hpp"
#include "json/writer.hpp"

namespace velkin::compare {

namespace {

constexpr size_t DIVERGENCE_FINDINGS = 5;
// Beyond this many ways to choose the candidate runs of a conversation, a
// uniform sample of them (with replacement) stands for the whole set.
constexpr size_t MAX_LABELLINGS = 64;
constexpr size_t MAX_RUNS_PER_SIDE = 32;
constexpr size_t EXCERPT_BYTES = 80;
constexpr std::string_view DEFAULT_OUTCOME = "reward";
constexpr size_t SIGNATURES = SIGNATURE_KINDS + 1;
constexpr size_t AXES = diff::AXIS_COUNT;

// Semantic similarity and trajectory distance measure the pair itself, and
// conformance keeps only the pairs whose baseline conforms: the baseline side
// of these rows is a constant. The other axes measure each side.
bool measures_the_pair(Axis axis) {
    return axis == Axis::Semantic || axis == Axis::Trajectory || axis == Axis::Conformance;
}
bool symmetric(Axis axis) { return axis == Axis::Semantic || axis == Axis::Trajectory; }
constexpr std::array<Axis, 5> OWN_VALUE_AXES = {Axis::Safety, Axis::Verbosity, Axis::Latency, Axis::Cost,
                                                Axis::Reasoning};

// A tool call's arguments, each value as compact JSON: read once per run
// rather than once per comparison that looks at them.
struct CallArguments {
    std::string_view tool;
    bool object_input = false;
    std::vector<std::pair<std::string_view, std::string>> values;  // the input's members, in order
};

// A tool a run calls, and the first turn calling it.
struct ToolTurn {
    std::string_view name;
    uint64_t turn;
};

// The tools, arguments, refusals and truncations of one run of a conversation.
// Names and argument keys are views into the records, which outlive the key's work.
struct RunFeatures {
    std::vector<ToolTurn> tools;  // by name, each once
    std::vector<std::vector<CallArguments>> calls;  // per turn, in call order
    std::vector<bool> refusing, truncated;  // per turn
    std::array<std::vector<std::optional<double>>, AXES> own;  // per turn, on the rows measuring each side
    std::optional<double> outcome;
};

RunFeatures features_of(const Turns& responses, const PricingTable& pricing) {
    RunFeatures features;
    for (Axis axis : OWN_VALUE_AXES) features.own[static_cast<size_t>(axis)] = own_values(axis, responses, pricing);
    const auto& abstains = features.own[static_cast<size_t>(Axis::Safety)];
    for (uint64_t turn = 0; turn < responses.size(); ++turn) {
        const Turn& response = responses[turn];
        std::vector<CallArguments>& calls = features.calls.emplace_back();
        for (const ToolUse& use : tool_uses(response)) {
            features.tools.push_back({use.name, turn});
            CallArguments& call = calls.emplace_back();
            call.tool = use.name;
            const json::Object* input = use.input ? use.input->as_object() : nullptr;
            call.object_input = input != nullptr;
            if (!input) continue;
            call.values.reserve(input->size());
            for (const json::Member& member : *input) call.values.emplace_back(member.key, json::to_compact(member.value));
        }
        features.refusing.push_back(refuses(response, abstains[turn] == 1.0));
        features.truncated.push_back(truncated(response));
    }
    // Stable, so each name keeps its first turn.
    std::stable_sort(features.tools.begin(), features.tools.end(),
                     [](const ToolTurn& a, const ToolTurn& b) { return a.name < b.name; });
    features.tools.erase(std::unique(features.tools.begin(), features.tools.end(),
                                     [](const ToolTurn& a, const ToolTurn& b) { return a.name == b.name; }),
                         features.tools.end());
    return features;
}

const ToolTurn* tool_named(const RunFeatures& features, std::string_view name) {
    auto found = std::lower_bound(features.tools.begin(), features.tools.end(), name,
                                  [](const ToolTurn& tool, std::string_view wanted) { return tool.name < wanted; });
    return found != features.tools.end() && found->name == name ? &*found : nullptr;
}

bool calls_tool(const RunFeatures& features, std::string_view name) { return tool_named(features, name) != nullptr; }

std::optional<double> outcome_of(const Conversation& conversation, std::string_view member) {
    const json::Value* value = metadata_member(conversation, member);
    if (!value) return std::nullopt;
    if (const bool* flag = value->as_bool()) return *flag ? 1.0 : 0.0;
    return value->as_double();
}

// The runs of one conversation, baseline replicates first: their features and
// the alignment of every two (paths[a][b] puts run a on the baseline side).
struct ConversationRuns {
    std::vector<Turns> turns;
    RunsRead read;
    std::vector<RunFeatures> features;
    std::vector<std::vector<std::vector<Step>>> paths;
    // matched[a][b][j]: the turn of run a that paths[a][b] matches with turn j of run b, or NO_MATCH.
    std::vector<std::vector<std::vector<uint64_t>>> matched;
};
using RunSet = std::vector<uint32_t>;
constexpr uint64_t NO_MATCH = UINT64_MAX;

std::vector<uint64_t> matched_turns(const std::vector<Step>& path, size_t candidate_turns) {
    std::vector<uint64_t> matched(candidate_turns, NO_MATCH);
    // The first match of a turn, as a search along the path finds it.
    for (auto step = path.rbegin(); step != path.rend(); ++step) {
        if (step->kind == StepKind::Match) matched[step->candidate] = step->baseline;
    }
    return matched;
}

std::optional<uint64_t> matched_baseline_turn(const ConversationRuns& runs, uint32_t b, uint32_t c,
                                              uint64_t candidate_turn) {
    uint64_t turn = runs.matched[b][c][candidate_turn];
    return turn == NO_MATCH ? std::nullopt : std::optional(turn);
}

// Tools every baseline run calls and candidate run c does not, by name.
void dropped_tools(const ConversationRuns& runs, uint32_t c, const RunSet& bases, std::vector<std::string_view>& dropped) {
    dropped.clear();
    for (const ToolTurn& tool : runs.features[bases.front()].tools) {
        if (calls_tool(runs.features[c], tool.name)) continue;
        if (std::all_of(bases.begin(), bases.end(), [&](uint32_t b) { return calls_tool(runs.features[b], tool.name); }))
            dropped.push_back(tool.name);
    }
}

// Tools candidate run c calls and no baseline run does, by name.
void added_tools(const ConversationRuns& runs, uint32_t c, const RunSet& bases, std::vector<std::string_view>& added) {
    added.clear();
    for (const ToolTurn& tool : runs.features[c].tools) {
        if (std::none_of(bases.begin(), bases.end(), [&](uint32_t b) { return calls_tool(runs.features[b], tool.name); }))
            added.push_back(tool.name);
    }
}

struct ArgumentChange {
    std::string_view tool, key;
    const std::string* before;  // compact JSON, in the runs' features
    const std::string* after;
    uint64_t turn = 0;          // of the candidate
};

// The value the first call of `tool` in a turn passes to `key`.
const std::string* argument_at(const std::vector<CallArguments>& calls, std::string_view tool, std::string_view key) {
    for (const CallArguments& call : calls) {
        if (call.tool != tool) continue;
        for (const auto& [name, value] : call.values) {
            if (name == key) return &value;
        }
        return nullptr;
    }
    return nullptr;
}

// Arguments the candidate passes where every baseline run, at the turn the
// alignment matched, calls the same tool with one agreed value for them, and
// the candidate's value differs. Arguments the replicates disagree on (free
// text, say) are their noise, not a change.
// The changes found, and the lists the search keeps, reused from call to call.
struct ArgumentChanges {
    std::vector<ArgumentChange> changes;
    std::vector<std::pair<std::string_view, std::string_view>> reported;
    std::vector<const std::vector<CallArguments>*> counterparts;
    std::vector<std::string_view> tools_seen;
};

void changed_arguments(const ConversationRuns& runs, uint32_t c, const RunSet& bases, ArgumentChanges& found) {
    std::vector<ArgumentChange>& changed = found.changes;
    auto& reported = found.reported;
    auto& counterparts = found.counterparts;
    auto& tools_seen = found.tools_seen;
    changed.clear();
    reported.clear();
    const std::vector<std::vector<CallArguments>>& turns = runs.features[c].calls;
    for (uint64_t turn = 0; turn < turns.size(); ++turn) {
        counterparts.clear();
        for (uint32_t b : bases) {
            std::optional<uint64_t> matched = matched_baseline_turn(runs, b, c, turn);
            if (!matched) break;
            counterparts.push_back(&runs.features[b].calls[*matched]);
        }
        if (counterparts.size() != bases.size()) continue;
        tools_seen.clear();
        for (const CallArguments& call : turns[turn]) {
            if (!call.object_input || std::find(tools_seen.begin(), tools_seen.end(), call.tool) != tools_seen.end())
                continue;
            tools_seen.push_back(call.tool);
            for (const auto& [key, value] : call.values) {
                const std::string* agreed = argument_at(*counterparts.front(), call.tool, key);
                if (!agreed) continue;
                bool all_agree = std::all_of(counterparts.begin() + 1, counterparts.end(), [&](const auto* b) {
                    const std::string* other = argument_at(*b, call.tool, key);
                    return other && *other == *agreed;
                });
                if (!all_agree || value == *agreed) continue;
                std::pair<std::string_view, std::string_view> subject{call.tool, key};
                if (std::find(reported.begin(), reported.end(), subject) != reported.end()) continue;
                reported.push_back(subject);
                changed.push_back({call.tool, key, agreed, &value, turn});
            }
        }
    }
}

// The first candidate turn with the flag whose counterpart in every baseline
// run (the turn the alignment matched it with) lacks it.
std::optional<uint64_t> new_flagged_turn(const ConversationRuns& runs, uint32_t c, const RunSet& bases,
                                         std::vector<bool> RunFeatures::*flags) {
    const std::vector<bool>& candidate = runs.features[c].*flags;
    for (uint64_t turn = 0; turn < candidate.size(); ++turn) {
        if (!candidate[turn]) continue;
        bool novel = std::none_of(bases.begin(), bases.end(), [&](uint32_t b) {
            std::optional<uint64_t> counterpart = matched_baseline_turn(runs, b, c, turn);
            return counterpart && (runs.features[b].*flags)[*counterpart];
        });
        if (novel) return turn;
    }
    return std::nullopt;
}

// The subject of a signature as findings name it: a tool, "refusal",
// "truncation", or an argument as "tool(key)". Names are composed only for
// subjects not seen before in the key.
struct SubjectView {
    std::string_view name;
    std::string_view argument;  // the key of an argument change
    bool of_argument = false;
};

std::string subject_name(const SubjectView& subject) {
    if (!subject.of_argument) return std::string(subject.name);
    std::string name;
    name.reserve(subject.name.size() + subject.argument.size() + 2);
    name.append(subject.name).append("(").append(subject.argument).append(")");
    return name;
}

bool names(std::string_view name, const SubjectView& subject) {
    if (!subject.of_argument) return name == subject.name;
    const size_t tool = subject.name.size();
    return name.size() == tool + subject.argument.size() + 2 && name.starts_with(subject.name) && name[tool] == '(' &&
           name.substr(tool + 1, subject.argument.size()) == subject.argument && name.back() == ')';
}

// The subjects of each signature a candidate run shows, and the lists they
// are read from: filled call after call without freeing.
struct Shown {
    std::array<std::vector<SubjectView>, SIGNATURE_KINDS> subjects;
    std::vector<std::string_view> tools;
    ArgumentChanges arguments;
};

void shows(const ConversationRuns& runs, uint32_t c, const RunSet& bases, Shown& shown) {
    for (std::vector<SubjectView>& subjects : shown.subjects) subjects.clear();
    dropped_tools(runs, c, bases, shown.tools);
    for (std::string_view tool : shown.tools)
        shown.subjects[static_cast<size_t>(Signature::ToolDropped)].push_back({tool, {}, false});
    added_tools(runs, c, bases, shown.tools);
    for (std::string_view tool : shown.tools)
        shown.subjects[static_cast<size_t>(Signature::ToolAdded)].push_back({tool, {}, false});
    changed_arguments(runs, c, bases, shown.arguments);
    for (const ArgumentChange& change : shown.arguments.changes)
        shown.subjects[static_cast<size_t>(Signature::ArgumentChanged)].push_back({change.tool, change.key, true});
    if (new_flagged_turn(runs, c, bases, &RunFeatures::refusing))
        shown.subjects[static_cast<size_t>(Signature::NewRefusal)].push_back({"refusal", {}, false});
    if (new_flagged_turn(runs, c, bases, &RunFeatures::truncated))
        shown.subjects[static_cast<size_t>(Signature::NewTruncation)].push_back({"truncation", {}, false});
}

struct AxisPoint {
    bool has = false;
    double baseline = 0.0;
    double candidate = 0.0;
};
using AxisPoints = std::array<AxisPoint, AXES>;

// The statistic of an axis's row, read once.
Statistic row_statistic(Axis axis) {
    static const std::array<Statistic, AXES> statistics = [] {
        std::array<Statistic, AXES> all{};
        for (size_t row = 0; row < AXES; ++row) all[row] = row_shape(static_cast<Axis>(row)).statistic;
        return all;
    }();
    return statistics[static_cast<size_t>(axis)];
}

AxisPoint reduced(const AxisSamples& samples) {
    if (samples.baseline.empty()) return {};
    return {true, central(samples.baseline, samples.statistic), central(samples.candidate, samples.statistic)};
}

// One way of choosing which runs of a conversation play the candidate, and what
// the comparison measures under it.
struct SubjectShare {
    uint32_t subject;  // numbered per signature kind across the suite
    double share;      // of the candidate runs showing it
};

struct Labelling {
    std::array<double, SIGNATURES> signatures{};  // share of the candidate runs showing each
    std::array<std::vector<SubjectShare>, SIGNATURE_KINDS> subjects;
    AxisPoints axes{};
    AxisPoint outcome;
};

struct Work {
    ConversationResult result;
    std::array<std::vector<std::string>, SIGNATURE_KINDS> subject_names;  // numbered locally until the suite numbers them
    std::vector<Labelling> labellings;  // the observed one first; none unless paired
    uint64_t matched = 0, priced = 0;   // turn pairs of the first baseline and candidate runs; both costs known
};

// A share a labelling adds to one tally slot: a signature's share of the
// candidate runs showing it (slots below SIGNATURES), or a subject's. Zero
// shares are left out: adding zero leaves a sum as it is.
struct PackedShare {
    uint32_t slot;
    double share;
};
// The bit of a labelling's presence mask that says it has an outcome; bit t
// says that tested axis t, one by mean, has a point.
constexpr unsigned OUTCOME_BIT = 15;

// What the relabellings read of every labelling, packed conversation after
// conversation (each relabelling takes one labelling of every conversation)
// in columns holding only what the tests read, so that a block of
// relabellings reads each column in one pass. The tests: per signature kind,
// the most candidate runs showing it with one subject (one tool dropped
// everywhere stands out from scattered noise); pooled, the runs showing any;
// per tested axis and the outcome, the difference of the central values.
struct PackedSuite {
    std::vector<uint32_t> share_start;  // per labelling and one past the last: its shares
    std::vector<PackedShare> shares;
    std::vector<uint16_t> present;      // per labelling
    // Per column, a value per labelling: the baseline and candidate sides of
    // each axis tested by mean, then of the outcome.
    std::vector<std::vector<double>> values;
    // Per column, a rank per labelling among the column's levels, or
    // absent_rank: both sides of each axis tested by median.
    std::vector<std::vector<uint32_t>> ranks;
    std::vector<Levels> levels;     // per rank column: every value a labelling takes there
    // Per rank column: every labelling has a point there, all of one value
    // (the reasoning row of a model that does not think), so every median is that value.
    std::vector<char> constant;
    std::vector<size_t> first;      // per conversation: its observed labelling
    std::vector<uint16_t> counts;   // per conversation: how many labellings it has
    std::vector<size_t> mean_axes, median_axes;  // tested axes by statistic, by test number
    std::array<size_t, SIGNATURE_KINDS> subjects{};
    std::array<size_t, SIGNATURE_KINDS> first_subject_slot{};
    size_t slots = SIGNATURES;
    bool with_outcome = false;
    size_t tests = 0;
};

// The rank a labelling without a point holds in a rank column: the first of
// a bucket past the levels', which the tallies count but never read.
uint32_t absent_rank(const Levels& levels) { return static_cast<uint32_t>(levels.buckets() << levels.shift); }

// Packs the labellings of the paired conversations, freeing them.
PackedSuite pack_suite(const std::vector<Work*>& paired, const std::vector<size_t>& axis_rows,
                       const std::vector<bool>& by_mean, const std::array<size_t, SIGNATURE_KINDS>& subject_count,
                       bool with_outcome, unsigned threads) {
    PackedSuite suite;
    for (size_t t = 0; t < axis_rows.size(); ++t) (by_mean[t] ? suite.mean_axes : suite.median_axes).push_back(t);
    suite.subjects = subject_count;
    for (size_t s = 0; s < SIGNATURE_KINDS; ++s) {
        suite.first_subject_slot[s] = suite.slots;
        suite.slots += subject_count[s];
    }
    suite.with_outcome = with_outcome;
    suite.tests = SIGNATURES + axis_rows.size() + (with_outcome ? 1 : 0);
    suite.values.resize(2 * (suite.mean_axes.size() + 1));
    suite.ranks.resize(2 * suite.median_axes.size());

    auto point_of = [&](const Labelling& labelling, size_t t) -> const AxisPoint& {
        return labelling.axes[axis_rows[t]];
    };
    std::vector<const Labelling*> labellings;
    for (Work* work : paired) {
        for (const Labelling& labelling : work->labellings) labellings.push_back(&labelling);
    }
    // Each rank column ranked on its own thread.
    suite.levels.resize(suite.ranks.size());
    suite.constant.resize(suite.ranks.size());
    parallel_for(suite.ranks.size(), threads, [&](size_t c) {
        const size_t t = suite.median_axes[c / 2];
        const bool candidate_side = c % 2;
        auto value_of = [&](const AxisPoint& point) { return candidate_side ? point.candidate : point.baseline; };
        std::vector<double> taken;
        for (const Labelling* labelling : labellings) {
            const AxisPoint& point = point_of(*labelling, t);
            if (point.has) taken.push_back(value_of(point));
        }
        suite.constant[c] = taken.size() == labellings.size() &&
                            std::all_of(taken.begin(), taken.end(), [&](double value) { return value == taken.front(); });
        const Levels& levels = suite.levels[c] = levels_of(std::move(taken));
        std::vector<uint32_t>& ranks = suite.ranks[c];
        ranks.reserve(labellings.size());
        for (const Labelling* labelling : labellings) {
            const AxisPoint& point = point_of(*labelling, t);
            ranks.push_back(point.has ? rank_of(levels, value_of(point)) : absent_rank(levels));
        }
    });

    for (Work* work : paired) {
        suite.first.push_back(suite.present.size());
        suite.counts.push_back(static_cast<uint16_t>(work->labellings.size()));
        for (const Labelling& labelling : work->labellings) {
            suite.share_start.push_back(static_cast<uint32_t>(suite.shares.size()));
            for (size_t s = 0; s < SIGNATURES; ++s) {
                if (labelling.signatures[s] != 0.0)
                    suite.shares.push_back({static_cast<uint32_t>(s), labelling.signatures[s]});
            }
            for (size_t s = 0; s < SIGNATURE_KINDS; ++s) {
                for (const SubjectShare& share : labelling.subjects[s]) {
                    suite.shares.push_back(
                        {static_cast<uint32_t>(suite.first_subject_slot[s] + share.subject), share.share});
                }
            }
            uint16_t present = labelling.outcome.has ? uint16_t{1} << OUTCOME_BIT : 0;
            for (size_t m = 0; m <= suite.mean_axes.size(); ++m) {
                const AxisPoint& point = m < suite.mean_axes.size() ? point_of(labelling, suite.mean_axes[m])
                                                                    : labelling.outcome;
                if (point.has && m < suite.mean_axes.size())
                    present |= static_cast<uint16_t>(1u << suite.mean_axes[m]);
                suite.values[2 * m].push_back(point.has ? point.baseline : 0.0);
                suite.values[2 * m + 1].push_back(point.has ? point.candidate : 0.0);
            }
            suite.present.push_back(present);
        }
        std::vector<Labelling>().swap(work->labellings);
    }
    suite.share_start.push_back(static_cast<uint32_t>(suite.shares.size()));
    return suite;
}

// Columns with at most this many levels count every rank of a block's rows
// at once (a few kilobytes per row) rather than in two passes.
constexpr size_t DIRECT_LEVELS = 1024;

// The statistics of a block of relabellings, each taking labelling first[i] +
// choices[r][i] of every conversation i. Each column is read in one pass over
// the conversations for the whole block. Sums grow in conversation order, as
// mean_of sums. A median takes two passes over its column: the first counts
// the ranks by bucket, which tells the buckets holding the middle; the second
// counts the ranks of those buckets one by one. A column of few levels
// counts every rank in one pass instead.
class BlockTally {
public:
    BlockTally(const PackedSuite& suite, const std::vector<std::vector<uint16_t>>& choices)
        : suite_(suite), rows_(choices.size()) {
        const size_t n = suite.first.size();
        chosen_.resize(n * rows_);
        for (size_t i = 0; i < n; ++i) {
            for (size_t r = 0; r < rows_; ++r)
                chosen_[i * rows_ + r] = static_cast<uint32_t>(suite.first[i] + choices[r][i]);
        }
        tally_shares();
        tally_means();
        tally_medians();
    }

    double slot(size_t r, size_t slot) const { return slots_[r * suite_.slots + slot]; }

    std::array<double, SIGNATURES> shown(size_t r) const {
        std::array<double, SIGNATURES> shown;
        for (size_t s = 0; s < SIGNATURES; ++s) shown[s] = slot(r, s);
        return shown;
    }

    std::vector<double> statistics(size_t r) const {
        const PackedSuite& suite = suite_;
        std::vector<double> out(suite.tests, 0.0);
        for (size_t s = 0; s < SIGNATURE_KINDS; ++s) {
            for (size_t j = 0; j < suite.subjects[s]; ++j)
                out[s] = std::max(out[s], slot(r, suite.first_subject_slot[s] + j));
        }
        out[SIGNATURE_KINDS] = slot(r, SIGNATURE_KINDS);
        const size_t means = suite.mean_axes.size();
        const double* sums = sums_.data() + r * suite.values.size();
        const size_t* summed = summed_.data() + r * (means + 1);
        for (size_t m = 0; m < means; ++m) {
            std::array<double, 2> central{};
            for (size_t side = 0; side < 2; ++side)
                central[side] = summed[m] ? sums[2 * m + side] / static_cast<double>(summed[m]) : 0.0;
            out[SIGNATURES + suite.mean_axes[m]] = central[1] - central[0];
        }
        // data(), not [], where a suite has no median column and the tally is empty.
        const double* medians = medians_.data() + r * suite.ranks.size();
        for (size_t q = 0; q < suite.median_axes.size(); ++q)
            out[SIGNATURES + suite.median_axes[q]] = medians[2 * q + 1] - medians[2 * q];
        if (suite.with_outcome) {
            out[suite.tests - 1] = summed[means] ? (sums[2 * means + 1] - sums[2 * means]) /
                                                       static_cast<double>(summed[means])
                                                 : 0.0;
        }
        return out;
    }

private:
    template <class Visit>
    void each_choice(Visit visit) const {
        for (const uint32_t* row = chosen_.data(); row != chosen_.data() + chosen_.size(); row += rows_) {
            for (size_t r = 0; r < rows_; ++r) visit(r, row[r]);
        }
    }

    void tally_shares() {
        const size_t width = suite_.slots;
        slots_.assign(rows_ * width, 0.0);
        each_choice([&](size_t r, uint32_t j) {
            for (uint32_t k = suite_.share_start[j]; k < suite_.share_start[j + 1]; ++k)
                slots_[r * width + suite_.shares[k].slot] += suite_.shares[k].share;
        });
    }

    void tally_means() {
        const size_t means = suite_.mean_axes.size();
        sums_.assign(rows_ * suite_.values.size(), 0.0);
        summed_.assign(rows_ * (means + 1), 0);
        // Every column in one pass: each column's sums still grow in conversation order.
        std::vector<unsigned> bits(means + 1);
        std::vector<const double*> columns(2 * (means + 1));
        for (size_t m = 0; m <= means; ++m) {
            bits[m] = m < means ? static_cast<unsigned>(suite_.mean_axes[m]) : OUTCOME_BIT;
            columns[2 * m] = suite_.values[2 * m].data();
            columns[2 * m + 1] = suite_.values[2 * m + 1].data();
        }
        const size_t width = suite_.values.size();
        double* all_sums = sums_.data();
        size_t* all_summed = summed_.data();
        each_choice([&](size_t r, uint32_t j) {
            const unsigned present = suite_.present[j];
            double* sums = all_sums + r * width;
            size_t* summed = all_summed + r * (means + 1);
            for (size_t m = 0; m <= means; ++m) {
                if (!((present >> bits[m]) & 1)) continue;
                sums[2 * m] += columns[2 * m][j];
                sums[2 * m + 1] += columns[2 * m + 1][j];
                ++summed[m];
            }
        });
    }

    void tally_medians() {
        const size_t columns = suite_.ranks.size();
        const size_t n = suite_.first.size();
        medians_.assign(rows_ * columns, 0.0);
        std::vector<uint32_t> buckets, windows;
        std::vector<Middle> middles(rows_);
        std::vector<uint32_t> low_first(rows_), high_first(rows_);
        for (size_t c = 0; c < columns; ++c) {
            const Levels& levels = suite_.levels[c];
            if (suite_.constant[c]) {
                // What the counting below finds: n points of one value.
                const double value = levels.values.front();
                for (size_t r = 0; r < rows_; ++r) medians_[r * columns + c] = n % 2 ? value : (value + value) * 0.5;
                continue;
            }
            const uint32_t* ranks = suite_.ranks[c].data();
            if (levels.values.size() <= DIRECT_LEVELS) {
                // Few levels: every rank counted in one pass, the last slot for absent points.
                const uint32_t absent = static_cast<uint32_t>(levels.values.size());
                const size_t width = absent + 1;
                buckets.assign(rows_ * width, 0);
                each_choice([&](size_t r, uint32_t j) { ++buckets[r * width + std::min(ranks[j], absent)]; });
                for (size_t r = 0; r < rows_; ++r) {
                    const uint32_t* counts = &buckets[r * width];
                    medians_[r * columns + c] = rank_count_median({counts, absent}, n - counts[absent], levels);
                }
                continue;
            }
            const size_t width = levels.buckets() + 1, size = levels.bucket_size();  // the last: absent points
            const unsigned shift = levels.shift;
            buckets.assign(rows_ * width, 0);
            each_choice([&](size_t r, uint32_t j) { ++buckets[r * width + (ranks[j] >> shift)]; });
            for (size_t r = 0; r < rows_; ++r) {
                const uint32_t* counts = &buckets[r * width];
                middles[r] = middle_of({counts, width - 1}, n - counts[width - 1]);
            }
            // The first rank of each row's middle buckets, kept side by side so
            // that a rank is placed by subtracting and comparing.
            for (size_t r = 0; r < rows_; ++r) {
                low_first[r] = static_cast<uint32_t>(middles[r].low_bucket << shift);
                high_first[r] = static_cast<uint32_t>(middles[r].high_bucket << shift);
            }
            windows.assign(rows_ * 2 * size, 0);
            each_choice([&](size_t r, uint32_t j) {
                uint32_t* window = &windows[r * 2 * size];
                if (const uint32_t low = ranks[j] - low_first[r]; low < size) {
                    ++window[low];
                } else if (const uint32_t high = ranks[j] - high_first[r]; high < size) {
                    ++window[size + high];
                }
            });
            for (size_t r = 0; r < rows_; ++r) {
                const uint32_t* window = &windows[r * 2 * size];
                medians_[r * columns + c] = middle_median(middles[r], {window, size}, {window + size, size}, levels);
            }
        }
    }

    const PackedSuite& suite_;
    size_t rows_;
    std::vector<uint32_t> chosen_;  // per conversation, per row: the labelling taken
    std::vector<double> slots_;     // per row: per signature, then per subject
    std::vector<double> sums_;      // per row: per value column
    std::vector<size_t> summed_;    // per row: per axis by mean, then the outcome: the labellings with a point
    std::vector<double> medians_;   // per row: per rank column
};

// Relabellings are tallied a block at a time, so that a column is read once
// per block rather than once per relabelling.
constexpr size_t RELABELLING_BLOCK = 25;

struct Relabelled {
    std::vector<std::vector<double>> null;  // null[test][relabelling]
    std::vector<std::array<double, SIGNATURES>> shown;
};

// `beside` runs on one of the threads while the others start on the blocks.
template <class Beside>
Relabelled relabel(const PackedSuite& suite, uint64_t seed, unsigned threads, Beside&& beside) {
    Relabelled relabelled;
    relabelled.null.assign(suite.tests, std::vector<double>(RELABELLINGS));
    relabelled.shown.resize(RELABELLINGS);
    parallel_for((RELABELLINGS + RELABELLING_BLOCK - 1) / RELABELLING_BLOCK + 1, threads, [&](size_t task) {
        if (task == 0) {
            beside();
            return;
        }
        const size_t block = task - 1;
        const size_t first_row = block * RELABELLING_BLOCK;
        const size_t rows = std::min(RELABELLING_BLOCK, RELABELLINGS - first_row);
        std::vector<std::vector<uint16_t>> drawn;
        for (size_t b = 0; b < rows; ++b) drawn.push_back(draw_relabelling(suite.counts, seed, first_row + b));
        BlockTally tally(suite, drawn);
        for (size_t b = 0; b < rows; ++b) {
            std::vector<double> values = tally.statistics(b);
            for (size_t t = 0; t < suite.tests; ++t) relabelled.null[t][first_row + b] = values[t];
            relabelled.shown[first_row + b] = tally.shown(b);
        }
    });
    return relabelled;
}

struct Context {
    const Options& options;
    std::string outcome_member;
    bool calibrated = false;
};

double mean_of(const std::vector<double>& values) {
    double sum = 0.0;
    for (double value : values) sum += value;
    return values.empty() ? 0.0 : sum / static_cast<double>(values.size());
}

// A mean without keeping the values: summed in the order added, as mean_of sums them.
struct RunningMean {
    double sum = 0.0;
    size_t count = 0;

    void add(double value) {
        sum += value;
        ++count;
    }
    double mean() const { return sum / static_cast<double>(count); }
};

std::vector<uint64_t> candidate_masks(uint32_t runs, uint32_t candidates, uint64_t seed, size_t key_index) {
    const uint64_t observed = ((uint64_t{1} << candidates) - 1) << (runs - candidates);
    std::vector<uint64_t> masks{observed};
    double ways = 1.0;
    for (uint32_t i = 0; i < candidates; ++i) ways = ways * (runs - i) / (i + 1);
    if (ways <= static_cast<double>(MAX_LABELLINGS)) {
        for (uint64_t mask = 0; mask < (uint64_t{1} << runs); ++mask) {
            if (std::popcount(mask) == static_cast<int>(candidates) && mask != observed) masks.push_back(mask);
        }
        return masks;
    }
    // Partial Fisher-Yates shuffles of the run numbers, one per sampled labelling.
    std::vector<uint16_t> counts;
    for (uint32_t i = 0; i < candidates; ++i) counts.push_back(static_cast<uint16_t>(runs - i));
    std::vector<uint16_t> draws =
        uniform_draws(counts, MAX_LABELLINGS - 1, seed ^ (0x9e3779b97f4a7c15ull * (key_index + 1)));
    for (size_t s = 0; s + 1 < MAX_LABELLINGS; ++s) {
        std::vector<uint32_t> order(runs);
        for (uint32_t i = 0; i < runs; ++i) order[i] = i;
        uint64_t mask = 0;
        for (uint32_t i = 0; i < candidates; ++i) {
            std::swap(order[i], order[i + draws[s * candidates + i]]);
            mask |= uint64_t{1} << order[i];
        }
        masks.push_back(mask);
    }
    return masks;
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

// At most EXCERPT_BYTES of the text, cut at a character boundary.
std::string excerpt(std::string text) {
    if (text.size() <= EXCERPT_BYTES) return text;
    size_t cut = EXCERPT_BYTES;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
    return text.substr(0, cut) + "…";
}

Finding signature_finding(Signature signature, std::string explanation, uint64_t baseline_turn,
                          uint64_t candidate_turn, uint32_t candidate_run, std::string subject) {
    Finding finding;
    finding.kind = signature_name(signature);
    finding.explanation = std::move(explanation);
    finding.baseline_turn = baseline_turn;
    finding.candidate_turn = candidate_turn;
    finding.candidate_run = candidate_run;
    finding.signature = signature;
    finding.subject = std::move(subject);
    return finding;
}

// What candidate run `c` shows against every baseline replicate, located on
// its alignment with the first baseline replicate.
void add_signature_findings(std::vector<Finding>& findings, const ConversationRuns& runs, uint32_t c,
                            const RunSet& bases, uint32_t candidate_run, Shown& scratch) {
    const std::vector<Step>& path = runs.paths[bases.front()][c];
    const RunFeatures& first_baseline = runs.features[bases.front()];
    dropped_tools(runs, c, bases, scratch.tools);
    for (std::string_view tool : scratch.tools) {
        uint64_t b_turn = tool_named(first_baseline, tool)->turn;
        uint64_t c_turn = candidate_counterpart(path, b_turn);
        findings.push_back(signature_finding(
            Signature::ToolDropped,
            "candidate no longer calls " + quoted(tool) + ", which every baseline run calls (baseline turn #" +
                std::to_string(b_turn) + ", candidate turn #" + std::to_string(c_turn) + ")",
            b_turn, c_turn, candidate_run, std::string(tool)));
    }
    added_tools(runs, c, bases, scratch.tools);
    for (std::string_view tool : scratch.tools) {
        uint64_t c_turn = tool_named(runs.features[c], tool)->turn;
        uint64_t b_turn = baseline_counterpart(path, c_turn);
        findings.push_back(signature_finding(
            Signature::ToolAdded,
            "candidate newly calls " + quoted(tool) + " at candidate turn #" + std::to_string(c_turn) +
                " (baseline turn #" + std::to_string(b_turn) + "); no baseline run calls it",
            b_turn, c_turn, candidate_run, std::string(tool)));
    }
    changed_arguments(runs, c, bases, scratch.arguments);
    for (const ArgumentChange& change : scratch.arguments.changes) {
        uint64_t b_turn = baseline_counterpart(path, change.turn);
        std::string name = subject_name({change.tool, change.key, true});
        findings.push_back(signature_finding(
            Signature::ArgumentChanged,
            quoted(name) + ": " + *change.before + " → " + *change.after + " at candidate turn #" +
                std::to_string(change.turn) + " (baseline turn #" + std::to_string(b_turn) +
                "), where every baseline run passes " + *change.before,
            b_turn, change.turn, candidate_run, name));
    }
    if (auto c_turn = new_flagged_turn(runs, c, bases, &RunFeatures::refusing)) {
        uint64_t b_turn = baseline_counterpart(path, *c_turn);
        findings.push_back(signature_finding(
            Signature::NewRefusal,
            "candidate refused at candidate turn #" + std::to_string(*c_turn) + " (baseline turn #" +
                std::to_string(b_turn) + "): \"" + excerpt(std::string(text_of(runs.turns[c][*c_turn]))) +
                "\"; no baseline run refused there",
            b_turn, *c_turn, candidate_run, "refusal"));
    }
    if (auto c_turn = new_flagged_turn(runs, c, bases, &RunFeatures::truncated)) {
        uint64_t b_turn = baseline_counterpart(path, *c_turn);
        std::string reason(stop_reason_of(runs.turns[c][*c_turn]));
        findings.push_back(signature_finding(
            Signature::NewTruncation,
            "candidate response truncated at candidate turn #" + std::to_string(*c_turn) + " (stop_reason " +
                quoted(reason) + ", baseline turn #" + std::to_string(b_turn) + "); no baseline run was truncated there",
            b_turn, *c_turn, candidate_run, "truncation"));
    }
}

Level level_of(RecommendationSeverity severity) {
    switch (severity) {
        case RecommendationSeverity::Error: return Level::Error;
        case RecommendationSeverity::Warning: return Level::Warning;
        case RecommendationSeverity::Info: return Level::Info;
    }
    return Level::Info;
}

std::string number_text(double value) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%g", value);
    return buffer;
}

// The comparison of one key across every run that holds it.
Work compare_key(size_t key_index, const KeyEntry& entry, const Context& context) {
    const Options& options = context.options;
    Work work;
    ConversationResult& result = work.result;
    result.key = entry.key;
    result.status = entry.baseline.empty()    ? Status::CandidateOnly
                    : entry.candidate.empty() ? Status::BaselineOnly
                                              : Status::Paired;
    std::vector<Side> sides = entry.baseline;
    sides.insert(sides.end(), entry.candidate.begin(), entry.candidate.end());
    const uint32_t k = static_cast<uint32_t>(entry.baseline.size());
    const uint32_t m = static_cast<uint32_t>(sides.size());

    ConversationRuns runs;
    std::vector<Turns>& turns = runs.turns;
    std::vector<RunFeatures>& features = runs.features;
    turns.resize(m);
    features.resize(m);
    for (uint32_t r = 0; r < m; ++r) {
        const Conversation& conversation = *sides[r].conversation;
        turns[r] = turns_of(conversation.records);
        features[r] = features_of(turns[r], options.pricing);
        if (!context.outcome_member.empty())
            features[r].outcome = outcome_of(conversation, context.outcome_member);
        bool baseline = r < k;
        (baseline ? result.baseline_runs : result.candidate_runs).push_back(sides[r].run);
        (baseline ? result.baseline_ids : result.candidate_ids).push_back(conversation.id);
        (baseline ? result.baseline_outcomes : result.candidate_outcomes).push_back(features[r].outcome);
    }
    if (result.status != Status::Paired) return work;
    runs.read = read_runs(turns);

    // Every pair of runs aligned once; table[a][b] compares run a (baseline side) with run b.
    std::vector<std::vector<std::vector<Step>>>& paths = runs.paths;
    paths.assign(m, std::vector<std::vector<Step>>(m));
    std::vector<std::vector<AxisPoints>> table(m, std::vector<AxisPoints>(m));
    for (uint32_t a = 0; a < m; ++a) {
        for (uint32_t b = a + 1; b < m; ++b) {
            std::vector<Step>& path = paths[a][b];
            path = align_turns(runs.read, a, b);
            std::vector<Step> swapped = path;
            for (Step& step : swapped) {
                std::swap(step.baseline, step.candidate);
                if (step.kind != StepKind::Match) step.kind = step.kind == StepKind::Insert ? StepKind::Delete
                                                                                             : StepKind::Insert;
            }
            for (Axis axis : {Axis::Semantic, Axis::Trajectory, Axis::Conformance}) {
                size_t row = static_cast<size_t>(axis);
                table[a][b][row] = reduced(matched_samples(axis, path, runs.read, a, b));
                table[b][a][row] = symmetric(axis) ? table[a][b][row]
                                                   : reduced(matched_samples(axis, swapped, runs.read, b, a));
            }
            for (Axis axis : OWN_VALUE_AXES) {
                size_t row = static_cast<size_t>(axis);
                thread_local std::vector<double> base_values, cand_values;
                base_values.clear();
                cand_values.clear();
                for (const Step& step : path) {
                    if (step.kind != StepKind::Match) continue;
                    const auto& base = features[a].own[row][step.baseline];
                    const auto& cand = features[b].own[row][step.candidate];
                    if (!base || !cand) continue;
                    base_values.push_back(*base);
                    cand_values.push_back(*cand);
                }
                AxisPoint forward;
                if (!base_values.empty()) {
                    const Statistic statistic = row_statistic(axis);
                    forward = {true, central(base_values, statistic), central(cand_values, statistic)};
                }
                table[a][b][row] = forward;
                table[b][a][row] = {forward.has, forward.candidate, forward.baseline};
                if (axis == Axis::Cost && a == 0 && b == k) {
                    work.matched = std::count_if(path.begin(), path.end(),
                                                 [](const Step& step) { return step.kind == StepKind::Match; });
                    work.priced = base_values.size();
                }
            }
            paths[b][a] = std::move(swapped);
        }
    }
    runs.matched.assign(m, std::vector<std::vector<uint64_t>>(m));
    for (uint32_t a = 0; a < m; ++a) {
        for (uint32_t b = 0; b < m; ++b) {
            if (a != b) runs.matched[a][b] = matched_turns(paths[a][b], turns[b].size());
        }
    }

    thread_local Shown shown;
    RunSet cands, bases;
    const std::vector<uint64_t> masks = candidate_masks(m, m - k, options.seed, key_index);
    work.labellings.reserve(masks.size());
    for (uint64_t mask : masks) {
        cands.clear();
        bases.clear();
        for (uint32_t r = 0; r < m; ++r) ((mask >> r) & 1 ? cands : bases).push_back(r);
        Labelling labelling;
        const double weight = 1.0 / static_cast<double>(cands.size());
        for (uint32_t c : cands) {
            shows(runs, c, bases, shown);
            bool any = false;
            for (size_t s = 0; s < SIGNATURE_KINDS; ++s) {
                if (shown.subjects[s].empty()) continue;
                labelling.signatures[s] += weight;
                any = true;
                for (const SubjectView& subject : shown.subjects[s]) {
                    std::vector<std::string>& known = work.subject_names[s];
                    uint32_t id = static_cast<uint32_t>(
                        std::find_if(known.begin(), known.end(),
                                     [&](const std::string& name) { return names(name, subject); }) -
                        known.begin());
                    if (id == known.size()) known.push_back(subject_name(subject));
                    std::vector<SubjectShare>& shares = labelling.subjects[s];
                    auto found = std::find_if(shares.begin(), shares.end(),
                                              [&](const SubjectShare& share) { return share.subject == id; });
                    if (found == shares.end()) shares.push_back({id, weight});
                    else found->share += weight;
                }
            }
            labelling.signatures[SIGNATURE_KINDS] += any ? weight : 0.0;
        }

        for (size_t axis = 0; axis < AXES; ++axis) {
            RunningMean base, cand;
            for (uint32_t b : bases) {
                for (uint32_t c : cands) {
                    const AxisPoint& point = table[b][c][axis];
                    if (!point.has) continue;
                    base.add(point.baseline);
                    cand.add(point.candidate);
                }
            }
            if (context.calibrated && measures_the_pair(static_cast<Axis>(axis))) {
                // The noise floor: how far the baseline replicates are from each other.
                base = {};
                for (uint32_t x : bases) {
                    for (uint32_t y : bases) {
                        const AxisPoint& point = table[x][y][axis];
                        if (x != y && point.has) base.add(point.candidate);
                    }
                }
            }
            if (base.count == 0 || cand.count == 0) continue;
            labelling.axes[axis] = {true, base.mean(), cand.mean()};
        }

        RunningMean base_outcome, cand_outcome;
        for (uint32_t b : bases) {
            if (features[b].outcome) base_outcome.add(*features[b].outcome);
        }
        for (uint32_t c : cands) {
            if (features[c].outcome) cand_outcome.add(*features[c].outcome);
        }
        if (base_outcome.count > 0 && cand_outcome.count > 0)
            labelling.outcome = {true, base_outcome.mean(), cand_outcome.mean()};
        work.labellings.push_back(std::move(labelling));
    }

    // Findings of the observed labelling.
    RunSet baseline_runs;
    for (uint32_t b = 0; b < k; ++b) baseline_runs.push_back(b);
    for (uint32_t c = k; c < m; ++c) add_signature_findings(result.findings, runs, c, baseline_runs, c - k, shown);

    bool all_outcomes = std::all_of(features.begin(), features.end(), [](const RunFeatures& f) { return f.outcome; });
    if (all_outcomes) {
        double worst_baseline = *features[0].outcome, best_candidate = *features[k].outcome;
        for (uint32_t b = 0; b < k; ++b) worst_baseline = std::min(worst_baseline, *features[b].outcome);
        for (uint32_t c = k; c < m; ++c) best_candidate = std::max(best_candidate, *features[c].outcome);
        if (worst_baseline > best_candidate) {
            Finding finding;
            finding.kind = "outcome_lost";
            finding.explanation = quoted(context.outcome_member) + " " + number_text(worst_baseline) +
                                  " or better in every baseline run, " + number_text(best_candidate) +
                                  " or worse in every candidate run";
            finding.outcome = true;
            result.findings.push_back(std::move(finding));
        }
    }

    for (const FirstDivergence& divergence :
         ranked_divergences(paths[0][k], runs.read, 0, k, DIVERGENCE_FINDINGS)) {
        Finding finding;
        finding.kind = compare::divergence_kind_name(divergence.kind);
        finding.explanation = divergence.explanation;
        finding.baseline_turn = divergence.baseline_turn;
        finding.candidate_turn = divergence.candidate_turn;
        finding.severity = context.calibrated ? Level::Info : level_of(recommendation_for(divergence).severity);
        result.findings.push_back(std::move(finding));
    }
    return work;
}

// ---------------------------------------------------------------------------

std::string p_text(double p) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.3f", p);
    return buffer;
}

std::string one_decimal(double value) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.1f", value);
    return buffer;
}

std::string_view signature_title(Signature signature) {
    switch (signature) {
        case Signature::ToolDropped: return "A tool no longer called";
        case Signature::ToolAdded: return "A tool newly called";
        case Signature::ArgumentChanged: return "A tool argument changed";
        case Signature::NewRefusal: return "A new refusal";
        case Signature::NewTruncation: return "A new truncation";
        case Signature::Pooled: return "A structural change of some kind (all signatures pooled)";
    }
    return "";
}

std::string subjects_text(const SignatureResult& signature) {
    std::string text;
    size_t shown = 0;
    for (const auto& [subject, count] : signature.subjects) {
        if (shown++ == 3) break;
        text += (text.empty() ? ": " : ", ") + quoted(subject) + " (" + std::to_string(count) + ")";
    }
    return text;
}

// Numbers each signature's subjects across the suite, in key order, and
// renumbers the labellings' shares accordingly.
using SubjectNumbers = std::array<std::unordered_map<std::string, uint32_t>, SIGNATURE_KINDS>;
SubjectNumbers number_subjects(const std::vector<Work*>& paired) {
    SubjectNumbers numbers;
    for (size_t s = 0; s < SIGNATURE_KINDS; ++s) {
        for (Work* work : paired) {
            std::vector<uint32_t> renumbered;
            for (const std::string& name : work->subject_names[s])
                renumbered.push_back(numbers[s].emplace(name, static_cast<uint32_t>(numbers[s].size())).first->second);
            for (Labelling& labelling : work->labellings) {
                for (SubjectShare& share : labelling.subjects[s]) share.subject = renumbered[share.subject];
            }
        }
    }
    return numbers;
}

}  // namespace

std::string_view signature_name(Signature signature) {
    switch (signature) {
        case Signature::ToolDropped: return "tool_dropped";
        case Signature::ToolAdded: return "tool_added";
        case Signature::ArgumentChanged: return "argument_changed";
        case Signature::NewRefusal: return "new_refusal";
        case Signature::NewTruncation: return "new_truncation";
        case Signature::Pooled: return "pooled";
    }
    return "";
}

std::string_view level_name(Level level) {
    switch (level) {
        case Level::Error: return "error";
        case Level::Warning: return "warning";
        case Level::Info: return "info";
    }
    return "";
}

std::string_view status_name(Status status) {
    switch (status) {
        case Status::Paired: return "paired";
        case Status::BaselineOnly: return "baseline_only";
        case Status::CandidateOnly: return "candidate_only";
    }
    return "";
}

std::string_view key_source_name(KeySource source) {
    switch (source) {
        case KeySource::TraceId: return "trace_id";
        case KeySource::Member: return "member";
        case KeySource::FirstRequest: return "first_request";
    }
    return "";
}

std::string_view verdict(const SuiteReport& report) {
    if (!report.calibrated) return "uncalibrated";
    bool error = std::any_of(report.recommendations.begin(), report.recommendations.end(),
                             [](const Advice& advice) { return advice.severity == Level::Error; });
    return error ? "regressed" : "no significant change";
}

Result<SuiteReport> compare_runs(std::vector<Run> baseline, std::vector<Run> candidate, const Options& options,
                                 RecordFeed* feed) {
    std::vector<std::vector<Conversation>> runs(baseline.size() + candidate.size());
    // However this ends, even on bad input, the feed's caller is done writing
    // into the conversations before they go.
    struct CloseFeed {
        RecordFeed* feed;
        ~CloseFeed() {
            if (feed) feed->close();
        }
    } close_feed{feed};
    if (baseline.empty()) return Error{"no baseline runs"};
    if (candidate.empty()) return Error{"no candidate runs"};
    if (baseline.size() > MAX_RUNS_PER_SIDE || candidate.size() > MAX_RUNS_PER_SIDE)
        return Error{"at most " + std::to_string(MAX_RUNS_PER_SIDE) + " runs per side"};

    SuiteReport report;
    report.seed = options.seed;
    report.baseline_runs = static_cast<uint32_t>(baseline.size());
    report.candidate_runs = static_cast<uint32_t>(candidate.size());

    std::vector<Run> all = std::move(baseline);
    for (Run& run : candidate) all.push_back(std::move(run));
    // A run is grouped while the caller of a feed reads the next.
    std::atomic<bool> unread{false};
    parallel_for(all.size(), options.threads, [&](size_t r) {
        if (feed) {
            std::optional<Run> read = feed->run(r);
            if (!read) {
                unread = true;
                return;
            }
            all[r] = std::move(*read);
        }
        runs[r] = group_conversations(std::move(all[r]));
    });
    if (unread) return Error{"the comparison was stopped before every run was read"};

    Result<Pairing> paired_up = pair_conversations(runs, report.baseline_runs, options);
    if (!paired_up) return paired_up.take_error();
    Pairing pairing = std::move(paired_up).value();
    report.key_source = pairing.source;
    report.key_member = pairing.member;

    Context context{options, "", false};
    if (options.outcome_member) {
        context.outcome_member = *options.outcome_member;
    } else {
        for (const auto& conversations : runs) {
            for (const Conversation& conversation : conversations) {
                if (context.outcome_member.empty() && metadata_member(conversation, DEFAULT_OUTCOME))
                    context.outcome_member = DEFAULT_OUTCOME;
            }
        }
    }
    for (const KeyEntry& entry : pairing.entries) {
        if (!entry.candidate.empty() && entry.baseline.size() >= 2) context.calibrated = true;
    }
    report.calibrated = context.calibrated;

    if (feed) {
        std::vector<std::vector<RecordFeed::Holder>> keys;
        keys.reserve(pairing.entries.size());
        for (const KeyEntry& entry : pairing.entries) {
            std::vector<RecordFeed::Holder>& holders = keys.emplace_back();
            for (const auto* sides : {&entry.baseline, &entry.candidate}) {
                for (const Side& side : *sides) holders.push_back({side.run, side.conversation});
            }
        }
        feed->paired(std::move(keys));
    }
    std::vector<Work> works(pairing.entries.size());
    std::atomic<bool> stopped{false};
    parallel_for(works.size(), options.threads, [&](size_t i) {
        if (feed && !feed->ready(i)) {
            stopped = true;
            return;
        }
        const KeyEntry& entry = pairing.entries[i];
        works[i] = compare_key(i, entry, context);
        // Its work holds all that the report needs of the key: its records make room for the next keys'.
        if (feed) {
            feed->compared(i);
            return;
        }
        for (const auto* sides : {&entry.baseline, &entry.candidate}) {
            for (const Side& side : *sides) std::vector<Record>().swap(side.conversation->records);
        }
    });

    if (stopped) return Error{"the comparison was stopped before every key was compared"};

    std::vector<Work*> paired;
    for (Work& work : works) {
        switch (work.result.status) {
            case Status::Paired: ++report.paired, paired.push_back(&work); break;
            case Status::BaselineOnly: ++report.baseline_only; break;
            case Status::CandidateOnly: ++report.candidate_only; break;
        }
    }
    const size_t n = paired.size();

    // Observed statistics.
    std::vector<AxisSamples> rows;
    for (size_t axis = 0; axis < AXES; ++axis) rows.push_back(row_shape(static_cast<Axis>(axis)));
    uint64_t matched = 0, priced = 0;
    for (Work* work : paired) {
        matched += work->matched;
        priced += work->priced;
        const Labelling& observed = work->labellings.front();
        for (size_t axis = 0; axis < AXES; ++axis) {
            if (!observed.axes[axis].has) continue;
            rows[axis].baseline.push_back(observed.axes[axis].baseline);
            rows[axis].candidate.push_back(observed.axes[axis].candidate);
        }
    }
    // As the single report flags it: fewer than half of the turn pairs priced.
    rows[static_cast<size_t>(Axis::Cost)].no_pricing = 2 * priced < matched;
    // The bootstrap intervals read only the observed rows: where relabellings
    // are drawn they are drawn beside them, so that no core idles at the end.
    std::vector<AxisStat> stats;
    std::pair<double, double> outcome_interval{};
    std::vector<double> base_outcomes, cand_outcomes;
    auto intervals = [&] {
        stats = row_stats(rows, options.seed);
        if (!base_outcomes.empty())
            outcome_interval = delta_interval(base_outcomes, cand_outcomes, Statistic::Mean, options.seed);
    };
    auto record_intervals = [&] {
        if (report.outcome) std::tie(report.outcome->ci95_low, report.outcome->ci95_high) = outcome_interval;
        for (size_t axis = 0; axis < AXES; ++axis) {
            if (static_cast<Axis>(axis) == Axis::Judge) continue;
            report.axes.push_back(AxisResult{stats[axis], {}});
        }
    };

    report.signatures.resize(SIGNATURES);
    std::array<std::map<std::string, uint64_t>, SIGNATURES> subject_counts;
    for (size_t s = 0; s < SIGNATURES; ++s) {
        SignatureResult& signature = report.signatures[s];
        signature.signature = static_cast<Signature>(s);
        double sum = 0.0;
        for (Work* work : paired) {
            double share = work->labellings.front().signatures[s];
            sum += share;
            signature.conversations += share > 0.0 ? 1 : 0;
        }
        signature.candidate_rate = n ? sum / static_cast<double>(n) : 0.0;
    }
    for (Work* work : paired) {
        std::array<std::set<std::string>, SIGNATURES> seen;
        for (const Finding& finding : work->result.findings) {
            if (!finding.signature) continue;
            seen[static_cast<size_t>(*finding.signature)].insert(finding.subject);
            seen[SIGNATURE_KINDS].insert(finding.subject);
        }
        for (size_t s = 0; s < SIGNATURES; ++s) {
            for (const std::string& subject : seen[s]) ++subject_counts[s][subject];
        }
    }
    for (size_t s = 0; s < SIGNATURES; ++s) {
        auto& subjects = report.signatures[s].subjects;
        subjects.assign(subject_counts[s].begin(), subject_counts[s].end());
        std::stable_sort(subjects.begin(), subjects.end(),
                         [](const auto& a, const auto& b) { return a.second > b.second; });
    }

    for (Work* work : paired) {
        const AxisPoint& outcome = work->labellings.front().outcome;
        if (!outcome.has) continue;
        base_outcomes.push_back(outcome.baseline);
        cand_outcomes.push_back(outcome.candidate);
    }
    if (!context.outcome_member.empty()) {
        if (base_outcomes.empty() && options.outcome_member)
            return Error{"no paired conversation carries the outcome member " + quoted(context.outcome_member)};
        if (!base_outcomes.empty()) {
            OutcomeResult outcome;
            outcome.member = context.outcome_member;
            outcome.n = base_outcomes.size();
            outcome.baseline_mean = mean_of(base_outcomes);
            outcome.candidate_mean = mean_of(cand_outcomes);
            outcome.delta = outcome.candidate_mean - outcome.baseline_mean;
            for (Work* work : paired) {
                for (const Finding& finding : work->result.findings) {
                    if (finding.outcome) outcome.lost.push_back(work->result.key);
                }
            }
            report.outcome = std::move(outcome);
        }
    }

    // Calibration: the same relabellings drive every test.
    SubjectNumbers subject_numbers = number_subjects(paired);
    std::array<size_t, SIGNATURE_KINDS> subject_count{};
    for (size_t s = 0; s < SIGNATURE_KINDS; ++s) subject_count[s] = subject_numbers[s].size();
    std::array<std::vector<bool>, SIGNATURE_KINDS> standing_out;  // per kind and subject number
    if (context.calibrated && n > 0) {
        report.relabellings = RELABELLINGS;
        std::vector<size_t> axis_rows;  // axes with samples, by row index
        for (size_t axis = 0; axis < AXES; ++axis) {
            if (static_cast<Axis>(axis) != Axis::Judge && !rows[axis].baseline.empty()) axis_rows.push_back(axis);
        }
        const bool with_outcome = report.outcome.has_value();
        const size_t tests = SIGNATURES + axis_rows.size() + (with_outcome ? 1 : 0);
        std::vector<Tail> tails(tests, Tail::Both);
        for (size_t s = 0; s < SIGNATURES; ++s) tails[s] = Tail::Greater;
        if (with_outcome) tails.back() = Tail::Less;

        std::vector<bool> by_mean;
        for (size_t axis : axis_rows) by_mean.push_back(rows[axis].statistic == Statistic::Mean);
        PackedSuite suite = pack_suite(paired, axis_rows, by_mean, subject_count, with_outcome, options.threads);
        auto [null, null_shown] = relabel(suite, options.seed, options.threads, intervals);
        record_intervals();
        BlockTally observed_tally(suite, {std::vector<uint16_t>(n, 0)});
        std::vector<double> observed = observed_tally.statistics(0);

        Calibration p(observed, null, tails);
        auto test_of = [&](size_t t) { return Test{true, p.raw(t), p.adjusted(t), p.adjusted(t) <= FAMILY_ALPHA}; };
        // A subject of a significant kind stands out when its own count would be significant too.
        for (size_t s = 0; s < SIGNATURE_KINDS; ++s) {
            standing_out[s].assign(subject_count[s], false);
            for (size_t j = 0; j < subject_count[s]; ++j) {
                double count = observed_tally.slot(0, suite.first_subject_slot[s] + j);
                standing_out[s][j] = p.adjusted_for(s, count) <= FAMILY_ALPHA;
            }
        }
        for (size_t s = 0; s < SIGNATURES; ++s) {
            report.signatures[s].test = test_of(s);
            double expected = 0.0;
            for (const auto& shown : null_shown) expected += shown[s];
            report.signatures[s].baseline_rate = expected / static_cast<double>(RELABELLINGS * n);
        }
        for (size_t t = 0; t < axis_rows.size(); ++t) {
            Axis axis = static_cast<Axis>(axis_rows[t]);
            for (AxisResult& result : report.axes) {
                if (result.stat.axis != axis) continue;
                result.test = test_of(SIGNATURES + t);
                // Inside the noise floor of the replicates no change is graded above minor.
                if (!result.test.significant && result.stat.severity > Severity::Minor)
                    result.stat.severity = Severity::Minor;
            }
        }
        if (with_outcome) report.outcome->test = test_of(tests - 1);
    } else {
        intervals();
        record_intervals();
    }

    // Conversation verdicts.
    std::array<bool, SIGNATURES> significant{};
    for (size_t s = 0; s < SIGNATURES; ++s) significant[s] = report.signatures[s].test.significant;
    bool outcome_significant = report.outcome && report.outcome->test.significant;
    // Only the pooled signature is significant: many changes, none frequent enough on its own.
    bool diffuse = significant[SIGNATURE_KINDS] &&
                   std::none_of(significant.begin(), significant.end() - 1, [](bool kind) { return kind; });
    // Within a significant kind, the subjects that stand out; all of them when none does.
    auto stands_out = [&](size_t s, const std::string& subject) {
        const std::vector<bool>& standing = standing_out[s];
        if (std::none_of(standing.begin(), standing.end(), [](bool out) { return out; })) return true;
        auto number = subject_numbers[s].find(subject);
        return number != subject_numbers[s].end() && standing[number->second];
    };
    for (Work& work : works) {
        for (Finding& finding : work.result.findings) {
            if (finding.signature) {
                size_t s = static_cast<size_t>(*finding.signature);
                bool regressing = significant[s] ? stands_out(s, finding.subject) : diffuse;
                finding.severity = !context.calibrated ? Level::Warning : regressing ? Level::Error : Level::Info;
            } else if (finding.outcome) {
                finding.severity = !context.calibrated ? Level::Warning
                                   : outcome_significant ? Level::Error
                                                         : Level::Info;
            }
            work.result.regressed = work.result.regressed || finding.severity == Level::Error;
        }
        report.conversations.push_back(std::move(work.result));
    }

    // Recommendations.
    std::vector<Advice>& advice = report.recommendations;
    const std::string of_n = " of " + std::to_string(n) + " conversations";
    if (n == 0) {
        advice.push_back({Level::Error, "No conversation pairs across the baseline and candidate runs: nothing was "
                                        "compared. Check the runs, or pair them with --key."});
    }
    if (!context.calibrated) {
        advice.push_back({Level::Warning,
                          "Uncalibrated: no conversation has two baseline runs, so run-to-run noise cannot be told "
                          "from change; differences are graded as the single-trace report grades them. Run the "
                          "baseline agent again and pass every run to --baseline to calibrate."});
        uint64_t flagged = 0;
        for (const ConversationResult& conversation : report.conversations) flagged += conversation.regressed ? 1 : 0;
        if (flagged > 0) {
            advice.push_back({Level::Error, std::to_string(flagged) + of_n +
                                                " carry an error-level divergence (uncalibrated)."});
        }
    }
    for (const SignatureResult& signature : report.signatures) {
        if (!signature.test.significant) continue;
        if (signature.signature == Signature::Pooled &&
            std::any_of(report.signatures.begin(), report.signatures.end() - 1,
                        [](const SignatureResult& s) { return s.test.significant; }))
            continue;
        advice.push_back({Level::Error, std::string(signature_title(signature.signature)) + " in " +
                                            std::to_string(signature.conversations) + of_n + ", against " +
                                            one_decimal(*signature.baseline_rate * static_cast<double>(n)) +
                                            " expected between baseline replicates (adjusted p = " +
                                            p_text(*signature.test.p_adjusted) + ")" + subjects_text(signature) +
                                            "."});
    }
    if (report.outcome && report.outcome->test.significant) {
        const OutcomeResult& outcome = *report.outcome;
        advice.push_back({Level::Error, "Outcome " + quoted(outcome.member) + " fell from " +
                                            one_decimal(outcome.baseline_mean * 100) + "% to " +
                                            one_decimal(outcome.candidate_mean * 100) + "% (delta " +
                                            signed_three_decimals(outcome.delta) + ", 95% interval [" +
                                            signed_three_decimals(outcome.ci95_low) + ", " +
                                            signed_three_decimals(outcome.ci95_high) + "], adjusted p = " +
                                            p_text(*outcome.test.p_adjusted) + "); " +
                                            std::to_string(outcome.lost.size()) +
                                            " conversation(s) every baseline run solves fail in the candidate."});
    }
    std::vector<AxisStat> graded;
    for (const AxisResult& axis : report.axes) {
        graded.push_back(axis.stat);
        bool counts = context.calibrated ? axis.test.significant : true;
        if (!counts || axis.stat.severity < Severity::Moderate) continue;
        bool severe = axis.stat.severity == Severity::Severe;
        std::string p = axis.test.p_adjusted ? ", adjusted p = " + p_text(*axis.test.p_adjusted) : "";
        advice.push_back({severe ? Level::Error : Level::Warning,
                          "Review the candidate: " + std::string(compare::axis_label(axis.stat.axis)) +
                              " axis shifted with severity " + (severe ? "severe" : "moderate") + " (delta " +
                              signed_three_decimals(axis.stat.delta) + ", 95% interval [" +
                              signed_three_decimals(axis.stat.ci95_low) + ", " +
                              signed_three_decimals(axis.stat.ci95_high) + "]" + p + ")."});
    }
    for (const Recommendation& hint : root_cause_hints(graded))
        advice.push_back({level_of(hint.severity), hint.message});
    if (report.baseline_only > 0) {
        advice.push_back({Level::Warning, std::to_string(report.baseline_only) +
                                              " conversation(s) appear only in the baseline runs: the candidate "
                                              "did not run them."});
    }
    if (report.candidate_only > 0) {
        advice.push_back({Level::Info, std::to_string(report.candidate_only) +
                                           " conversation(s) appear only in the candidate runs."});
    }
    std::stable_sort(advice.begin(), advice.end(),
                     [](const Advice& a, const Advice& b) { return a.severity < b.severity; });
    return report;
}

}  // namespace velkin::compare
