// Root-cause signatures and the recommendation assembly on hand-made rows and
// divergences (combinations of grades and explanations a report cannot be
// steered into), and the signed number format.
#include <limits>
#include <string>
#include <tuple>
#include <vector>

#include "check.hpp"
#include "diff/recommendations.hpp"

using namespace velkin::diff;

namespace {

const double NaN = std::numeric_limits<double>::quiet_NaN();
const double INF = std::numeric_limits<double>::infinity();
constexpr Severity MINOR = Severity::Minor, MODERATE = Severity::Moderate, SEVERE = Severity::Severe;
constexpr Axis SEMANTIC = Axis::Semantic, TRAJECTORY = Axis::Trajectory, SAFETY = Axis::Safety,
               VERBOSITY = Axis::Verbosity, LATENCY = Axis::Latency, COST = Axis::Cost, REASONING = Axis::Reasoning;
constexpr DivergenceKind STRUCTURAL = DivergenceKind::StructuralDrift, DECISION = DivergenceKind::DecisionDrift;

struct Grade {
    Axis axis;
    Severity severity;
    double delta;
};

// Nine rows at severity none, then the given grades.
std::vector<AxisStat> rows(const std::vector<Grade>& grades) {
    std::vector<AxisStat> out;
    for (size_t a = 0; a < AXIS_COUNT; ++a) out.push_back(AxisStat::empty(static_cast<Axis>(a)));
    for (const Grade& grade : grades) {
        out[static_cast<size_t>(grade.axis)].severity = grade.severity;
        out[static_cast<size_t>(grade.axis)].delta = grade.delta;
    }
    return out;
}

std::vector<std::string> messages(const std::vector<Recommendation>& entries) {
    std::vector<std::string> out;
    for (const Recommendation& entry : entries) out.push_back(entry.message);
    return out;
}

// Which signatures (1 to 9) the hints come from, told by the start of their messages.
std::vector<int> signatures(const std::vector<Recommendation>& hints) {
    static const std::vector<std::string> starts = {"Looks like a model change.",
                                                    "Looks like a system-prompt edit.",
                                                    "Refusal rate is up severely.",
                                                    "Looks like a tool-schema migration.",
                                                    "Possible context-window overflow.",
                                                    "Possible retry loop.",
                                                    "Cost up severely with latency stable.",
                                                    "Possible prompt-injection",
                                                    "Latency up severely with cost stable."};
    std::vector<int> out;
    for (const Recommendation& hint : hints) {
        int k = 0;
        while (k < 9 && !hint.message.starts_with(starts[k])) ++k;
        out.push_back(k + 1);
    }
    return out;
}

FirstDivergence divergence(DivergenceKind kind, Axis axis, std::string explanation, uint64_t turn, double confidence) {
    return {turn, turn + 1, kind, axis, std::move(explanation), confidence};
}

}  // namespace

TEST(signed_three_decimals_format) {
    const std::vector<std::pair<double, std::string>> cases = {
        {0.1234, "+0.123"},
        {-2.0, "-2.000"},
        {0.5, "+0.500"},
        {-0.0004, "-0.000"},
        {0.0, "+0.000"},
        {-0.0, "-0.000"},
        {NaN, "NaN"},
        {INF, "+inf"},
        {-INF, "-inf"},
        // Ties go to even on the exact binary value: 0.0625 is exact, 1.0005 lies below its decimal.
        {0.0625, "+0.062"},
        {0.1875, "+0.188"},
        {1.0005, "+1.000"},
        {1e20, "+100000000000000000000.000"}};
    for (const auto& [value, text] : cases) CHECK_EQ(signed_three_decimals(value), text);
    CHECK_EQ(signed_three_decimals(std::numeric_limits<double>::max()).size(), 1u + 309u + 4u);
}

