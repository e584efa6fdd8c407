#include <algorithm>

#include "diff/recommendations.hpp"

namespace velkin::diff {

namespace {

struct AxisView {
    const std::vector<AxisStat>& rows;

    const AxisStat* row(Axis axis) const {
        auto found = std::find_if(rows.begin(), rows.end(), [&](const AxisStat& stat) { return stat.axis == axis; });
        return found == rows.end() ? nullptr : &*found;
    }
    bool moved(Axis axis) const {
        const AxisStat* stat = row(axis);
        return stat && (stat->severity == Severity::Moderate || stat->severity == Severity::Severe);
    }
    bool severe(Axis axis) const {
        const AxisStat* stat = row(axis);
        return stat && stat->severity == Severity::Severe;
    }
    bool stable(Axis axis) const { return !moved(axis); }
    double delta(Axis axis) const {
        const AxisStat* stat = row(axis);
        return stat ? stat->delta : 0.0;
    }
    std::string shown(Axis axis) const { return signed_three_decimals(delta(axis)); }
};

bool any_message_contains(const std::vector<Recommendation>& hints, std::string_view words) {
    return std::any_of(hints.begin(), hints.end(),
                       [&](const Recommendation& hint) { return hint.message.find(words) != std::string::npos; });
}

bool any_message_starts_with(const std::vector<Recommendation>& hints, std::string_view prefix) {
    return std::any_of(hints.begin(), hints.end(),
                       [&](const Recommendation& hint) { return hint.message.starts_with(prefix); });
}

void add_hint(std::vector<Recommendation>& hints, RecommendationSeverity severity, Axis axis, double confidence,
              std::string message, std::string rationale) {
    hints.push_back({severity, Action::RootCause, 0, 0, 0, std::move(message), std::move(rationale), axis, confidence});
}

}  // namespace

std::vector<Recommendation> root_cause_hints(const std::vector<AxisStat>& rows) {
    using enum Axis;
    constexpr RecommendationSeverity error = RecommendationSeverity::Error;
    constexpr RecommendationSeverity warning = RecommendationSeverity::Warning;
    const AxisView axes{rows};
    std::vector<Recommendation> hints;

    if (axes.moved(Cost) && axes.moved(Latency) && axes.moved(Semantic)) {
        add_hint(hints, error, Cost, 0.85,
                 "Looks like a model change. Cost, latency, and semantic axes all shifted together.",
                 "Cross-axis signature: cost \u0394 " + axes.shown(Cost) + ", latency \u0394 " + axes.shown(Latency) +
                     ", semantic \u0394 " + axes.shown(Semantic) +
                     ". Three axes moving together is the canonical model-swap signature (provider change, "
                     "frontier\u2192haiku, etc.). Diff the `model` field across configs first.");
    }
    if (axes.moved(Semantic) && axes.moved(Verbosity) && !any_message_starts_with(hints, "Looks like a model change")) {
        std::string suffix = axes.moved(Safety) ? " plus safety axis (refusal-style instruction change)" : "";
        add_hint(hints, warning, Semantic, 0.7,
                 "Looks like a system-prompt edit. Semantic + verbosity moved together" + suffix + ".",
                 "Cross-axis signature: semantic \u0394 " + axes.shown(Semantic) + ", verbosity \u0394 " +
                     axes.shown(Verbosity) + ". Diff the `system` field of the request across configs.");
    }
    if (axes.severe(Safety) && axes.delta(Safety) > 0) {
        add_hint(hints, error, Safety, 0.8,
                 "Refusal rate is up severely. Check for stricter system instructions or tighter content policies.",
                 "Safety axis severe with positive delta " + axes.shown(Safety) +
                     " \u2014 the candidate refused or was content-filtered more often than baseline. Common causes: "
                     "added safety preamble in system prompt, model upgrade with stricter RLHF, provider-side "
                     "content-filter tightening.");
    }
    if (axes.severe(Trajectory) && axes.moved(Reasoning)) {
        add_hint(hints, error, Trajectory, 0.78,
                 "Looks like a tool-schema migration. Trajectory + reasoning both moved.",
                 "Cross-axis signature: trajectory \u0394 " + axes.shown(Trajectory) +
                     " (tool sequence/args changed), reasoning \u0394 " + axes.shown(Reasoning) +
                     " (the model is thinking through a different schema). Diff the `tools` array across configs "
                     "and check whether arg keys were added or removed.");
    }
    if (axes.severe(Cost) && axes.moved(Reasoning) && !any_message_contains(hints, "model change") &&
        axes.delta(Cost) > 0) {
        add_hint(hints, error, Cost, 0.72,
                 "Possible context-window overflow. Cost spiked severely without a model change, and reasoning "
                 "shifted with it.",
                 "Cross-axis signature: cost \u0394 " + axes.shown(Cost) + " (severe) with reasoning \u0394 " +
                     axes.shown(Reasoning) +
                     ", model unchanged. Common cause: prompt-length growth past the effective context window "
                     "\u2014 providers either truncate (lossy reasoning) or charge for the full prompt every turn "
                     "(cost balloons). Check prompt-token usage trend across the candidate's turns.");
    }
    if (axes.severe(Trajectory) && axes.moved(Latency) && !any_message_contains(hints, "tool-schema") &&
        axes.delta(Latency) > 0) {
        add_hint(hints, error, Trajectory, 0.7,
                 "Possible retry loop. Trajectory diverged severely with latency spike but no reasoning shift.",
                 "Cross-axis signature: trajectory \u0394 " + axes.shown(Trajectory) + ", latency \u0394 " +
                     axes.shown(Latency) +
                     ", reasoning stable. Suggests the agent is retrying a failing tool call (each retry inflates "
                     "the tool-call count and adds latency, but doesn't change reasoning depth). Inspect tool "
                     "results for transient errors that the agent is silently retrying.");
    }
    if (axes.severe(Cost) && axes.stable(Latency) && axes.stable(Semantic) && axes.delta(Cost) > 0) {
        add_hint(hints, error, Cost, 0.68,
                 "Cost up severely with latency stable. Suggests cache control stopped being honored.",
                 "Cross-axis signature: cost \u0394 " + axes.shown(Cost) +
                     ", latency stable, semantic stable. Cache-hit latency without cache-hit pricing means the "
                     "request hit the cache for performance but billed at the uncached rate. Common causes: SDK "
                     "upgrade dropped the `cache_control` flag, prompt-prefix drift broke cache reuse, or the "
                     "provider changed cache pricing.");
    }
    if (axes.severe(Trajectory) && axes.moved(Safety) && axes.delta(Safety) < 0) {
        add_hint(hints, error, Safety, 0.75,
                 "Possible prompt-injection or tool-args exfiltration. Trajectory severe AND refusal rate dropped.",
                 "Cross-axis signature: trajectory \u0394 " + axes.shown(Trajectory) + " with safety \u0394 " +
                     axes.shown(Safety) +
                     " (refusing less). Tool calls diverged AND the agent became more permissive \u2014 the "
                     "canonical signature of a prompt-injected trace where tool args are being used to exfiltrate "
                     "or escalate. Sample 3-5 candidate tool-call payloads against the baseline; look for "
                     "unexpected URLs, IDs, or tokens in the input objects.");
    }
    if (axes.severe(Latency) && axes.stable(Cost) && axes.stable(Semantic) &&
        !any_message_contains(hints, "model change") && !any_message_contains(hints, "context-window") &&
        axes.delta(Latency) > 0) {
        add_hint(hints, warning, Latency, 0.65,
                 "Latency up severely with cost stable. Provider-side capacity or network change.",
                 "Cross-axis signature: latency \u0394 " + axes.shown(Latency) +
                     ", cost stable, semantic stable. Same model, same output length, slower response. Common "
                     "causes: provider capacity event, network path change, regional fail-over. Check provider "
                     "status pages for the candidate's run window before treating this as a code regression.");
    }
    return hints;
}

}  // namespace velkin::diff
