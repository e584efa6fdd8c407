#include "diff/drill_down.hpp"

#include <algorithm>
#include <array>
#include <cmath>

#include "diff/alignment.hpp"
#include "diff/trajectory.hpp"
#include "json/reader.hpp"
#include "text/unicode.hpp"

namespace velkin::diff {

namespace {

constexpr std::string_view FENCE = "```";
constexpr std::array<std::string_view, 6> REFUSAL_PHRASES = {
    "i can't help", "i cannot help", "i'm unable", "i am unable", "i won't", "i will not",
};

constexpr int CODE_POINT_BITS = 21;
constexpr int SHINGLE_LENGTH = 4;
const ShingleKey WINDOW_MASK = (ShingleKey{1} << (CODE_POINT_BITS * SHINGLE_LENGTH)) - 1;

ShingleKey tagged(ShingleKey packed, uint64_t length) {
    return (ShingleKey{length} << (CODE_POINT_BITS * SHINGLE_LENGTH)) | packed;
}

double usage_number(const Record& record, std::string_view member) {
    return number_member(record.payload.get("usage"), member).value_or(0.0);
}

// is_refusal of a record whose drill_down_response_text is `text`.
bool refuses(const Record& record, std::string_view text) {
    std::string_view reason = stop_reason(record);
    if (reason == "refusal" || reason == "content_filter") return true;
    std::string lowered = text::lowercase(text);
    return std::any_of(REFUSAL_PHRASES.begin(), REFUSAL_PHRASES.end(),
                       [&](std::string_view phrase) { return lowered.find(phrase) != std::string::npos; });
}

// NaN counts as no change; everything else is capped at 4.
double capped(double normalized) { return std::isnan(normalized) ? 0.0 : std::min(normalized, 4.0); }

AxisScore score(Axis axis, double baseline_value, double candidate_value, double normalized) {
    return {axis, baseline_value, candidate_value, candidate_value - baseline_value, capped(normalized)};
}

PairDrilldown drill_down_pair(uint64_t index, const Record& baseline, const Record& candidate,
                              const PricingTable& pricing, ShingleOverlapCounter& counter) {
    std::string baseline_text = drill_down_response_text(baseline);
    std::string candidate_text = drill_down_response_text(candidate);
    ShingleOverlap overlap = counter.count(baseline_text, candidate_text);
    double similarity = jaccard_of_counts(overlap.common, overlap.first, overlap.second);
    double distance = normalised_edit_distance(tool_shape_seq(baseline), tool_shape_seq(candidate));
    auto indicator = [](bool value) { return value ? 1.0 : 0.0; };
    double refusal_b = indicator(refuses(baseline, baseline_text));
    double refusal_c = indicator(refuses(candidate, candidate_text));
    double output_b = usage_number(baseline, "output_tokens");
    double output_c = usage_number(candidate, "output_tokens");
    double latency_b = number_member(&baseline.payload, "latency_ms").value_or(0.0);
    double latency_c = number_member(&candidate.payload, "latency_ms").value_or(0.0);
    double cost_b = cost_of(baseline, pricing).value_or(0.0);
    double cost_c = cost_of(candidate, pricing).value_or(0.0);
    double thinking_b = usage_number(baseline, "thinking_tokens");
    double thinking_c = usage_number(candidate, "thinking_tokens");
    double json_b = indicator(parses_as_json(baseline_text)), json_c = indicator(parses_as_json(candidate_text));

    PairDrilldown row;
    row.pair_index = row.baseline_turn = row.candidate_turn = index;
    row.axis_scores = {
        score(Axis::Semantic, 1.0, similarity, std::abs(2.0 * (1.0 - similarity))),
        score(Axis::Trajectory, 0.0, distance, std::abs(2.0 * distance)),
        score(Axis::Safety, refusal_b, refusal_c, std::abs(refusal_c - refusal_b)),
        score(Axis::Verbosity, output_b, output_c, std::abs(output_c - output_b) / 100.0),
        score(Axis::Latency, latency_b, latency_c, std::abs(latency_c - latency_b) / 1000.0),
        score(Axis::Cost, cost_b, cost_c, std::abs(cost_c - cost_b) / 0.01),
        score(Axis::Reasoning, thinking_b, thinking_c, std::abs(thinking_c - thinking_b) / 100.0),
        score(Axis::Conformance, json_b, json_c, std::abs(json_c - json_b)),
    };
    row.regression_score = row.axis_scores[0].normalized_delta;
    size_t dominant = 0;
    for (size_t k = 1; k < row.axis_scores.size(); ++k) {
        row.regression_score += row.axis_scores[k].normalized_delta;
        if (row.axis_scores[k].normalized_delta >= row.axis_scores[dominant].normalized_delta) dominant = k;
    }
    row.dominant_axis = row.axis_scores[dominant].axis;
    return row;
}

}  // namespace

std::string drill_down_response_text(const Record& record) {
    if (record.kind != agentlog::Kind::ChatResponse) return {};
    return joined_text_blocks(record, '\n');
}

bool is_refusal(const Record& record) { return refuses(record, drill_down_response_text(record)); }

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

std::vector<std::string> tool_shape_seq(const Record& record) {
    std::vector<std::string> shapes;
    const json::Array* content = content_blocks(record);
    if (!content) return shapes;
    for (const json::Value& block : *content)
        if (is_tool_use(block)) shapes.push_back(tool_use_shape(block));
    return shapes;
}

std::vector<std::string_view> shingles(std::string_view text) {
    std::vector<size_t> starts;
    for (size_t i = 0; i < text.size();) {
        starts.push_back(i);
        text::next_code_point(text, i);
    }
    if (starts.empty()) return {};
    if (starts.size() < SHINGLE_LENGTH) return {text};
    starts.push_back(text.size());
    std::vector<std::string_view> windows;
    windows.reserve(starts.size() - SHINGLE_LENGTH);
    for (size_t k = 0; k + SHINGLE_LENGTH < starts.size(); ++k)
        windows.push_back(text.substr(starts[k], starts[k + SHINGLE_LENGTH] - starts[k]));
    std::sort(windows.begin(), windows.end());
    windows.erase(std::unique(windows.begin(), windows.end()), windows.end());
    return windows;
}

uint64_t shingle_hash(ShingleKey key) {
    return mix64(static_cast<uint64_t>(key) ^ (static_cast<uint64_t>(key >> 64) * 0x9e3779b97f4a7c15ull));
}

void append_shingle_keys(std::string_view text, std::vector<ShingleKey>& out) {
    ShingleKey window = 0;
    uint64_t count = 0;
    for (size_t i = 0; i < text.size();) {
        unsigned char byte = static_cast<unsigned char>(text[i]);
        char32_t cp = byte < 0x80 ? (++i, byte) : text::next_code_point(text, i);
        window = ((window << CODE_POINT_BITS) | cp) & WINDOW_MASK;
        if (++count >= SHINGLE_LENGTH) out.push_back(tagged(window, SHINGLE_LENGTH));
    }
    if (count > 0 && count < SHINGLE_LENGTH) out.push_back(tagged(window, count));
}

ShingleOverlap ShingleOverlapCounter::count(std::string_view a, std::string_view b) {
    keys.clear();
    append_shingle_keys(a, keys);
    size_t first_keys = keys.size();
    append_shingle_keys(b, keys);

    constexpr uint8_t IN_FIRST = 1, IN_SECOND = 2;
    size_t capacity = 16;
    while (capacity < 2 * keys.size()) capacity *= 2;
    slots.assign(capacity, 0);
    sides.assign(capacity, 0);
    ShingleOverlap overlap;
    for (size_t k = 0; k < keys.size(); ++k) {
        ShingleKey key = keys[k];
        uint8_t side = k < first_keys ? IN_FIRST : IN_SECOND;
        size_t slot = shingle_hash(key) & (capacity - 1);
        while (slots[slot] != 0 && slots[slot] != key) slot = (slot + 1) & (capacity - 1);
        slots[slot] = key;
        if (sides[slot] & side) continue;
        sides[slot] |= side;
        if (side == IN_FIRST) {
            ++overlap.first;
        } else {
            ++overlap.second;
            if (sides[slot] & IN_FIRST) ++overlap.common;
        }
    }
    return overlap;
}

ShingleOverlap shingle_overlap(std::string_view a, std::string_view b) { return ShingleOverlapCounter{}.count(a, b); }

std::vector<PairDrilldown> drill_down(const Pairs& pairs, const PricingTable& pricing) {
    std::vector<PairDrilldown> rows;
    rows.reserve(pairs.size());
    ShingleOverlapCounter counter;
    for (size_t i = 0; i < pairs.size(); ++i)
        rows.push_back(drill_down_pair(i, *pairs[i].baseline, *pairs[i].candidate, pricing, counter));
    std::stable_sort(rows.begin(), rows.end(), [](const PairDrilldown& a, const PairDrilldown& b) {
        return a.regression_score > b.regression_score;
    });
    if (rows.size() > DRILL_DOWN_LIMIT) rows.resize(DRILL_DOWN_LIMIT);
    return rows;
}

}  // namespace velkin::diff
