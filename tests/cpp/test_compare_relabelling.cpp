// Exact enumeration of the labellings, the relabelled statistics, and the calls matched within a tool.
#include <algorithm>
#include <set>
#include <vector>

#include "check.hpp"
#include "compare/relabelling.hpp"
#include "compare/signatures.hpp"

using namespace velkin::compare;

TEST(every_combination_but_the_observed_one_is_enumerated_once) {
    const std::vector<uint16_t> counts = {2, 3, 2};
    const std::optional<size_t> rows = exact_rows(counts, 100);
    CHECK(rows && *rows == 11);
    Draws draws{7, true, counts};
    std::set<std::vector<uint16_t>> seen;
    for (size_t row = 0; row < *rows; ++row) {
        std::vector<uint16_t> choices = draws.row(row);
        for (size_t i = 0; i < counts.size(); ++i) CHECK(choices[i] < counts[i]);
        CHECK(choices != std::vector<uint16_t>(counts.size(), 0));
        seen.insert(choices);
    }
    CHECK(seen.size() == 11);
}

TEST(combinations_beyond_the_budget_are_drawn) {
    CHECK(!exact_rows(std::vector<uint16_t>(14, 2), 16000));  // 16,384 labellings
    CHECK(exact_rows(std::vector<uint16_t>(13, 2), 16000) == 8191u);
    CHECK(!exact_rows({64, 64, 64}, 100));
    // Drawn rows depend on the seed and the row alone.
    Draws first{3, false, {4, 4, 4}};
    Draws again{3, false, {4, 4, 4}};
    CHECK(first.row(17) == again.row(17));
}

namespace {

CallArguments call(std::string_view tool) {
    CallArguments made;
    made.tool = tool;
    return made;
}

}  // namespace

TEST(calls_are_matched_by_their_rank_within_their_tool_and_alike_from_either_side) {
    ConversationRuns runs;
    runs.turns.resize(2);
    runs.features.resize(2);
    runs.paths.assign(2, std::vector<std::vector<Step>>(2));
    runs.features[0].calls = {call("a"), call("b"), call("a"), call("c")};
    runs.features[1].calls = {call("b"), call("a"), call("a"), call("a")};
    match_turns_and_calls(runs);
    const std::vector<uint64_t>& forward = runs.matched_calls[0][1];   // per call of run 1: its call in run 0
    const std::vector<uint64_t>& backward = runs.matched_calls[1][0];  // per call of run 0: its call in run 1
    CHECK(forward == (std::vector<uint64_t>{1, 0, 2, NO_MATCH}));
    CHECK(backward == (std::vector<uint64_t>{1, 0, 2, NO_MATCH}));
    for (uint64_t j = 0; j < forward.size(); ++j) {
        if (forward[j] != NO_MATCH) CHECK(backward[forward[j]] == j);
    }
}

namespace {

double median_of(std::vector<double> values) {
    if (values.empty()) return 0.0;
    std::sort(values.begin(), values.end());
    const size_t upper = values.size() / 2;
    return values.size() % 2 ? values[upper] : (values[upper - 1] + values[upper]) * 0.5;
}

}  // namespace

// Tallied a block of rows and a stretch of conversations at a time, with the
// median column counted by bucket (more levels than are counted one by one),
// the relabelled statistics are those of the labellings each row takes.
TEST(relabelled_statistics_are_those_of_the_labellings_each_relabelling_takes) {
    const size_t conversations = 401, labellings = 3, rows = 30;
    std::vector<Work> works(conversations);
    std::vector<std::vector<Labelling>> kept;
    std::vector<Work*> paired;
    for (size_t i = 0; i < conversations; ++i) {
        for (size_t l = 0; l < labellings; ++l) {
            const size_t k = i * labellings + l;
            Labelling labelling;
            labelling.axes[0] = {k % 5 != 0, 0.1 * static_cast<double>(k % 17), 0.3 * static_cast<double>(k % 11)};
            labelling.axes[1] = {k % 7 != 0, static_cast<double>(k * 7919 % 1999) / 8.0,
                                 static_cast<double>(k * 104729 % 1997) / 8.0};
            works[i].labellings.push_back(labelling);
        }
        kept.push_back(works[i].labellings);
        paired.push_back(&works[i]);
    }
    // One thread: the emulator that runs the aarch64 tests hangs when a thread is started.
    const PackedSuite suite = pack_suite(paired, {0, 1}, {true, false}, {}, false, 1);
    CHECK(suite.levels[0].values.size() > 1024);  // counted by bucket, then within the middle buckets
    const Draws draws{5, false, suite.counts};
    Relabelled relabelled;
    relabel(suite, draws, 0, rows, 1, relabelled, [] {});
    for (size_t row = 0; row < rows; ++row) {
        const std::vector<uint16_t> choices = draws.row(row);
        double baseline_sum = 0.0, candidate_sum = 0.0;
        size_t summed = 0;
        std::vector<double> baseline, candidate;
        for (size_t i = 0; i < conversations; ++i) {
            const Labelling& taken = kept[i][choices[i]];
            if (taken.axes[0].has) {
                baseline_sum += taken.axes[0].baseline;
                candidate_sum += taken.axes[0].candidate;
                ++summed;
            }
            if (taken.axes[1].has) {
                baseline.push_back(taken.axes[1].baseline);
                candidate.push_back(taken.axes[1].candidate);
            }
        }
        const double by_mean = candidate_sum / static_cast<double>(summed) - baseline_sum / static_cast<double>(summed);
        CHECK(relabelled.null[SIGNATURES][row] == by_mean);
        CHECK(relabelled.null[SIGNATURES + 1][row] == median_of(candidate) - median_of(baseline));
    }
}