TEST(each_signature_text) {
    using enum RecommendationSeverity;
    const std::vector<std::tuple<std::vector<Grade>, std::string, std::string, RecommendationSeverity, Axis, double>>
        cases = {
            {{{COST, MODERATE, 0.5}, {LATENCY, MODERATE, 120.0}, {SEMANTIC, MODERATE, -0.25}},
             "Looks like a model change. Cost, latency, and semantic axes all shifted together.",
             "Cross-axis signature: cost \u0394 +0.500, latency \u0394 +120.000, semantic \u0394 -0.250. Three axes "
             "moving together is the canonical model-swap signature (provider change, frontier\u2192haiku, etc.). Diff "
             "the `model` field across configs first.",
             Error,
             COST,
             0.85},
            {{{SEMANTIC, MODERATE, -0.2}, {VERBOSITY, SEVERE, 30.0}, {SAFETY, MODERATE, 0.25}},
             "Looks like a system-prompt edit. Semantic + verbosity moved together plus safety axis (refusal-style "
             "instruction change).",
             "Cross-axis signature: semantic \u0394 -0.200, verbosity \u0394 +30.000. Diff the `system` field of the "
             "request across configs.",
             Warning,
             SEMANTIC,
             0.7},
            {{{SAFETY, SEVERE, 0.25}},
             "Refusal rate is up severely. Check for stricter system instructions or tighter content policies.",
             "Safety axis severe with positive delta +0.250 \u2014 the candidate refused or was content-filtered more "
             "often than baseline. Common causes: added safety preamble in system prompt, model upgrade with stricter "
             "RLHF, provider-side content-filter tightening.",
             Error,
             SAFETY,
             0.8},
            {{{TRAJECTORY, SEVERE, 0.4}, {REASONING, MODERATE, 12.0}},
             "Looks like a tool-schema migration. Trajectory + reasoning both moved.",
             "Cross-axis signature: trajectory \u0394 +0.400 (tool sequence/args changed), reasoning \u0394 +12.000 "
             "(the model is thinking through a different schema). Diff the `tools` array across configs and check "
             "whether arg keys were added or removed.",
             Error,
             TRAJECTORY,
             0.78},
            {{{COST, SEVERE, 1.25}, {REASONING, MODERATE, -3.0}},
             "Possible context-window overflow. Cost spiked severely without a model change, and reasoning shifted "
             "with it.",
             "Cross-axis signature: cost \u0394 +1.250 (severe) with reasoning \u0394 -3.000, model unchanged. Common "
             "cause: prompt-length growth past the effective context window \u2014 providers either truncate (lossy "
             "reasoning) or charge for the full prompt every turn (cost balloons). Check prompt-token usage trend "
             "across the candidate's turns.",
             Error,
             COST,
             0.72},
            {{{TRAJECTORY, SEVERE, 0.4}, {LATENCY, MODERATE, 300.0}},
             "Possible retry loop. Trajectory diverged severely with latency spike but no reasoning shift.",
             "Cross-axis signature: trajectory \u0394 +0.400, latency \u0394 +300.000, reasoning stable. Suggests the "
             "agent is retrying a failing tool call (each retry inflates the tool-call count and adds latency, but "
             "doesn't change reasoning depth). Inspect tool results for transient errors that the agent is silently "
             "retrying.",
             Error,
             TRAJECTORY,
             0.7},
            {{{COST, SEVERE, 1.25}},
             "Cost up severely with latency stable. Suggests cache control stopped being honored.",
             "Cross-axis signature: cost \u0394 +1.250, latency stable, semantic stable. Cache-hit latency without "
             "cache-hit pricing means the request hit the cache for performance but billed at the uncached rate. "
             "Common causes: SDK upgrade dropped the `cache_control` flag, prompt-prefix drift broke cache reuse, or "
             "the provider changed cache pricing.",
             Error,
             COST,
             0.68},
            {{{TRAJECTORY, SEVERE, 0.3}, {SAFETY, MODERATE, -0.1}},
             "Possible prompt-injection or tool-args exfiltration. Trajectory severe AND refusal rate dropped.",
             "Cross-axis signature: trajectory \u0394 +0.300 with safety \u0394 -0.100 (refusing less). Tool calls "
             "diverged AND the agent became more permissive \u2014 the canonical signature of a prompt-injected trace "
             "where tool args are being used to exfiltrate or escalate. Sample 3-5 candidate tool-call payloads "
             "against the baseline; look for unexpected URLs, IDs, or tokens in the input objects.",
             Error,
             SAFETY,
             0.75},
            {{{LATENCY, SEVERE, 900.0}},
             "Latency up severely with cost stable. Provider-side capacity or network change.",
             "Cross-axis signature: latency \u0394 +900.000, cost stable, semantic stable. Same model, same output "
             "length, slower response. Common causes: provider capacity event, network path change, regional "
             "fail-over. Check provider status pages for the candidate's run window before treating this as a code "
             "regression.",
             Warning,
             LATENCY,
             0.65},
        };
    for (const auto& [grades, message, rationale, severity, axis, confidence] : cases) {
        std::vector<Recommendation> hints = root_cause_hints(rows(grades));
        CHECK_EQ(hints.empty() ? std::string("no hint") : hints[0].message, message);
        if (hints.empty()) continue;
        CHECK_EQ(hints[0].rationale, rationale);
        CHECK(hints[0].severity == severity && hints[0].axis == axis && hints[0].confidence == confidence);
        CHECK(hints[0].action == Action::RootCause);
        CHECK(hints[0].turn + hints[0].baseline_turn + hints[0].candidate_turn == 0);
    }
    CHECK_EQ(root_cause_hints(rows({{SEMANTIC, SEVERE, -0.2}, {VERBOSITY, MODERATE, 30.0}}))[0].message,
             std::string("Looks like a system-prompt edit. Semantic + verbosity moved together."));
}

