// Root-cause signatures and the recommendation assembly on hand-made rows and
// divergences (combinations of grades a report cannot be steered into), the
// signed number format and the drill-down's text tests.
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "check.hpp"
#include "diff/drill_down.hpp"
#include "diff/recommendations.hpp"
#include "json/reader.hpp"

using namespace velkin;
using namespace velkin::diff;

namespace {

const double NaN = std::numeric_limits<double>::quiet_NaN();
const double INF = std::numeric_limits<double>::infinity();

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
        AxisStat& row = out[static_cast<size_t>(grade.axis)];
        row.severity = grade.severity;
        row.delta = grade.delta;
    }
    return out;
}

std::vector<std::string> messages(const std::vector<Recommendation>& entries) {
    std::vector<std::string> out;
    for (const Recommendation& entry : entries) out.push_back(entry.message);
    return out;
}

constexpr Severity MINOR = Severity::Minor, MODERATE = Severity::Moderate, SEVERE = Severity::Severe;

const std::string MODEL_CHANGE = "Looks like a model change. Cost, latency, and semantic axes all shifted together.";
const std::string REFUSALS_UP =
    "Refusal rate is up severely. Check for stricter system instructions or tighter content policies.";
const std::string TOOL_SCHEMA = "Looks like a tool-schema migration. Trajectory + reasoning both moved.";
const std::string CONTEXT_WINDOW =
    "Possible context-window overflow. Cost spiked severely without a model change, and reasoning shifted with it.";
const std::string RETRY_LOOP =
    "Possible retry loop. Trajectory diverged severely with latency spike but no reasoning shift.";
const std::string CACHE = "Cost up severely with latency stable. Suggests cache control stopped being honored.";
const std::string INJECTION =
    "Possible prompt-injection or tool-args exfiltration. Trajectory severe AND refusal rate dropped.";
const std::string LATENCY = "Latency up severely with cost stable. Provider-side capacity or network change.";

FirstDivergence divergence(DivergenceKind kind, Axis axis, std::string explanation, uint64_t turn = 3,
                           double confidence = 0.5) {
    return {turn, turn + 1, kind, axis, std::move(explanation), confidence};
}
const DivergenceKind STRUCTURAL = DivergenceKind::StructuralDrift, DECISION = DivergenceKind::DecisionDrift;

Record record(const std::string& payload_json) {
    Record out;
    out.kind = agentlog::Kind::ChatResponse;
    out.payload = json::parse_document(payload_json).value();
    return out;
}

}  // namespace

TEST(signed_three_decimals_format) {
    CHECK_EQ(signed_three_decimals(0.1234), std::string("+0.123"));
    CHECK_EQ(signed_three_decimals(-2.0), std::string("-2.000"));
    CHECK_EQ(signed_three_decimals(0.5), std::string("+0.500"));
    CHECK_EQ(signed_three_decimals(-0.0004), std::string("-0.000"));
    CHECK_EQ(signed_three_decimals(0.0), std::string("+0.000"));
    CHECK_EQ(signed_three_decimals(-0.0), std::string("-0.000"));
    CHECK_EQ(signed_three_decimals(NaN), std::string("NaN"));
    CHECK_EQ(signed_three_decimals(INF), std::string("+inf"));
    CHECK_EQ(signed_three_decimals(-INF), std::string("-inf"));
    // Ties go to even on the exact binary value: 0.0625 is exact, 1.0005 lies below its decimal.
    CHECK_EQ(signed_three_decimals(0.0625), std::string("+0.062"));
    CHECK_EQ(signed_three_decimals(0.1875), std::string("+0.188"));
    CHECK_EQ(signed_three_decimals(1.0005), std::string("+1.000"));
    CHECK_EQ(signed_three_decimals(1e20), std::string("+100000000000000000000.000"));
    CHECK_EQ(signed_three_decimals(std::numeric_limits<double>::max()).size(), 1u + 309u + 4u);
}

TEST(extract_backticked_spans) {
    CHECK(!extract_backticked("no quotes").has_value());
    CHECK(!extract_backticked("one ` only").has_value());
    CHECK_EQ(std::string(*extract_backticked("a `b(c)` and `d`")), std::string("b(c)"));
    CHECK_EQ(std::string(*extract_backticked("empty `` pair")), std::string(""));
}

