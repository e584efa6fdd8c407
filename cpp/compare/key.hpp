#pragma once
// The comparison of one conversation across every run that holds it: each
// way of choosing which runs play the candidate (a labelling) and what the
// signatures and axes measure under it, the observed labelling first.
#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "compare/compare.hpp"
#include "compare/pairing.hpp"
#include "compare/signatures.hpp"

namespace velkin::compare {

inline constexpr size_t SIGNATURES = SIGNATURE_KINDS + 1;

struct AxisPoint {
    bool has = false;
    double baseline = 0.0;
    double candidate = 0.0;
};
using AxisPoints = std::array<AxisPoint, AXES>;

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

// Responses per model on one side (the empty name: responses without one).
using ModelCounts = std::map<std::string, uint64_t>;

struct Work {
    ConversationResult result;
    std::array<std::vector<std::string>, SIGNATURE_KINDS>
        subject_names;                  // numbered locally until the suite numbers them
    std::vector<Labelling> labellings;  // the observed one first; none unless paired
    uint64_t matched = 0, priced = 0;   // turn pairs of the first baseline and candidate runs; both costs known
    uint64_t responses = 0;             // of every run of a paired conversation
    ModelCounts baseline_models, candidate_models, baseline_unpriced, candidate_unpriced;
};

struct Context {
    const Options& options;
    std::string outcome_member;
    // Some conversation has two or more baseline runs: how far they are from
    // each other is the reference of the rows that measure a pair of runs.
    bool replicated = false;
};

Work compare_key(size_t key_index, const KeyEntry& entry, const Context& context);

}  // namespace velkin::compare
