#include "diff/embedder.hpp"

#include <algorithm>
#include <cmath>

#include "diff/response.hpp"
#include "diff/semantic.hpp"

namespace velkin::diff {

namespace {

constexpr float ZERO_NORM = 1e-12f;

// Cosine in 32-bit arithmetic, accumulated in index order; negative
// similarities count as unrelated (0.0), a NaN stays NaN.
float embedding_cosine(const Embedding& a, const Embedding& b) {
    if (a.size() != b.size()) return 0.0f;
    if (a.empty()) return 1.0f;
    float dot = 0.0f, squares_a = 0.0f, squares_b = 0.0f;
    for (size_t k = 0; k < a.size(); ++k) {
        dot += a[k] * b[k];
        squares_a += a[k] * a[k];
        squares_b += b[k] * b[k];
    }
    float norm_a = std::sqrt(squares_a);
    float norm_b = std::sqrt(squares_b);
    if (norm_a < ZERO_NORM) return norm_b < ZERO_NORM ? 1.0f : 0.0f;
    if (norm_b < ZERO_NORM) return 0.0f;
    float similarity = std::clamp(dot / (norm_a * norm_b), -1.0f, 1.0f);
    return similarity < 0.0f ? 0.0f : similarity;
}

}  // namespace

AxisStat compute_semantic_axis_with_embedder(const std::vector<Record>& baseline, const std::vector<Record>& candidate,
                                             Embedder& embedder, Seed seed) {
    Responses baseline_responses = select_responses(baseline);
    Responses candidate_responses = select_responses(candidate);
    Pairs pairs = pair_responses(baseline_responses, candidate_responses);
    if (pairs.empty()) return AxisStat::empty(Axis::Semantic);
    std::vector<std::string> baseline_texts, candidate_texts;
    baseline_texts.reserve(pairs.size());
    candidate_texts.reserve(pairs.size());
    for (const ResponsePair& pair : pairs) {
        baseline_texts.emplace_back(pair.baseline->text);
        candidate_texts.emplace_back(pair.candidate->text);
    }
    std::vector<Embedding> baseline_embeddings = embedder.embed(baseline_texts);
    std::vector<Embedding> candidate_embeddings = embedder.embed(candidate_texts);
    if (baseline_embeddings.size() != pairs.size() || candidate_embeddings.size() != pairs.size())
        return AxisStat::empty(Axis::Semantic);
    std::vector<double> similarities;
    similarities.reserve(pairs.size());
    for (size_t i = 0; i < pairs.size(); ++i)
        similarities.push_back(static_cast<double>(embedding_cosine(baseline_embeddings[i], candidate_embeddings[i])));
    return similarities_to_stat(std::move(similarities), seed);
}

}  // namespace velkin::diff