TEST(no_signature_without_movement) {
    CHECK(root_cause_hints(rows({})).empty());
    CHECK(root_cause_hints({}).empty());
    CHECK(root_cause_hints(rows({{Axis::Cost, MINOR, 5.0}, {Axis::Latency, MINOR, 5.0}})).empty());
}

TEST(model_change_suppresses_system_prompt_edit) {
    std::vector<Recommendation> hints = root_cause_hints(rows({{Axis::Cost, MODERATE, 0.5},
                                                               {Axis::Latency, MODERATE, 120.0},
                                                               {Axis::Semantic, MODERATE, -0.25},
                                                               {Axis::Verbosity, MODERATE, 40.0}}));
    CHECK_EQ(hints.size(), 1u);
    const Recommendation& hint = hints[0];
    CHECK_EQ(hint.message, MODEL_CHANGE);
    CHECK_EQ(hint.rationale,
             std::string("Cross-axis signature: cost \u0394 +0.500, latency \u0394 +120.000, semantic \u0394 -0.250. "
                         "Three axes moving together is the canonical model-swap signature (provider change, "
                         "frontier\u2192haiku, etc.). Diff the `model` field across configs first."));
    CHECK(hint.severity == RecommendationSeverity::Error);
    CHECK(hint.action == Action::RootCause);
    CHECK(hint.axis == Axis::Cost);
    CHECK_EQ(hint.confidence, 0.85);
    CHECK_EQ(hint.turn + hint.baseline_turn + hint.candidate_turn, 0u);
}

TEST(system_prompt_edit_with_safety_suffix_and_refusals) {
    std::vector<Recommendation> hints = root_cause_hints(
        rows({{Axis::Semantic, MODERATE, -0.2}, {Axis::Verbosity, SEVERE, 30.0}, {Axis::Safety, SEVERE, 0.25}}));
    CHECK_EQ(hints.size(), 2u);
    CHECK_EQ(hints[0].message, std::string("Looks like a system-prompt edit. Semantic + verbosity moved together plus "
                                           "safety axis (refusal-style instruction change)."));
    CHECK_EQ(hints[0].rationale, std::string("Cross-axis signature: semantic \u0394 -0.200, verbosity \u0394 +30.000. "
                                             "Diff the `system` field of the request across configs."));
    CHECK(hints[0].severity == RecommendationSeverity::Warning);
    CHECK(hints[0].axis == Axis::Semantic);
    CHECK_EQ(hints[0].confidence, 0.7);
    CHECK_EQ(hints[1].message, REFUSALS_UP);
    CHECK_EQ(hints[1].rationale,
             std::string("Safety axis severe with positive delta +0.250 \u2014 the candidate refused or was "
                         "content-filtered more often than baseline. Common causes: added safety preamble in system "
                         "prompt, model upgrade with stricter RLHF, provider-side content-filter tightening."));
    CHECK(hints[1].axis == Axis::Safety);
    CHECK_EQ(hints[1].confidence, 0.8);

    hints = root_cause_hints(rows({{Axis::Semantic, SEVERE, -0.2}, {Axis::Verbosity, MODERATE, 30.0}}));
    CHECK_EQ(hints.size(), 1u);
    CHECK_EQ(hints[0].message, std::string("Looks like a system-prompt edit. Semantic + verbosity moved together."));
}

TEST(tool_schema_migration_suppresses_retry_loop) {
    std::vector<Grade> grades = {{Axis::Trajectory, SEVERE, 0.4}, {Axis::Reasoning, MODERATE, 12.0},
                                 {Axis::Latency, MODERATE, 300.0}};
    std::vector<Recommendation> hints = root_cause_hints(rows(grades));
    CHECK(messages(hints) == std::vector<std::string>{TOOL_SCHEMA});
    CHECK_EQ(hints[0].rationale,
             std::string("Cross-axis signature: trajectory \u0394 +0.400 (tool sequence/args changed), reasoning "
                         "\u0394 +12.000 (the model is thinking through a different schema). Diff the `tools` array "
                         "across configs and check whether arg keys were added or removed."));
    CHECK_EQ(hints[0].confidence, 0.78);

    grades[1].severity = MINOR;
    hints = root_cause_hints(rows(grades));
    CHECK(messages(hints) == std::vector<std::string>{RETRY_LOOP});
    CHECK_EQ(hints[0].rationale,
             std::string("Cross-axis signature: trajectory \u0394 +0.400, latency \u0394 +300.000, reasoning stable. "
                         "Suggests the agent is retrying a failing tool call (each retry inflates the tool-call count "
                         "and adds latency, but doesn't change reasoning depth). Inspect tool results for transient "
                         "errors that the agent is silently retrying."));
    CHECK(hints[0].axis == Axis::Trajectory);
    CHECK_EQ(hints[0].confidence, 0.7);

    grades[2].delta = -300.0;  // latency fell
    CHECK(root_cause_hints(rows(grades)).empty());
}

