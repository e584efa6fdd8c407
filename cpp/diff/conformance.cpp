#include "diff/conformance.hpp"

#include <algorithm>
#include <optional>
#include <string_view>
#include <vector>

#include "json/reader.hpp"
#include "text/unicode.hpp"

namespace velkin::diff {

namespace {

constexpr std::string_view FENCE = "```";

bool is_ascii_alphanumeric(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

struct Outcome {
    double baseline;
    double candidate;
};

// Member names of each side's first object input, kept from pair to pair.
struct KeyBuffers {
    std::vector<std::string_view> baseline;
    std::vector<std::string_view> candidate;
};

// The outcomes of a pair that takes part in the axis, or nothing.
std::optional<Outcome> pair_outcome(const ResponseView& baseline, const ResponseView& candidate, KeyBuffers& keys) {
    std::string_view stripped = strip_markdown_fences(baseline.text);
    if (!stripped.empty() && (stripped.front() == '{' || stripped.front() == '[')) {
        return Outcome{json::is_document(stripped) ? 1.0 : 0.0,
                       json::is_document(strip_markdown_fences(candidate.text)) ? 1.0 : 0.0};
    }
    if (!first_object_input_keys(baseline.tool_calls, keys.baseline)) return std::nullopt;
    bool same = first_object_input_keys(candidate.tool_calls, keys.candidate) && keys.candidate == keys.baseline;
    return Outcome{1.0, same ? 1.0 : 0.0};
}

}  // namespace

std::string_view strip_markdown_fences(std::string_view text) {
    std::string_view trimmed = text::trim_white_space(text);
    if (trimmed.size() < FENCE.size() || !trimmed.starts_with(FENCE)) return trimmed;
    std::string_view body;
    if (size_t line_feed = trimmed.find('\n'); line_feed != std::string_view::npos) {
        body = trimmed.substr(line_feed + 1);
    } else {
        body = trimmed.substr(FENCE.size());
        size_t tag = 0;
        while (tag < body.size() && is_ascii_alphanumeric(body[tag])) ++tag;
        body.remove_prefix(tag);
    }
    body = text::trim_white_space_end(body);
    if (body.empty()) return body;
    if (body.ends_with(FENCE)) body.remove_suffix(FENCE.size());
    return text::trim_white_space(body);
}

AxisSamples conformance_samples(const Pairs& pairs) {
    AxisSamples samples{Axis::Conformance, Statistic::Mean, Grading::Rate, {}, {}};
    KeyBuffers keys;
    for (const ResponsePair& pair : pairs) {
        if (std::optional<Outcome> outcome = pair_outcome(*pair.baseline, *pair.candidate, keys)) {
            samples.baseline.push_back(outcome->baseline);
            samples.candidate.push_back(outcome->candidate);
        }
    }
    return samples;
}

ConformanceReads read_conformance(const std::vector<const ResponseView*>& responses) {
    ConformanceReads reads;
    reads.responses.resize(responses.size());
    std::vector<std::string_view> names;
    bool any_document_like = false;
    for (size_t r = 0; r < responses.size(); ++r) {
        ConformanceRead& read = reads.responses[r];
        std::string_view stripped = strip_markdown_fences(responses[r]->text);
        read.document_like = !stripped.empty() && (stripped.front() == '{' || stripped.front() == '[');
        any_document_like = any_document_like || read.document_like;
        read.has_keys = first_object_input_keys(responses[r]->tool_calls, names);
        read.first_key = static_cast<uint32_t>(reads.keys.size());
        read.key_count = static_cast<uint32_t>(names.size());
        reads.keys.insert(reads.keys.end(), names.begin(), names.end());
    }
    // Only a pair whose baseline looks like a document reads whether either side is one.
    if (any_document_like) {
        for (size_t r = 0; r < responses.size(); ++r)
            reads.responses[r].document = json::is_document(strip_markdown_fences(responses[r]->text));
    }
    return reads;
}

AxisSamples conformance_samples(const ConformanceReads& reads, std::span<const std::pair<size_t, size_t>> pairs) {
    AxisSamples samples{Axis::Conformance, Statistic::Mean, Grading::Rate, {}, {}};
    samples.baseline.reserve(pairs.size());
    samples.candidate.reserve(pairs.size());
    auto keys_of = [&](const ConformanceRead& read) {
        return std::span<const std::string_view>(reads.keys.data() + read.first_key, read.key_count);
    };
    for (const auto& [b, c] : pairs) {
        const ConformanceRead& baseline = reads.responses[b];
        const ConformanceRead& candidate = reads.responses[c];
        if (baseline.document_like) {
            samples.baseline.push_back(baseline.document ? 1.0 : 0.0);
            samples.candidate.push_back(candidate.document ? 1.0 : 0.0);
            continue;
        }
        if (!baseline.has_keys) continue;
        std::span<const std::string_view> wanted = keys_of(baseline), given = keys_of(candidate);
        bool same = candidate.has_keys && std::equal(wanted.begin(), wanted.end(), given.begin(), given.end());
        samples.baseline.push_back(1.0);
        samples.candidate.push_back(same ? 1.0 : 0.0);
    }
    return samples;
}

}  // namespace velkin::diff
