#pragma once
// Semantic similarity of paired responses from TF-IDF vectors over the corpus
// of all paired responses.
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "diff/axes.hpp"
#include "diff/report.hpp"
#include "diff/response.hpp"

namespace velkin::diff {

// The tokens of `text` in text order, duplicates kept: runs of alphabetic or
// numeric characters of its NFC, lower-cased form, which is left in `folded`
// and which the tokens view.
std::vector<std::string_view> tokenize(std::string_view text, std::string& folded);
// The tokens of text already in that folded form.
std::vector<std::string_view> folded_tokens(std::string_view folded);

// A distinct term of one document (an interned token id) and how often it occurs.
struct TermCount {
    uint32_t term;
    uint64_t count;
};

struct TermWeight {
    uint32_t term;
    double weight;
};
// Terms in the order of their first occurrence in the document; every weight is positive.
using TfidfVector = std::vector<TermWeight>;

// weight = (ln(count) + 1) * (ln((N + 1) / (df + 1)) + 1); a term beyond the
// frequency table has df 0.
TfidfVector tfidf_vector(std::span<const TermCount> terms, std::span<const uint64_t> document_frequency,
                         uint64_t documents);

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
    std::vector<std::vector<TermCount>> documents;  // per response, in the order given
    size_t vocabulary = 0;
};
ResponseTerms response_terms(const std::vector<const ResponseView*>& responses);
struct DocumentPair {
    size_t baseline, candidate;  // indices into ResponseTerms::documents
};
// semantic_samples of the responses the pairs name: the corpus is theirs alone.
AxisSamples semantic_samples(const ResponseTerms& terms, const std::vector<DocumentPair>& pairs);

}  // namespace velkin::diff