TEST(cost_spike_signatures) {
    std::vector<Grade> grades = {{Axis::Cost, SEVERE, 1.25}, {Axis::Reasoning, MODERATE, -3.0},
                                 {Axis::Latency, MINOR, 1.0}, {Axis::Semantic, MINOR, -0.01}};
    std::vector<Recommendation> hints = root_cause_hints(rows(grades));
    CHECK(messages(hints) == (std::vector<std::string>{CONTEXT_WINDOW, CACHE}));
    CHECK_EQ(hints[0].rationale,
             std::string("Cross-axis signature: cost \u0394 +1.250 (severe) with reasoning \u0394 -3.000, model "
                         "unchanged. Common cause: prompt-length growth past the effective context window \u2014 "
                         "providers either truncate (lossy reasoning) or charge for the full prompt every turn (cost "
                         "balloons). Check prompt-token usage trend across the candidate's turns."));
    CHECK_EQ(hints[0].confidence, 0.72);
    CHECK_EQ(hints[1].rationale,
             std::string("Cross-axis signature: cost \u0394 +1.250, latency stable, semantic stable. Cache-hit "
                         "latency without cache-hit pricing means the request hit the cache for performance but "
                         "billed at the uncached rate. Common causes: SDK upgrade dropped the `cache_control` flag, "
                         "prompt-prefix drift broke cache reuse, or the provider changed cache pricing."));
    CHECK_EQ(hints[1].confidence, 0.68);
    CHECK(hints[1].axis == Axis::Cost);

    grades[0].delta = -1.25;
    CHECK(root_cause_hints(rows(grades)).empty());
    grades[0].delta = 0.0;
    CHECK(root_cause_hints(rows(grades)).empty());
    grades[0].delta = NaN;
    CHECK(root_cause_hints(rows(grades)).empty());
}

TEST(injection_rather_than_refusals) {
    std::vector<Recommendation> hints =
        root_cause_hints(rows({{Axis::Trajectory, SEVERE, 0.3}, {Axis::Safety, MODERATE, -0.1}}));
    CHECK(messages(hints) == std::vector<std::string>{INJECTION});
    CHECK_EQ(hints[0].rationale,
             std::string("Cross-axis signature: trajectory \u0394 +0.300 with safety \u0394 -0.100 (refusing less). "
                         "Tool calls diverged AND the agent became more permissive \u2014 the canonical signature of "
                         "a prompt-injected trace where tool args are being used to exfiltrate or escalate. Sample "
                         "3-5 candidate tool-call payloads against the baseline; look for unexpected URLs, IDs, or "
                         "tokens in the input objects."));
    CHECK(hints[0].axis == Axis::Safety);
    CHECK_EQ(hints[0].confidence, 0.75);
    CHECK(messages(root_cause_hints(rows({{Axis::Safety, SEVERE, 0.3}}))) == std::vector<std::string>{REFUSALS_UP});
    CHECK(root_cause_hints(rows({{Axis::Safety, MODERATE, 0.3}})).empty());
}

TEST(latency_alone) {
    std::vector<Recommendation> hints = root_cause_hints(rows({{Axis::Latency, SEVERE, 900.0}}));
    CHECK(messages(hints) == std::vector<std::string>{LATENCY});
    CHECK_EQ(hints[0].rationale,
             std::string("Cross-axis signature: latency \u0394 +900.000, cost stable, semantic stable. Same model, "
                         "same output length, slower response. Common causes: provider capacity event, network path "
                         "change, regional fail-over. Check provider status pages for the candidate's run window "
                         "before treating this as a code regression."));
    CHECK(hints[0].severity == RecommendationSeverity::Warning);
    CHECK(hints[0].axis == Axis::Latency);
    CHECK_EQ(hints[0].confidence, 0.65);
    CHECK(root_cause_hints(rows({{Axis::Latency, SEVERE, 900.0}, {Axis::Cost, MODERATE, 0.1}})).empty());
}

