#pragma once
// Semantic similarity of paired responses from TF-IDF vectors over the corpus
// of all paired responses.
#include <cstdint>
#include <vector>

#include "diff/axes.hpp"
#include "diff/report.hpp"
#include "diff/response.hpp"

namespace velkin::diff {

// A distinct term of one document (an interned token id) and how often it occurs.
struct TermCount {
    uint32_t term;
    uint32_t count;
};

// The semantic row's samples from per-pair similarities: the baseline side
// is 1.0 throughout (a response is identical to itself).
AxisSamples similarity_samples(std::vector<double> similarities);
// The semantic row itself: baseline 1.0, candidate the median similarity, one sample per pair.
AxisStat similarities_to_stat(std::vector<double> similarities, Seed seed);

AxisSamples semantic_samples(const Pairs& pairs);

// The distinct terms of each of a set of responses, interned over all of
// them: what semantic_samples reads of a response, read once however many
// pairs it takes part in.
struct ResponseTerms {
    // Per response, in the order given: its terms in order of first occurrence,
    // terms[begin, end). Responses with equal texts share one range.
    struct Range {
        size_t begin, end;
    };
    std::vector<Range> documents;
    std::vector<TermCount> terms;
    size_t vocabulary = 0;
};
ResponseTerms response_terms(const std::vector<const ResponseView*>& responses);
struct DocumentPair {
    size_t baseline, candidate;  // indices into ResponseTerms::documents
};
// semantic_samples of the responses the pairs name: the corpus is theirs alone.
AxisSamples semantic_samples(const ResponseTerms& terms, const std::vector<DocumentPair>& pairs);

}  // namespace velkin::diff
