#pragma once
// Semantic similarity of paired responses from TF-IDF vectors over the corpus
// of all paired responses.
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "diff/report.hpp"

namespace velkin::diff {

// Runs of alphabetic or numeric characters of the NFC, lower-cased text, in text order.
std::vector<std::string> tokenize(std::string_view text);

// A distinct term of one document (an interned token id) and how often it occurs.
struct TermCount {
    uint32_t term;
    uint64_t count;
};
// Ascending term id.
std::vector<TermCount> count_terms(std::span<const uint32_t> tokens);

struct TermWeight {
    uint32_t term;
    double weight;
};
// Ascending term id; every weight is positive.
using TfidfVector = std::vector<TermWeight>;

// weight = (ln(count) + 1) * (ln((N + 1) / (df + 1)) + 1); a term beyond the
// frequency table has df 0.
TfidfVector tfidf_vector(std::span<const TermCount> terms, std::span<const uint64_t> document_frequency,
                         uint64_t documents);
// Cosine of two TF-IDF vectors clamped to [0, 1]; two vectors without weight are identical.
double tfidf_cosine(const TfidfVector& a, const TfidfVector& b);

// The semantic row from per-pair similarities: the baseline side is 1.0 throughout.
AxisStat similarities_to_stat(std::span<const double> similarities, uint64_t n, Seed seed);

AxisStat semantic_axis(const Pairs& pairs, Seed seed);

}  // namespace velkin::diff
