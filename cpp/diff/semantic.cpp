#include "diff/semantic.hpp"

#include <algorithm>
#include <cmath>
#include <unordered_map>

#include "diff/bootstrap.hpp"
#include "diff/conformance.hpp"
#include "text/unicode.hpp"

namespace velkin::diff {

namespace {

constexpr double ZERO_NORM = 1e-12;

struct TokenHash {
    using is_transparent = void;
    size_t operator()(std::string_view token) const { return std::hash<std::string_view>{}(token); }
};

// Token ids in first-seen order across the corpus.
class Vocabulary {
public:
    std::vector<uint32_t> intern(const std::vector<std::string>& tokens) {
        std::vector<uint32_t> ids;
        ids.reserve(tokens.size());
        for (const std::string& token : tokens) {
            auto it = ids_.find(std::string_view(token));
            if (it == ids_.end()) it = ids_.emplace(token, static_cast<uint32_t>(ids_.size())).first;
            ids.push_back(it->second);
        }
        return ids;
    }
    size_t size() const { return ids_.size(); }

private:
    std::unordered_map<std::string, uint32_t, TokenHash, std::equal_to<>> ids_;
};

double norm(const TfidfVector& vector) {
    double squares = 0.0;
    for (const TermWeight& entry : vector) squares += entry.weight * entry.weight;
    return std::sqrt(squares);
}

}  // namespace

std::vector<std::string> tokenize(std::string_view text) {
    std::string folded = text::lowercase(text::nfc(text));
    std::vector<std::string> tokens;
    size_t start = 0;
    for (size_t i = 0; i < folded.size();) {
        size_t at = i;
        char32_t cp = text::next_code_point(folded, i);
        if (text::is_alphabetic(cp) || text::is_numeric(cp)) continue;
        if (at > start) tokens.emplace_back(folded, start, at - start);
        start = i;
    }
    if (folded.size() > start) tokens.emplace_back(folded, start, folded.size() - start);
    return tokens;
}

std::vector<TermCount> count_terms(std::span<const uint32_t> tokens) {
    std::vector<uint32_t> sorted(tokens.begin(), tokens.end());
    std::sort(sorted.begin(), sorted.end());
    std::vector<TermCount> terms;
    for (uint32_t term : sorted) {
        if (!terms.empty() && terms.back().term == term) {
            ++terms.back().count;
        } else {
            terms.push_back({term, 1});
        }
    }
    return terms;
}

TfidfVector tfidf_vector(std::span<const TermCount> terms, std::span<const uint64_t> document_frequency,
                         uint64_t documents) {
    TfidfVector vector;
    vector.reserve(terms.size());
    const double corpus = static_cast<double>(documents);
    for (const TermCount& term : terms) {
        uint64_t df = term.term < document_frequency.size() ? document_frequency[term.term] : 0;
        double idf = std::log((corpus + 1.0) / (static_cast<double>(df) + 1.0));
        double weight = (std::log(static_cast<double>(term.count)) + 1.0) * (idf + 1.0);
        vector.push_back({term.term, weight});
    }
    return vector;
}

double tfidf_cosine(const TfidfVector& a, const TfidfVector& b) {
    double norm_a = norm(a);
    double norm_b = norm(b);
    if (norm_a < ZERO_NORM) return norm_b < ZERO_NORM ? 1.0 : 0.0;
    if (norm_b < ZERO_NORM) return 0.0;
    // Both vectors ascend by term, so the shared terms meet in one merge.
    double dot = 0.0;
    for (size_t i = 0, j = 0; i < a.size() && j < b.size();) {
        if (a[i].term < b[j].term) {
            ++i;
        } else if (b[j].term < a[i].term) {
            ++j;
        } else {
            dot += a[i++].weight * b[j++].weight;
        }
    }
    double similarity = dot / (norm_a * norm_b);
    return std::clamp(similarity, 0.0, 1.0);
}

AxisStat similarities_to_stat(std::span<const double> similarities, uint64_t n, Seed seed) {
    if (similarities.empty()) return AxisStat::empty(Axis::Semantic);
    std::vector<double> identical(similarities.size(), 1.0);
    double candidate_median = median(similarities);
    auto [low, high] = bootstrap_delta_ci(identical, similarities, Statistic::Median, seed);
    return AxisStat::new_value(Axis::Semantic, n, 1.0, candidate_median, candidate_median - 1.0, low, high);
}

AxisStat semantic_axis(const Pairs& pairs, Seed seed) {
    if (pairs.empty()) return AxisStat::empty(Axis::Semantic);
    const size_t p = pairs.size();
    // Documents 0..p-1 are the baseline responses, p..2p-1 the candidate responses.
    Vocabulary vocabulary;
    std::vector<std::vector<TermCount>> documents(2 * p);
    for (size_t i = 0; i < p; ++i) {
        documents[i] = count_terms(vocabulary.intern(tokenize(response_text(*pairs[i].baseline))));
        documents[p + i] = count_terms(vocabulary.intern(tokenize(response_text(*pairs[i].candidate))));
    }
    std::vector<uint64_t> document_frequency(vocabulary.size(), 0);
    for (const std::vector<TermCount>& document : documents) {
        for (const TermCount& term : document) ++document_frequency[term.term];
    }
    std::vector<double> similarities;
    similarities.reserve(p);
    for (size_t i = 0; i < p; ++i) {
        TfidfVector a = tfidf_vector(documents[i], document_frequency, 2 * p);
        TfidfVector b = tfidf_vector(documents[p + i], document_frequency, 2 * p);
        similarities.push_back(tfidf_cosine(a, b));
    }
    return similarities_to_stat(similarities, p, seed);
}

}  // namespace velkin::diff
