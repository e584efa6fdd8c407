#include "diff/conformance.hpp"

#include <optional>
#include <string_view>
#include <vector>

#include "json/reader.hpp"
#include "text/unicode.hpp"

namespace velkin::diff {

namespace {

constexpr std::string_view FENCE = "```";

bool is_ascii_alphanumeric(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'); }

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

}  // namespace velkin::diff
