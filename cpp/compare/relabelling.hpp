#pragma once
// The null distribution of every test at once: relabellings choose anew,
// conversation by conversation, which runs play the candidate, and a block
// of them is tallied in one pass over columns packed from the labellings.
#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "compare/calibration.hpp"
#include "compare/key.hpp"

namespace velkin::compare {

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
    std::vector<uint16_t> present;  // per labelling
    // Per column, a value per labelling: the baseline and candidate sides of
    // each axis tested by mean, then of the outcome.
    std::vector<std::vector<double>> values;
    // Per column, a rank per labelling among the column's levels, or
    // absent_rank: both sides of each axis tested by median.
    std::vector<std::vector<uint32_t>> ranks;
    std::vector<Levels> levels;  // per rank column: every value a labelling takes there
    // Per rank column: every labelling has a point there, all of one value
    // (the reasoning row of a model that does not think), so every median is that value.
    std::vector<char> constant;
    std::vector<size_t> first;                   // per conversation: its observed labelling
    std::vector<uint16_t> counts;                // per conversation: how many labellings it has
    std::vector<size_t> mean_axes, median_axes;  // tested axes by statistic, by test number
    std::array<size_t, SIGNATURE_KINDS> subjects{};
    std::array<size_t, SIGNATURE_KINDS> first_subject_slot{};
    size_t slots = SIGNATURES;
    bool with_outcome = false;
    size_t tests = 0;
};

// Packs the labellings of the paired conversations, freeing them.
PackedSuite pack_suite(const std::vector<Work*>& paired, const std::vector<size_t>& axis_rows,
                       const std::vector<bool>& by_mean, const std::array<size_t, SIGNATURE_KINDS>& subject_count,
                       bool with_outcome, unsigned threads);

// The observed labelling's statistics (per test) and tally slots.
struct Observed {
    std::vector<double> statistics;
    std::vector<double> slots;  // per signature, then per subject
};
Observed tally_observed(const PackedSuite& suite);

// Which labelling each conversation takes in relabelling `row`: drawn from
// the row's own generator, or, when every combination fits in the budget,
// the row-th of them all (the observed one, all zeros, left out).
struct Draws {
    uint64_t seed = 0;
    bool exact = false;
    std::vector<uint16_t> counts;  // per conversation: how many labellings it has

    std::vector<uint16_t> row(size_t row) const;
};
// Every combination of labellings but the observed one, when they number at most `budget`.
std::optional<size_t> exact_rows(const std::vector<uint16_t>& counts, size_t budget);

struct Relabelled {
    std::vector<std::vector<double>> null;  // null[test][relabelling]
    std::vector<std::array<double, SIGNATURES>> shown;
};

// Tallies relabellings [first, first + rows) into `into`, grown to hold
// them. `beside` runs on one of the threads while the others start on the blocks.
void relabel(const PackedSuite& suite, const Draws& draws, size_t first, size_t rows, unsigned threads,
             Relabelled& into, const std::function<void()>& beside);

}  // namespace velkin::compare
