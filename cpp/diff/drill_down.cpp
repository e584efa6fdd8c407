#include "diff/drill_down.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <string>
#include <string_view>

#include "diff/shingles.hpp"
#include "diff/trajectory.hpp"
#include "json/reader.hpp"
#include "text/unicode.hpp"

namespace velkin::diff {

namespace {

constexpr std::string_view FENCE = "```";
constexpr std::array<std::string_view, 6> REFUSAL_PHRASES = {
    "i can't help", "i cannot help", "i'm unable", "i am unable", "i won't", "i will not",
};

// Every phrase starts with this letter, so one scan for it tests them all.
constexpr char REFUSAL_INITIAL = 'i';
static_assert(std::all_of(REFUSAL_PHRASES.begin(), REFUSAL_PHRASES.end(),
                          [](std::string_view phrase) { return phrase.front() == REFUSAL_INITIAL; }));

bool holds_refusal_phrase(std::string_view lowered) {
    for (size_t at = lowered.find(REFUSAL_INITIAL); at != std::string_view::npos;
         at = lowered.find(REFUSAL_INITIAL, at + 1)) {
        std::string_view rest = lowered.substr(at);
        if (std::any_of(REFUSAL_PHRASES.begin(), REFUSAL_PHRASES.end(),
                        [&](std::string_view phrase) { return rest.starts_with(phrase); }))
            return true;
    }
    return false;
}

// The check reads the text joined by line feeds, `lines`. That text differs from
// the view's space-joined one only where blocks meet, and no phrase holds a line
// feed, so a phrase absent from the view's lowered text is absent from both.
bool refuses(const ResponseView& response, std::string_view lines) {
    if (response.stop_reason == "refusal" || response.stop_reason == "content_filter") return true;
    if (!holds_refusal_phrase(response.lowered)) return false;
    return response.text_blocks.size() <= 1 || holds_refusal_phrase(text::lowercase(lines));
}

// Whether the text is one JSON document, inside markdown fences or not.
bool parses_as_json(std::string_view text) {
    std::string_view body = text::trim_white_space(text);
    if (body.empty()) return false;
    if (body.starts_with(FENCE)) {
        body.remove_prefix(body.substr(FENCE.size()).starts_with("json") ? FENCE.size() + 4 : FENCE.size());
        body = text::trim_white_space(body);
        while (body.ends_with(FENCE)) body.remove_suffix(FENCE.size());
        body = text::trim_white_space(body);
    }
    return json::is_document(body);
}

// NaN counts as no change; everything else is capped at 4.
double capped(double normalized) { return std::isnan(normalized) ? 0.0 : std::min(normalized, 4.0); }

AxisScore score(Axis axis, double baseline_value, double candidate_value, double normalized) {
    return {axis, baseline_value, candidate_value, candidate_value - baseline_value, capped(normalized)};
}

// The text of the response joined by line feeds, borrowed from the view when that is its text.
std::string_view lines_of(const ResponseView& response, std::string& buffer) {
    if (response.text_blocks.size() <= 1) return response.text;
    buffer = response.text_lines();
    return buffer;
}

// A pair's scores, held without allocating: most pairs are scored only to be passed over.
struct ScoredPair {
    std::array<AxisScore, 8> axis_scores;
    double regression_score = 0.0;
    size_t dominant = 0;
};

ScoredPair score_pair(uint64_t index, const ResponseView& baseline, const ResponseView& candidate,
                      const PricingTable& pricing, ShingleOverlapCounter& counter, AlignedTurns* turns) {
    std::string baseline_buffer, candidate_buffer;
    std::string_view baseline_text = lines_of(baseline, baseline_buffer);
    std::string_view candidate_text = lines_of(candidate, candidate_buffer);
    double similarity;
    if (turns && turns->baseline[index].text_is_normal && turns->candidate[index].text_is_normal) {
        similarity = jaccard_of_counts(turns->common_shingles(index, index), turns->baseline[index].shingle_count,
                                       turns->candidate[index].shingle_count);
    } else {
        ShingleOverlap overlap = counter.count(baseline_text, candidate_text);
        similarity = jaccard_of_counts(overlap.common, overlap.first, overlap.second);
    }
    double distance = normalised_edit_distance(key_shape_sequence(baseline.tool_calls),
                                               key_shape_sequence(candidate.tool_calls));
    auto indicator = [](bool value) { return value ? 1.0 : 0.0; };
    double refusal_b = indicator(refuses(baseline, baseline_text));
    double refusal_c = indicator(refuses(candidate, candidate_text));
    double output_b = baseline.output_tokens.value_or(0.0);
    double output_c = candidate.output_tokens.value_or(0.0);
    double latency_b = baseline.latency_ms.value_or(0.0);
    double latency_c = candidate.latency_ms.value_or(0.0);
    double cost_b = cost_of(baseline, pricing).value_or(0.0);
    double cost_c = cost_of(candidate, pricing).value_or(0.0);
    double thinking_b = baseline.thinking_tokens.value_or(0.0);
    double thinking_c = candidate.thinking_tokens.value_or(0.0);
    double json_b = indicator(parses_as_json(baseline_text)), json_c = indicator(parses_as_json(candidate_text));

    ScoredPair row;
    row.axis_scores = {{
        score(Axis::Semantic, 1.0, similarity, std::abs(2.0 * (1.0 - similarity))),
        score(Axis::Trajectory, 0.0, distance, std::abs(2.0 * distance)),
        score(Axis::Safety, refusal_b, refusal_c, std::abs(refusal_c - refusal_b)),
        score(Axis::Verbosity, output_b, output_c, std::abs(output_c - output_b) / 100.0),
        score(Axis::Latency, latency_b, latency_c, std::abs(latency_c - latency_b) / 1000.0),
        score(Axis::Cost, cost_b, cost_c, std::abs(cost_c - cost_b) / 0.01),
        score(Axis::Reasoning, thinking_b, thinking_c, std::abs(thinking_c - thinking_b) / 100.0),
        score(Axis::Conformance, json_b, json_c, std::abs(json_c - json_b)),
    }};
    row.regression_score = row.axis_scores[0].normalized_delta;
    for (size_t k = 1; k < row.axis_scores.size(); ++k) {
        row.regression_score += row.axis_scores[k].normalized_delta;
        if (row.axis_scores[k].normalized_delta >= row.axis_scores[row.dominant].normalized_delta) row.dominant = k;
    }
    return row;
}

PairDrilldown drill_down_row(uint64_t index, const ScoredPair& scored) {
    PairDrilldown row;
    row.pair_index = row.baseline_turn = row.candidate_turn = index;
    row.axis_scores.assign(scored.axis_scores.begin(), scored.axis_scores.end());
    row.regression_score = scored.regression_score;
    row.dominant_axis = scored.axis_scores[scored.dominant].axis;
    return row;
}

}  // namespace

std::vector<PairDrilldown> drill_down(const Pairs& pairs, const PricingTable& pricing, AlignedTurns* turns) {
    // The highest scores first, equal scores in pair order: a pair enters when
    // it beats the last one kept, after every kept pair scoring as much.
    std::vector<PairDrilldown> rows;
    rows.reserve(DRILL_DOWN_LIMIT + 1);
    ShingleOverlapCounter counter;
    for (size_t i = 0; i < pairs.size(); ++i) {
        const ScoredPair scored = score_pair(i, *pairs[i].baseline, *pairs[i].candidate, pricing, counter, turns);
        if (rows.size() == DRILL_DOWN_LIMIT && !(scored.regression_score > rows.back().regression_score)) continue;
        auto at = std::find_if(rows.begin(), rows.end(), [&](const PairDrilldown& kept) {
            return kept.regression_score < scored.regression_score;
        });
        rows.insert(at, drill_down_row(i, scored));
        if (rows.size() > DRILL_DOWN_LIMIT) rows.pop_back();
    }
    return rows;
}

}  // namespace velkin::diff