TEST(signatures_fire_in_order_and_suppress_each_other) {
    const std::vector<std::pair<std::vector<Grade>, std::vector<int>>> cases = {
        {{}, {}},
        {{{COST, MINOR, 5.0}, {LATENCY, MINOR, 5.0}, {SEMANTIC, MINOR, 5.0}}, {}},
        {{{COST, MODERATE, 0.5}, {LATENCY, MODERATE, 1.0}, {SEMANTIC, MODERATE, -0.5}, {VERBOSITY, MODERATE, 4.0}},
         {1}},
        {{{COST, SEVERE, 1.0}, {LATENCY, MODERATE, 1.0}, {SEMANTIC, MODERATE, -1.0}, {REASONING, MODERATE, 1.0}}, {1}},
        {{{SEMANTIC, MODERATE, -0.2}, {VERBOSITY, SEVERE, 30.0}, {SAFETY, SEVERE, 0.25}}, {2, 3}},
        {{{TRAJECTORY, SEVERE, 0.4}, {REASONING, MODERATE, 12.0}, {LATENCY, MODERATE, 300.0}}, {4}},
        {{{TRAJECTORY, SEVERE, 0.4}, {REASONING, MINOR, 12.0}, {LATENCY, MODERATE, -300.0}}, {}},
        {{{COST, SEVERE, 1.25}, {REASONING, MODERATE, -3.0}, {LATENCY, MINOR, 1.0}, {SEMANTIC, MINOR, -0.01}}, {5, 7}},
        {{{COST, SEVERE, -1.25}, {REASONING, MODERATE, -3.0}}, {}},
        {{{COST, SEVERE, 0.0}, {REASONING, MODERATE, -3.0}}, {}},
        {{{COST, SEVERE, NaN}, {REASONING, MODERATE, -3.0}}, {}},
        {{{SAFETY, MODERATE, 0.3}}, {}},
        {{{TRAJECTORY, SEVERE, 0.3}, {SAFETY, SEVERE, -0.1}}, {8}},
        {{{TRAJECTORY, SEVERE, 0.3}, {SAFETY, MODERATE, -0.0}}, {}},
        {{{LATENCY, SEVERE, 900.0}, {COST, MODERATE, 0.1}}, {}},
    };
    for (const auto& [grades, expected] : cases) CHECK(signatures(root_cause_hints(rows(grades))) == expected);
    // The first row of an axis counts; a missing row is stable with delta 0.
    std::vector<AxisStat> latency_only = {rows({{LATENCY, SEVERE, 50.0}})[4], rows({{LATENCY, SEVERE, -50.0}})[4]};
    CHECK(signatures(root_cause_hints(latency_only)) == std::vector<int>{9});
}