TEST(rows_are_looked_up_by_axis) {
    // Only the latency row, at the front: cost and semantic count as stable.
    AxisStat latency = AxisStat::empty(Axis::Latency);
    latency.severity = SEVERE;
    latency.delta = 50.0;
    AxisStat second = latency;
    second.delta = -50.0;
    CHECK(messages(root_cause_hints({latency, second})) == std::vector<std::string>{LATENCY});
}

struct RuleCase {
    FirstDivergence divergence;
    std::string message;
    RecommendationSeverity severity;
    Action action;
};

TEST(one_recommendation_per_divergence) {
    using enum RecommendationSeverity;
    // Explanations the walk never writes; the ones it does write are covered through the module.
    const std::vector<RuleCase> cases = {
        {divergence(STRUCTURAL, Axis::Trajectory, "CANDIDATE DROPPED TOOL CALLS"),
         "Restore missing element at turn 3.", Error, Action::Restore},
        {divergence(STRUCTURAL, Axis::Trajectory, "candidate added tool call(s): `Fetch(Url)`, `t()`"),
         "Review unexpected addition at turn 3: Fetch(Url).", Error, Action::Review},
        {divergence(STRUCTURAL, Axis::Trajectory, "tool ordering differs"),
         "Review tool-schema change at turn 3: call shape diverged.", Error, Action::Review},
        {divergence(STRUCTURAL, Axis::Semantic, "something else"), "Review structural change at turn 3.", Error,
         Action::Review},
        {divergence(DECISION, Axis::Safety, "refusals changed"), "Review decision change at turn 3.", Warning,
         Action::Review},
        {divergence(DECISION, Axis::Trajectory, "tool ARG VALUE changed: ``"),
         "Revert  at turn 3 to the baseline value.", Warning, Action::Revert},
        {divergence(DECISION, Axis::Trajectory, "tool arg value changed"),
         "Revert arg value at turn 3 to the baseline value.", Warning, Action::Revert},
        {divergence(DECISION, Axis::Trajectory, "something else"), "Review decision change at turn 3.", Warning,
         Action::Review},
        {divergence(DECISION, Axis::Semantic, "anything"), "Review response text at turn 3: semantic content shifted.",
         Warning, Action::Review},
    };
    for (const RuleCase& rule : cases) {
        Recommendation entry = recommendation_for(rule.divergence);
        CHECK_EQ(entry.message, rule.message);
        CHECK(entry.severity == rule.severity);
        CHECK(entry.action == rule.action);
        CHECK_EQ(entry.rationale, rule.divergence.explanation);
        CHECK_EQ(entry.turn, 3u);
        CHECK_EQ(entry.baseline_turn, 3u);
        CHECK_EQ(entry.candidate_turn, 4u);
        CHECK(entry.axis == rule.divergence.primary_axis);
        CHECK_EQ(entry.confidence, 0.5);
    }
}

TEST(aggregate_entry) {
    CHECK(assemble_recommendations(rows({}), {}).empty());

    std::vector<AxisStat> graded = rows({{Axis::Cost, SEVERE, -0.5}, {Axis::Semantic, MINOR, 0.0}});
    graded[static_cast<size_t>(Axis::Cost)].ci95_low = -0.7;
    graded[static_cast<size_t>(Axis::Cost)].ci95_high = -0.3;
    std::vector<FirstDivergence> warnings = {
        divergence(DECISION, Axis::Semantic, "response text diverged", 1, 0.9),
    };
    std::vector<Recommendation> entries = assemble_recommendations(graded, warnings);
    CHECK_EQ(entries.size(), 2u);
    CHECK_EQ(entries[0].message, std::string("Review the candidate: cost axis shifted with severity severe."));
    CHECK_EQ(entries[0].rationale,
             std::string("Aggregate signal crosses the `severe` threshold (cost: delta -0.500, CI [-0.700, -0.300])."));
    CHECK(entries[0].severity == RecommendationSeverity::Error);
    CHECK(entries[0].action == Action::Review);
    CHECK(entries[0].axis == Axis::Cost);
    CHECK_EQ(entries[0].confidence, 0.8);
    CHECK_EQ(entries[0].turn, 0u);
    CHECK_EQ(entries[1].message, std::string("Review response text at turn 1: semantic content shifted."));

    // The later severe row names the aggregate.
    std::vector<AxisStat> two = rows({{Axis::Verbosity, SEVERE, -10.0}, {Axis::Conformance, SEVERE, -0.5}});
    CHECK_EQ(assemble_recommendations(two, {})[0].message,
             std::string("Review the candidate: format conformance axis shifted with severity severe."));

    // An error divergence or an error hint prevents it.
    std::vector<FirstDivergence> structural = {divergence(STRUCTURAL, Axis::Trajectory, "candidate inserted an extra turn")};
    CHECK_EQ(assemble_recommendations(two, structural).size(), 1u);
    CHECK(messages(assemble_recommendations(rows({{Axis::Safety, SEVERE, 0.5}}), {})) ==
          std::vector<std::string>{REFUSALS_UP});
}

