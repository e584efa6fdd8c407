// Exact enumeration of the labellings, and the calls matched within a tool.
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