TEST(recommendations_for_explanations_the_walk_never_writes) {
    using enum RecommendationSeverity;
    using enum Action;
    using Case = std::tuple<DivergenceKind, Axis, std::string, std::string, RecommendationSeverity, Action>;
    const std::vector<Case> cases = {
        {STRUCTURAL, TRAJECTORY, "CANDIDATE DROPPED TOOL CALLS", "Restore missing element at turn 3.", Error, Restore},
        {STRUCTURAL, TRAJECTORY, "candidate ADDED TOOL call(s): `Fetch(Url)`, `t()`",
         "Review unexpected addition at turn 3: Fetch(Url).", Error, Review},
        {STRUCTURAL, TRAJECTORY, "inserted an extra `", "Review unexpected addition at turn 3: extra element.", Error,
         Review},
        {STRUCTURAL, TRAJECTORY, "tool ordering differs", "Review tool-schema change at turn 3: call shape diverged.",
         Error, Review},
        {DECISION, SAFETY, "refusals changed", "Review decision change at turn 3.", Warning, Review},
        {DECISION, TRAJECTORY, "tool ARG VALUE changed: ``", "Revert  at turn 3 to the baseline value.", Warning,
         Revert},
        {DECISION, TRAJECTORY, "tool arg value changed", "Revert arg value at turn 3 to the baseline value.", Warning,
         Revert},
        {DECISION, TRAJECTORY, "something else", "Review decision change at turn 3.", Warning, Review},
    };
    for (const auto& [kind, axis, explanation, message, severity, action] : cases) {
        Recommendation entry = recommendation_for(divergence(kind, axis, explanation, 3, 0.5));
        CHECK_EQ(entry.message, message);
        CHECK(entry.severity == severity && entry.action == action && entry.axis == axis);
        CHECK(entry.rationale == explanation && entry.confidence == 0.5);
        CHECK(entry.turn == 3 && entry.baseline_turn == 3 && entry.candidate_turn == 4);
    }
}

TEST(aggregate_entry) {
    CHECK(assemble_recommendations(rows({}), {}).empty());
    // A severe cost row whose delta is negative fires no signature; the later severe row names the aggregate.
    std::vector<AxisStat> graded = rows({{COST, SEVERE, -0.5}, {Axis::Conformance, SEVERE, -0.25}});
    std::vector<Recommendation> entries = assemble_recommendations(graded,
                                                                   {divergence(DECISION, SEMANTIC, "", 1, 0.9)});
    CHECK(messages(entries) ==
          (std::vector<std::string>{"Review the candidate: format conformance axis shifted with severity severe.",
                                    "Review response text at turn 1: semantic content shifted."}));
    CHECK_EQ(entries[0].rationale, std::string("Aggregate signal crosses the `severe` threshold (format conformance: "
                                               "delta -0.250, CI [+0.000, +0.000])."));
    // An error divergence or an error hint prevents it.
    CHECK_EQ(assemble_recommendations(graded, {divergence(STRUCTURAL, COST, "", 1, 0.1)}).size(), 1u);
    CHECK(signatures(assemble_recommendations(rows({{SAFETY, SEVERE, 0.5}}), {})) == std::vector<int>{3});
}

TEST(sorted_and_cut_to_eight) {
    // Four error hints: tool-schema 0.78, injection 0.75, context window 0.72, cache 0.68.
    std::vector<AxisStat> graded = rows(
        {{COST, SEVERE, 1.0}, {SAFETY, MODERATE, -0.1}, {TRAJECTORY, SEVERE, 0.5}, {REASONING, MODERATE, 2.0}});
    std::vector<FirstDivergence> found = {divergence(DECISION, SEMANTIC, "text", 9, 0.99)};
    for (auto [turn, confidence] : {std::pair{5, 0.78}, {0, 0.78}, {2, 0.1}, {1, 1.0}, {4, 0.05}})
        found.push_back(divergence(STRUCTURAL, TRAJECTORY, "candidate inserted an extra turn", turn, confidence));
    std::vector<Recommendation> entries = assemble_recommendations(graded, found);
    std::vector<std::pair<double, uint64_t>> order;
    for (const Recommendation& entry : entries) order.push_back({entry.confidence, entry.turn});
    // Errors by confidence, among equals the hints (listed first), then ascending turns; the warning is cut.
    CHECK(order == (std::vector<std::pair<double, uint64_t>>{
                       {1.0, 1}, {0.78, 0}, {0.78, 0}, {0.78, 5}, {0.75, 0}, {0.72, 0}, {0.68, 0}, {0.1, 2}}));
    CHECK(signatures({entries[1]}) == std::vector<int>{4});
}
