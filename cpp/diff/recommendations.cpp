#include "diff/recommendations.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>

#include "text/unicode.hpp"

namespace velkin::diff {

namespace {

bool contains(std::string_view text, std::string_view words) { return text.find(words) != std::string_view::npos; }

Recommendation from_divergence(const FirstDivergence& divergence, RecommendationSeverity severity, Action action,
                               std::string message) {
    return {severity,
            action,
            divergence.baseline_turn,
            divergence.baseline_turn,
            divergence.candidate_turn,
            std::move(message),
            divergence.explanation,
            divergence.primary_axis,
            divergence.confidence};
}

std::optional<Recommendation> aggregate(const std::vector<AxisStat>& rows, const std::vector<Recommendation>& so_far) {
    auto severe = std::find_if(rows.rbegin(), rows.rend(),
                               [](const AxisStat& stat) { return stat.severity == Severity::Severe; });
    if (severe == rows.rend()) return std::nullopt;
    bool has_error = std::any_of(so_far.begin(), so_far.end(), [](const Recommendation& entry) {
        return entry.severity == RecommendationSeverity::Error;
    });
    if (has_error) return std::nullopt;
    std::string label(axis_label(severe->axis));
    return Recommendation{RecommendationSeverity::Error,
                          Action::Review,
                          0,
                          0,
                          0,
                          "Review the candidate: " + label + " axis shifted with severity " +
                              std::string(severity_name(severe->severity)) + ".",
                          "Aggregate signal crosses the `severe` threshold (" + label + ": delta " +
                              signed_three_decimals(severe->delta) + ", CI [" +
                              signed_three_decimals(severe->ci95_low) + ", " +
                              signed_three_decimals(severe->ci95_high) + "]).",
                          severe->axis,
                          0.8};
}

// Errors first, then the most confident, then the earliest turn.
bool urgent_before(const Recommendation& a, const Recommendation& b) {
    if (a.severity != b.severity) return a.severity < b.severity;
    if (a.confidence > b.confidence) return true;
    if (b.confidence > a.confidence) return false;
    return a.turn < b.turn;
}

}  // namespace

std::optional<std::string_view> extract_backticked(std::string_view text) {
    size_t open = text.find('`');
    if (open == std::string_view::npos) return std::nullopt;
    size_t close = text.find('`', open + 1);
    if (close == std::string_view::npos) return std::nullopt;
    return text.substr(open + 1, close - open - 1);
}

std::string signed_three_decimals(double value) {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value > 0 ? "+inf" : "-inf";
    // The largest double needs 309 integer digits.
    char buffer[400];
    buffer[0] = '+';
    auto [end, error] = std::to_chars(buffer + 1, buffer + sizeof buffer, value, std::chars_format::fixed, 3);
    if (error != std::errc()) throw Panic("number does not fit its buffer");
    return buffer[1] == '-' ? std::string(buffer + 1, end) : std::string(buffer, end);
}

Recommendation recommendation_for(const FirstDivergence& divergence) {
    using enum RecommendationSeverity;
    std::string lowered = text::lowercase(divergence.explanation);
    std::optional<std::string_view> backticked = extract_backticked(divergence.explanation);
    auto name = [&](std::string_view fallback) { return std::string(backticked.value_or(fallback)); };
    std::string turn = std::to_string(divergence.baseline_turn);

    if (divergence.kind == DivergenceKind::StructuralDrift) {
        if (contains(lowered, "dropped tool") || contains(lowered, "dropped a response turn") ||
            contains(lowered, "dropped a turn"))
            return from_divergence(divergence, Error, Action::Restore,
                                   "Restore " + name("missing element") + " at turn " + turn + ".");
        if (contains(lowered, "added tool") || contains(lowered, "inserted an extra"))
            return from_divergence(divergence, Error, Action::Review,
                                   "Review unexpected addition at turn " + turn + ": " + name("extra element") + ".");
        if (contains(lowered, "duplicate tool"))
            return from_divergence(
                divergence, Error, Action::Remove,
                "Remove duplicate invocation of " + name("the duplicated tool") + " at turn " + turn + ".");
        if (contains(lowered, "tool set changed") || contains(lowered, "tool ordering differs"))
            return from_divergence(divergence, Error, Action::Review,
                                   "Review tool-schema change at turn " + turn + ": call shape diverged.");
        return from_divergence(divergence, Error, Action::Review, "Review structural change at turn " + turn + ".");
    }

    // Decision drift (style drift is never produced and reads the same way).
    if (divergence.primary_axis == Axis::Semantic)
        return from_divergence(divergence, Warning, Action::Review,
                               "Review response text at turn " + turn + ": semantic content shifted.");
    if (divergence.primary_axis == Axis::Trajectory && contains(lowered, "arg value"))
        return from_divergence(divergence, Warning, Action::Revert,
                               "Revert " + name("arg value") + " at turn " + turn + " to the baseline value.");
    if (divergence.primary_axis == Axis::Safety && contains(lowered, "stop_reason"))
        return from_divergence(divergence, contains(lowered, "content_filter") ? Error : Warning, Action::Review,
                               "Review refusal behaviour at turn " + turn + ": candidate may be over-refusing.");
    return from_divergence(divergence, Warning, Action::Review, "Review decision change at turn " + turn + ".");
}

std::vector<Recommendation> assemble_recommendations(const std::vector<AxisStat>& rows,
                                                     const std::vector<FirstDivergence>& divergences) {
    std::vector<Recommendation> entries = root_cause_hints(rows);
    for (const FirstDivergence& divergence : divergences) entries.push_back(recommendation_for(divergence));
    if (std::optional<Recommendation> summary = aggregate(rows, entries)) entries.push_back(std::move(*summary));
    std::stable_sort(entries.begin(), entries.end(), urgent_before);
    if (entries.size() > RECOMMENDATION_LIMIT) entries.resize(RECOMMENDATION_LIMIT);
    return entries;
}

}  // namespace velkin::diff
