#include "diff/semantic.hpp"

#include <algorithm>
#include <cmath>
#include <unordered_map>

#include "diff/bootstrap.hpp"
#include "text/unicode.hpp"

namespace velkin::diff {

namespace {

constexpr double ZERO_NORM = 1e-12;

struct TokenHash {
    using is_transparent = void;
    size_t operator()(std::string_view token) const { return std::hash<std::string_view>{}(token); }
};

bool is_ascii_word_byte(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

// Interns the tokens of the corpus (ids in first-seen order) and counts the
// distinct terms of each document in order of first occurrence.
class Corpus {
public:
    // Counts the terms of the response as the next document.
    void add(const ResponseView& response) {
        // A text seen before has the same terms: all of them are interned already.
        auto [seen, first] = documents_with_text_.try_emplace(response.text, documents_.size());
        std::vector<TermCount> terms = first ? count_terms(response) : documents_[seen->second];
        for (const TermCount& term : terms) ++document_frequency_[term.term];
        documents_.push_back(std::move(terms));
    }

    std::vector<std::vector<TermCount>> take_documents() { return std::move(documents_); }
    std::span<const uint64_t> document_frequency() const { return document_frequency_; }
    size_t vocabulary_size() const { return ids_.size(); }

private:
    std::vector<TermCount> count_terms(const ResponseView& response) {
        std::vector<TermCount> terms;
        ++stamp_;
        // The view's lower-cased text is the folded form whenever the text is already NFC.
        std::vector<std::string_view> tokens = text::is_nfc(response.text) ? folded_tokens(response.lowered)
                                                                             : tokenize(response.text, folded_);
        for (std::string_view token : tokens) {
            uint32_t id = intern(token);
            if (seen_in_[id] != stamp_) {
                seen_in_[id] = stamp_;
                slot_[id] = static_cast<uint32_t>(terms.size());
                terms.push_back({id, 0});
            }
            ++terms[slot_[id]].count;
        }
        return terms;
    }

    uint32_t intern(std::string_view token) {
        auto it = ids_.find(token);
        if (it != ids_.end()) return it->second;
        uint32_t id = static_cast<uint32_t>(ids_.size());
        ids_.emplace(std::string(token), id);
        document_frequency_.push_back(0);
        seen_in_.push_back(0);
        slot_.push_back(0);
        return id;
    }

    std::unordered_map<std::string, uint32_t, TokenHash, std::equal_to<>> ids_;
    std::vector<std::vector<TermCount>> documents_;
    std::unordered_map<std::string_view, size_t> documents_with_text_;  // the first document of each text
    std::vector<uint64_t> document_frequency_;
    std::vector<uint64_t> seen_in_;  // per term: the stamp of the last document holding it
    std::vector<uint32_t> slot_;     // per term: its position in that document's list
    uint64_t stamp_ = 0;
    std::string folded_;
};

double norm(const TfidfVector& vector) {
    double squares = 0.0;
    for (const TermWeight& entry : vector) squares += entry.weight * entry.weight;
    return std::sqrt(squares);
}

// `dense` is all zeros, sized to the vocabulary, and is left that way.
double cosine(const TfidfVector& a, const TfidfVector& b, std::vector<double>& dense) {
    double norm_a = norm(a);
    double norm_b = norm(b);
    if (norm_a < ZERO_NORM) return norm_b < ZERO_NORM ? 1.0 : 0.0;
    if (norm_b < ZERO_NORM) return 0.0;
    // Walk the vector with fewer entries and look each term up in the other.
    const TfidfVector& walked = b.size() < a.size() ? b : a;
    const TfidfVector& looked_up = b.size() < a.size() ? a : b;
    for (const TermWeight& entry : looked_up) dense[entry.term] = entry.weight;
    double dot = 0.0;
    for (const TermWeight& entry : walked) {
        if (double other = dense[entry.term]; other != 0.0) dot += entry.weight * other;
    }
    for (const TermWeight& entry : looked_up) dense[entry.term] = 0.0;
    return std::clamp(dot / (norm_a * norm_b), 0.0, 1.0);
}

}  // namespace

std::vector<std::string_view> tokenize(std::string_view text, std::string& folded) {
    folded = text::lowercase(text::nfc(text));
    return folded_tokens(folded);
}

std::vector<std::string_view> folded_tokens(std::string_view view) {
    std::vector<std::string_view> tokens;
    size_t start = 0;
    for (size_t i = 0; i < view.size();) {
        size_t at = i;
        unsigned char byte = static_cast<unsigned char>(view[i]);
        bool in_token;
        if (byte < 0x80) {
            in_token = is_ascii_word_byte(byte);
            ++i;
        } else {
            char32_t cp = text::next_code_point(view, i);
            in_token = text::is_alphabetic(cp) || text::is_numeric(cp);
        }
        if (in_token) continue;
        if (at > start) tokens.push_back(view.substr(start, at - start));
        start = i;
    }
    if (view.size() > start) tokens.push_back(view.substr(start));
    return tokens;
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

AxisSamples similarity_samples(std::vector<double> similarities) {
    AxisSamples samples{Axis::Semantic, Statistic::Median, Grading::Value, {}, std::move(similarities)};
    samples.baseline.assign(samples.candidate.size(), 1.0);
    return samples;
}

AxisStat similarities_to_stat(std::vector<double> similarities, Seed seed) {
    return axis_stat(similarity_samples(std::move(similarities)), seed);
}

AxisSamples semantic_samples(const Pairs& pairs) {
    const size_t p = pairs.size();
    // Documents 0..p-1 are the baseline responses, p..2p-1 the candidate responses.
    Corpus corpus;
    for (const ResponsePair& pair : pairs) corpus.add(*pair.baseline);
    for (const ResponsePair& pair : pairs) corpus.add(*pair.candidate);
    std::vector<std::vector<TermCount>> documents = corpus.take_documents();
    std::vector<double> dense(corpus.vocabulary_size(), 0.0);
    std::vector<double> similarities;
    similarities.reserve(p);
    for (size_t i = 0; i < p; ++i) {
        TfidfVector a = tfidf_vector(documents[i], corpus.document_frequency(), 2 * p);
        TfidfVector b = tfidf_vector(documents[p + i], corpus.document_frequency(), 2 * p);
        similarities.push_back(cosine(a, b, dense));
    }
    return similarity_samples(std::move(similarities));
}

ResponseTerms response_terms(const std::vector<const ResponseView*>& responses) {
    Corpus corpus;
    ResponseTerms terms;
    for (const ResponseView* response : responses) corpus.add(*response);
    terms.documents = corpus.take_documents();
    terms.vocabulary = corpus.vocabulary_size();
    return terms;
}

AxisSamples semantic_samples(const ResponseTerms& terms, const std::vector<DocumentPair>& pairs) {
    const size_t p = pairs.size();
    // The document frequencies of the pairs' own corpus, as semantic_samples of them counts them.
    std::vector<uint64_t> document_frequency(terms.vocabulary, 0);
    for (const DocumentPair& pair : pairs) {
        for (const TermCount& term : terms.documents[pair.baseline]) ++document_frequency[term.term];
        for (const TermCount& term : terms.documents[pair.candidate]) ++document_frequency[term.term];
    }
    std::vector<double> dense(terms.vocabulary, 0.0);
    std::vector<double> similarities;
    similarities.reserve(p);
    for (const DocumentPair& pair : pairs) {
        TfidfVector a = tfidf_vector(terms.documents[pair.baseline], document_frequency, 2 * p);
        TfidfVector b = tfidf_vector(terms.documents[pair.candidate], document_frequency, 2 * p);
        similarities.push_back(cosine(a, b, dense));
    }
    return similarity_samples(std::move(similarities));
}

}  // namespace velkin::diff
