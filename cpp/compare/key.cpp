#include "compare/key.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstdio>
#include <string>

#include "compare/wording.hpp"

namespace velkin::compare {

namespace {

constexpr size_t DIVERGENCE_FINDINGS = 5;
// Beyond this many ways to choose the candidate runs of a conversation, a
// uniform sample of them (with replacement) stands for the whole set.
constexpr size_t MAX_LABELLINGS = 64;

// Semantic similarity and trajectory distance measure the pair itself, and
// conformance keeps only the pairs whose baseline conforms: the baseline side
// of these rows is a constant. The other axes measure each side.
bool measures_the_pair(Axis axis) {
    return axis == Axis::Semantic || axis == Axis::Trajectory || axis == Axis::Conformance;
}
constexpr std::array<Axis, 5> OWN_VALUE_AXES = {Axis::Safety, Axis::Verbosity, Axis::Latency, Axis::Cost,
                                                Axis::Reasoning};

using PairTable = std::vector<std::vector<AxisPoints>>;

// What one key works in, kept per thread from one key to the next, so that
// its many small vectors keep their memory rather than come and go per key.
// Reached through one call per use: in a shared library each use of a
// thread_local in a loop would ask the loader for its address again.
struct KeyScratch {
    ConversationRuns runs;
    PairTable table;
    std::vector<std::string> bytes;  // per run: what its content order hashes
    std::vector<uint64_t> orders;
    std::vector<uint32_t> same_as;   // per run: the first run of bytes equal to its own
    std::vector<uint32_t> distinct;  // those first runs
    std::vector<Step> kept;
    std::vector<double> base_values, cand_values;
    Shown shown;
};

[[gnu::noinline]] KeyScratch& key_scratch() {
    thread_local KeyScratch scratch;
    return scratch;
}

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

bool calls_the_same_tools(const Turn& a, const Turn& b) {
    return std::equal(a.tool_calls.begin(), a.tool_calls.end(), b.tool_calls.begin(), b.tool_calls.end(),
                      [](const diff::ToolCall& x, const diff::ToolCall& y) { return x.name == y.name; });
}

// The path's matches of turns that call the same tools: whether a call keeps
// its arguments is asked of two calls of one tool, not of two calls the
// alignment happened to put side by side.
const std::vector<Step>& same_tools(const std::vector<Step>& path, const ConversationRuns& runs, uint32_t a, uint32_t b,
                                    std::vector<Step>& kept) {
    kept.clear();
    for (const Step& step : path) {
        if (step.kind != StepKind::Match ||
            calls_the_same_tools(runs.turns[a][step.baseline], runs.turns[b][step.candidate]))
            kept.push_back(step);
    }
    return kept;
}

// How far two runs' tool-call trajectories are apart: the edit distance of
// their calls (tool and argument keys) over the whole conversation, over the
// longer. Matched turns hold the same calls by construction, so a distance
// per matched turn would read zero whatever the runs did. Runs without a
// single tool call have no trajectory to compare.
AxisPoint trajectory_point(const RunFeatures& a, const RunFeatures& b) {
    if (a.trajectory.empty() && b.trajectory.empty()) return {};
    return {true, 0.0, trajectory_distance(a.trajectory, b.trajectory)};
}

std::optional<double> outcome_of(const Conversation& conversation, std::string_view member) {
    const json::Value* value = metadata_member(conversation, member);
    if (!value) return std::nullopt;
    if (const bool* flag = value->as_bool()) return *flag ? 1.0 : 0.0;
    return value->as_double();
}

// A mean without keeping the values: summed in the order added.
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
    std::vector<uint16_t> draws = uniform_draws(counts, MAX_LABELLINGS - 1,
                                                seed ^ (0x9e3779b97f4a7c15ull * (key_index + 1)));
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

std::string number_text(double value) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%g", value);
    return buffer;
}

// The path read from the other side.
void swap_sides(std::vector<Step>& path) {
    for (Step& step : path) {
        std::swap(step.baseline, step.candidate);
        if (step.kind != StepKind::Match)
            step.kind = step.kind == StepKind::Insert ? StepKind::Delete : StepKind::Insert;
    }
}

// Holds m by m entries, keeping the memory each entry already has.
template <class T>
void square(std::vector<std::vector<T>>& table, size_t m) {
    table.resize(m);
    for (std::vector<T>& row : table) row.resize(m);
}

// A number per run drawn from its texts, stop reasons and tool calls
// (FNV-1a, each piece followed by a 0xff byte): the same on every platform,
// and under no change as likely to be larger for either of two runs. Each
// byte costs a multiplication that waits for the one before, so the runs'
// bytes are laid out first and four runs are hashed side by side. Runs of
// equal bytes have equal numbers: each distinct content is hashed once, and
// none is when every run holds the same (an agent that answers alike).
const std::vector<uint64_t>& content_orders(const std::vector<Turns>& runs, KeyScratch& scratch) {
    constexpr uint64_t BASIS = 0xcbf29ce484222325ull, PRIME = 0x100000001b3ull;
    std::vector<std::string>& bytes = scratch.bytes;
    std::vector<uint64_t>& orders = scratch.orders;
    bytes.resize(runs.size());
    for (size_t r = 0; r < runs.size(); ++r) {
        bytes[r].clear();
        auto each_piece = [&](auto&& add) {
            for (const Turn& turn : runs[r]) {
                add(turn.text);
                add(turn.stop_reason);
                for (const diff::ToolCall& call : turn.tool_calls) add(call.key_shape);
            }
        };
        size_t size = 0;
        each_piece([&](std::string_view piece) { size += piece.size() + 1; });
        bytes[r].reserve(size);
        each_piece([&](std::string_view piece) { bytes[r].append(piece).push_back('\xff'); });
    }
    std::vector<uint32_t>& same_as = scratch.same_as;
    std::vector<uint32_t>& distinct = scratch.distinct;
    same_as.resize(runs.size());
    distinct.clear();
    for (uint32_t r = 0; r < runs.size(); ++r) {
        uint32_t first = 0;
        while (first < distinct.size() && bytes[distinct[first]] != bytes[r]) ++first;
        if (first == distinct.size()) distinct.push_back(r);
        same_as[r] = distinct[first];
    }
    orders.assign(runs.size(), BASIS);
    if (distinct.size() == 1) return orders;
    auto hash = [&](uint32_t r, size_t from) {
        const auto* in = reinterpret_cast<const unsigned char*>(bytes[r].data());
        uint64_t h = orders[r];
        for (size_t i = from; i < bytes[r].size(); ++i) h = (h ^ in[i]) * PRIME;
        orders[r] = h;
    };
    size_t d = 0;
    for (; d + 4 <= distinct.size(); d += 4) {
        const uint32_t* group = distinct.data() + d;
        const unsigned char* in[4];
        size_t common = SIZE_MAX;
        for (size_t k = 0; k < 4; ++k) {
            in[k] = reinterpret_cast<const unsigned char*>(bytes[group[k]].data());
            common = std::min(common, bytes[group[k]].size());
        }
        // Each lane's byte folded into its own hash in place, four bytes a turn:
        // compilers then spend no copy per byte and fewer loop tests.
        uint64_t h0 = BASIS, h1 = BASIS, h2 = BASIS, h3 = BASIS;
        auto fold = [&](size_t i) {
            h0 ^= in[0][i], h0 *= PRIME;
            h1 ^= in[1][i], h1 *= PRIME;
            h2 ^= in[2][i], h2 *= PRIME;
            h3 ^= in[3][i], h3 *= PRIME;
        };
        size_t i = 0;
        for (; i + 4 <= common; i += 4) fold(i), fold(i + 1), fold(i + 2), fold(i + 3);
        for (; i < common; ++i) fold(i);
        orders[group[0]] = h0, orders[group[1]] = h1, orders[group[2]] = h2, orders[group[3]] = h3;
        for (size_t k = 0; k < 4; ++k) hash(group[k], common);
    }
    for (; d < distinct.size(); ++d) hash(distinct[d], 0);
    for (uint32_t r = 0; r < runs.size(); ++r) orders[r] = orders[same_as[r]];
    return orders;
}

// Every pair of runs aligned once; table[a][b] holds what each row measures
// comparing run a (baseline side) with run b.
void measure_pairs(uint32_t k, Work& work, KeyScratch& scratch) {
    ConversationRuns& runs = scratch.runs;
    PairTable& table = scratch.table;
    const uint32_t m = static_cast<uint32_t>(runs.turns.size());
    std::vector<std::vector<std::vector<Step>>>& paths = runs.paths;
    square(paths, m);
    table.resize(m);
    for (std::vector<AxisPoints>& row : table) row.assign(m, AxisPoints{});
    std::vector<double>&base_values = scratch.base_values, &cand_values = scratch.cand_values;
    const std::vector<uint64_t>& order = content_orders(runs.turns, scratch);
    for (uint32_t a = 0; a < m; ++a) {
        for (uint32_t b = a + 1; b < m; ++b) {
            // The alignment need not be the same read from either side: which run
            // it starts from is decided by their contents, never by which side
            // each run is on, so that every labelling is measured alike.
            std::vector<Step>& path = paths[a][b];
            if (order[a] <= order[b]) {
                align_turns(runs.read, a, b, path);
            } else {
                align_turns(runs.read, b, a, path);
                swap_sides(path);
            }
            std::vector<Step>& back = paths[b][a];
            back.assign(path.begin(), path.end());
            swap_sides(back);
            const size_t semantic = static_cast<size_t>(Axis::Semantic);
            table[a][b][semantic] = table[b][a][semantic] = reduced(
                matched_samples(Axis::Semantic, path, runs.read, a, b));
            const size_t conformance = static_cast<size_t>(Axis::Conformance);
            table[a][b][conformance] = reduced(
                matched_samples(Axis::Conformance, same_tools(path, runs, a, b, scratch.kept), runs.read, a, b));
            table[b][a][conformance] = reduced(
                matched_samples(Axis::Conformance, same_tools(back, runs, b, a, scratch.kept), runs.read, b, a));
            const size_t trajectory = static_cast<size_t>(Axis::Trajectory);
            table[a][b][trajectory] = table[b][a][trajectory] = trajectory_point(runs.features[a], runs.features[b]);
            for (Axis axis : OWN_VALUE_AXES) {
                size_t row = static_cast<size_t>(axis);
                base_values.clear();
                cand_values.clear();
                for (const Step& step : path) {
                    if (step.kind != StepKind::Match) continue;
                    const auto& base = runs.features[a].own[row][step.baseline];
                    const auto& cand = runs.features[b].own[row][step.candidate];
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
        }
    }
}

// What one labelling (the runs in `cands` playing the candidate) measures.
Labelling measure_labelling(const ConversationRuns& runs, const PairTable& table, const RunSet& cands,
                            const RunSet& bases, const Context& context, Work& work, Shown& shown) {
    Labelling labelling;
    const double weight = 1.0 / static_cast<double>(cands.size());
    for (uint32_t c : cands) {
        shows(runs, c, bases, shown);
        bool any = false;
        for (size_t s = 0; s < SIGNATURE_KINDS; ++s) {
            if (shown.subjects[s].empty()) continue;
            labelling.signatures[s] += weight;
            any = any || signature_direction(static_cast<Signature>(s)) == Direction::Worse;
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
                if (found == shares.end())
                    shares.push_back({id, weight});
                else
                    found->share += weight;
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
        if (context.replicated && measures_the_pair(static_cast<Axis>(axis))) {
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
        if (runs.features[b].outcome) base_outcome.add(*runs.features[b].outcome);
    }
    for (uint32_t c : cands) {
        if (runs.features[c].outcome) cand_outcome.add(*runs.features[c].outcome);
    }
    if (base_outcome.count > 0 && cand_outcome.count > 0)
        labelling.outcome = {true, base_outcome.mean(), cand_outcome.mean()};
    return labelling;
}

// A conversation every baseline run scores above every candidate run (lost), or below (gained).
void add_outcome_findings(ConversationResult& result, const ConversationRuns& runs, uint32_t k,
                          const std::string& member) {
    const std::vector<RunFeatures>& features = runs.features;
    const uint32_t m = static_cast<uint32_t>(features.size());
    if (!std::all_of(features.begin(), features.end(), [](const RunFeatures& f) { return f.outcome; })) return;
    double worst_baseline = *features[0].outcome, best_baseline = worst_baseline;
    double worst_candidate = *features[k].outcome, best_candidate = worst_candidate;
    for (uint32_t b = 0; b < k; ++b) {
        worst_baseline = std::min(worst_baseline, *features[b].outcome);
        best_baseline = std::max(best_baseline, *features[b].outcome);
    }
    for (uint32_t c = k; c < m; ++c) {
        worst_candidate = std::min(worst_candidate, *features[c].outcome);
        best_candidate = std::max(best_candidate, *features[c].outcome);
    }
    Finding finding;
    if (worst_baseline > best_candidate) {
        finding.kind = "outcome_lost";
        finding.explanation = quoted(member) + " " + number_text(worst_baseline) +
                              " or better in every baseline run, " + number_text(best_candidate) +
                              " or worse in every candidate run";
        finding.outcome = Direction::Worse;
    } else if (worst_candidate > best_baseline) {
        finding.kind = "outcome_gained";
        finding.explanation = quoted(member) + " " + number_text(worst_candidate) +
                              " or better in every candidate run, " + number_text(best_baseline) +
                              " or worse in every baseline run";
        finding.outcome = Direction::Better;
    } else {
        return;
    }
    result.findings.push_back(std::move(finding));
}

void count_models(const Turns& turns, const PricingTable& pricing, ModelCounts& models, ModelCounts& unpriced) {
    for (const Turn& turn : turns) {
        std::string model = turn.model ? *turn.model : std::string();
        if (!pricing.empty() && !model.empty() && !priced(turn, pricing)) ++unpriced[model];
        ++models[std::move(model)];
    }
}

}  // namespace

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

    KeyScratch& scratch = key_scratch();
    ConversationRuns& runs = scratch.runs;
    std::vector<Turns>& turns = runs.turns;
    std::vector<RunFeatures>& features = runs.features;
    turns.resize(m);
    features.resize(m);
    for (uint32_t r = 0; r < m; ++r) {
        const Conversation& conversation = *sides[r].conversation;
        turns[r] = turns_of(conversation.records);
        features_of(turns[r], options.pricing, features[r]);
        if (!context.outcome_member.empty()) features[r].outcome = outcome_of(conversation, context.outcome_member);
        bool baseline = r < k;
        (baseline ? result.baseline_runs : result.candidate_runs).push_back(sides[r].run);
        (baseline ? result.baseline_ids : result.candidate_ids).push_back(conversation.id);
        (baseline ? result.baseline_outcomes : result.candidate_outcomes).push_back(features[r].outcome);
    }
    if (result.status != Status::Paired) return work;
    for (uint32_t r = 0; r < m; ++r) {
        work.responses += turns[r].size();
        bool baseline = r < k;
        count_models(turns[r], options.pricing, baseline ? work.baseline_models : work.candidate_models,
                     baseline ? work.baseline_unpriced : work.candidate_unpriced);
    }
    runs.read = read_runs(turns);
    const PairTable& table = scratch.table;
    measure_pairs(k, work, scratch);
    match_turns_and_calls(runs);

    RunSet cands, bases;
    const std::vector<uint64_t> masks = candidate_masks(m, m - k, options.seed, key_index);
    work.labellings.reserve(masks.size());
    for (uint64_t mask : masks) {
        cands.clear();
        bases.clear();
        for (uint32_t r = 0; r < m; ++r) ((mask >> r) & 1 ? cands : bases).push_back(r);
        work.labellings.push_back(measure_labelling(runs, table, cands, bases, context, work, scratch.shown));
    }

    // Findings of the observed labelling.
    RunSet baseline_runs;
    for (uint32_t b = 0; b < k; ++b) baseline_runs.push_back(b);
    for (uint32_t c = k; c < m; ++c) add_signature_findings(result.findings, runs, c, baseline_runs, c - k);
    if (!context.outcome_member.empty()) add_outcome_findings(result, runs, k, context.outcome_member);

    // The single-trace divergences of the first runs: what a reader opens, never a verdict by itself.
    for (const FirstDivergence& divergence :
         ranked_divergences(runs.paths[0][k], runs.read, 0, k, DIVERGENCE_FINDINGS)) {
        Finding finding;
        finding.kind = compare::divergence_kind_name(divergence.kind);
        finding.explanation = divergence.explanation;
        finding.baseline_turn = divergence.baseline_turn;
        finding.candidate_turn = divergence.candidate_turn;
        result.findings.push_back(std::move(finding));
    }
    return work;
}

}  // namespace velkin::compare