TEST(sorted_and_cut_to_eight) {
    // Four hints: tool-schema (error 0.78), context window (error 0.72), cache (error 0.68), injection (error 0.75).
    std::vector<AxisStat> graded = rows({{Axis::Cost, SEVERE, 1.0}, {Axis::Safety, MODERATE, -0.1},
                                         {Axis::Trajectory, SEVERE, 0.5}, {Axis::Reasoning, MODERATE, 2.0}});
    std::vector<FirstDivergence> found = {
        divergence(DECISION, Axis::Semantic, "text", 9, 0.99),                  // warning
        divergence(STRUCTURAL, Axis::Trajectory, "candidate inserted an extra turn", 5, 0.78),
        divergence(STRUCTURAL, Axis::Trajectory, "candidate inserted an extra turn", 0, 0.78),
        divergence(STRUCTURAL, Axis::Trajectory, "candidate inserted an extra turn", 2, 0.1),
        divergence(STRUCTURAL, Axis::Trajectory, "candidate inserted an extra turn", 1, 1.0),
        divergence(STRUCTURAL, Axis::Trajectory, "candidate inserted an extra turn", 4, 0.05),
    };
    std::vector<Recommendation> entries = assemble_recommendations(graded, found);
    CHECK_EQ(entries.size(), 8u);
    std::vector<std::pair<double, uint64_t>> order;
    for (const Recommendation& entry : entries) {
        CHECK(entry.severity == RecommendationSeverity::Error);
        order.push_back({entry.confidence, entry.turn});
    }
    // Hints come first among equals (turn 0 and listed earlier), then ascending turns.
    CHECK(order == (std::vector<std::pair<double, uint64_t>>{
                       {1.0, 1}, {0.78, 0}, {0.78, 0}, {0.78, 5}, {0.75, 0}, {0.72, 0}, {0.68, 0}, {0.1, 2}}));
    CHECK_EQ(entries[1].message, TOOL_SCHEMA);
    CHECK(entries[2].action == Action::Review && entries[2].message.starts_with("Review unexpected addition at turn 0"));
}

TEST(parses_as_json_with_fences) {
    CHECK(parses_as_json("```json\n{\"a\": 1}\n```"));
    CHECK(parses_as_json("```\n{\"a\": 1}\n```"));
    CHECK(parses_as_json("  [1, 2]\u2003"));
    CHECK(parses_as_json("```json {\"a\": 1}``````"));
    CHECK(!parses_as_json("```JSON\n{\"a\": 1}\n```"));
    CHECK(!parses_as_json("```"));
    CHECK(!parses_as_json(""));
    CHECK(!parses_as_json(" \n "));
    CHECK(!parses_as_json("```json\n{\"a\": 1}\n``` and more"));
    CHECK(!parses_as_json("```json\n{\"a\": 1}\n```x"));
    CHECK(!parses_as_json("{\"a\": 1} ```"));
}

TEST(refusal_tests) {
    CHECK(is_refusal(record(R"({"stop_reason":"refusal","content":[{"type":"text","text":"Sure."}]})")));
    CHECK(is_refusal(record(R"({"stop_reason":"content_filter"})")));
    CHECK(is_refusal(record(R"({"content":[{"type":"text","text":"Sorry, I'M UNABLE to do that."}]})")));
    CHECK(is_refusal(record(R"({"content":[{"type":"text","text":"I WON'T"}]})")));
    CHECK(!is_refusal(record(R"({"content":[{"type":"text","text":"I won\u2019t"}]})")));
    CHECK(!is_refusal(record(R"({"content":[{"type":"text","text":"i can't"},{"type":"text","text":"help"}]})")));
    CHECK(!is_refusal(record(R"({"stop_reason":"Refusal"})")));
    CHECK_EQ(drill_down_response_text(record(R"({"content":[{"type":"text","text":"a"},{"type":"tool_use"},
                                                            {"type":"text","text":5},{"type":"text","text":"b"}]})")),
             std::string("a\nb"));
}
