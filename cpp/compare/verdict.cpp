#include "compare/verdict.hpp"

#include <algorithm>
#include <cstdio>

#include "compare/wording.hpp"

namespace velkin::compare {

namespace {

std::string formatted(const char* format, double value) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, format, value);
    return buffer;
}

std::string adjusted_p_text(const Test& test) {
    std::string text = "adjusted p = " + formatted("%.3f", *test.p_adjusted);
    if (test.mc_error) text += " ± " + formatted("%.3f", *test.mc_error);
    return text;
}

std::string_view signature_title(Signature signature) {
    switch (signature) {
        case Signature::ToolDropped: return "A tool no longer called";
        case Signature::ToolAdded: return "A tool newly called";
        case Signature::CallsFewer: return "A tool called fewer times";
        case Signature::CallsMore: return "A tool called more times";
        case Signature::CallsReordered: return "Tool calls reordered";
        case Signature::ArgumentChanged: return "A tool argument changed";
        case Signature::NewRefusal: return "A new refusal";
        case Signature::LostRefusal: return "A refusal no longer given";
        case Signature::NewTruncation: return "A new truncation";
        case Signature::LostTruncation: return "A truncation no longer hit";
        case Signature::Pooled: return "A structural change of some kind (all signatures pooled)";
    }
    return "";
}

std::string subjects_text(const SignatureResult& signature) {
    std::string text;
    size_t shown = 0;
    for (const auto& [subject, count] : signature.subjects) {
        if (shown++ == 3) break;
        text += (text.empty() ? ": " : ", ") + quoted(subject) + " (" + std::to_string(count) + ")";
    }
    return text;
}

Level level_of(Direction direction) {
    switch (direction) {
        case Direction::Worse: return Level::Error;
        case Direction::Neutral: return Level::Warning;
        case Direction::Better: return Level::Info;
    }
    return Level::Info;
}

// A significant axis change the verdict reads: calibrated, and large enough
// to be graded moderate or severe.
bool counts(const AxisResult& axis) {
    return axis.test.significant && axis.test.direction && axis.stat.severity >= Severity::Moderate;
}

bool kind_significant(const SuiteReport& report) {
    return std::any_of(report.signatures.begin(), report.signatures.end() - 1,
                       [](const SignatureResult& s) { return s.test.significant; });
}

std::string model_list(const std::vector<ModelUse>& models) {
    std::string text;
    for (const ModelUse& use : models) {
        if (!text.empty()) text += ", ";
        text += (use.model.empty() ? std::string("(no model)") : quoted(use.model)) + " (" +
                std::to_string(use.responses) + " responses)";
    }
    return text;
}

// Hints that would read data these runs do not carry: a cost row without
// prices, "same model" when the model changed, a model change guessed from
// the axes when the runs name it.
bool hint_has_its_data(const Recommendation& hint, const SuiteReport& report) {
    auto says = [&](std::string_view words) {
        return hint.message.find(words) != std::string::npos || hint.rationale.find(words) != std::string::npos;
    };
    const AxisResult* cost = nullptr;
    for (const AxisResult& axis : report.axes) cost = axis.stat.axis == Axis::Cost ? &axis : cost;
    if ((!cost || !cost->priced) && (says("cost") || says("Cost"))) return false;
    if (report.model_switched &&
        (says("model change") || says("Same model") || says("system-prompt edit") || says("model unchanged")))
        return false;
    return true;
}

}  // namespace

std::optional<Direction> axis_direction(Axis axis, double delta) {
    switch (axis) {
        // Rows measuring how far the candidate is from the baseline: calibrated
        // against how far the baseline runs are from each other, the candidate
        // can only be farther; being nearer than a rerun is noise, not an improvement.
        case Axis::Semantic:
        case Axis::Conformance: return delta < 0 ? std::optional(Direction::Worse) : std::nullopt;
        // Another path through the tools is a change; whether it is worse, the outcome says.
        case Axis::Trajectory: return delta > 0 ? std::optional(Direction::Neutral) : std::nullopt;
        case Axis::Judge: return delta > 0 ? Direction::Better : Direction::Worse;
        case Axis::Safety:
        case Axis::Latency:
        case Axis::Cost: return delta > 0 ? Direction::Worse : Direction::Better;
        case Axis::Verbosity:
        case Axis::Reasoning: return Direction::Neutral;
    }
    return Direction::Neutral;
}

void grade_findings(SuiteReport& report, const StandsOut& stands_out) {
    // Only the pooled signature is significant: many changes, none frequent enough on its own.
    const bool diffuse = report.signatures.back().test.significant && !kind_significant(report);
    const Test* outcome = report.outcome ? &report.outcome->test : nullptr;
    for (ConversationResult& conversation : report.conversations) {
        for (Finding& finding : conversation.findings) {
            finding.severity = Level::Info;
            if (finding.signature) {
                const size_t s = static_cast<size_t>(*finding.signature);
                const Test& test = report.signatures[s].test;
                const Direction direction = signature_direction(*finding.signature);
                const bool shown_change = test.significant ? stands_out(s, finding.subject)
                                                           : diffuse && direction == Direction::Worse;
                if (shown_change) finding.severity = level_of(direction);
                conversation.improved = conversation.improved || (shown_change && direction == Direction::Better);
            } else if (finding.outcome && outcome && outcome->significant && outcome->direction == finding.outcome) {
                finding.severity = level_of(*finding.outcome);
                conversation.improved = conversation.improved || *finding.outcome == Direction::Better;
            }
            conversation.regressed = conversation.regressed || finding.severity == Level::Error;
        }
    }
}

Verdict verdict_of(const SuiteReport& report) {
    bool worse = false, better = false, neutral = report.model_switched;
    auto note = [&](Direction direction) {
        worse = worse || direction == Direction::Worse;
        better = better || direction == Direction::Better;
        neutral = neutral || direction == Direction::Neutral;
    };
    for (const SignatureResult& signature : report.signatures) {
        if (signature.test.significant) note(*signature.test.direction);
    }
    for (const AxisResult& axis : report.axes) {
        if (counts(axis)) note(*axis.test.direction);
    }
    if (report.outcome && report.outcome->test.significant) note(*report.outcome->test.direction);
    if (worse && better) return Verdict::Mixed;
    if (worse) return Verdict::Regressed;
    if (better) return Verdict::Improved;
    return neutral ? Verdict::Changed : Verdict::NoChange;
}

std::vector<Advice> advice_for(const SuiteReport& report, std::vector<Recommendation> hints) {
    std::vector<Advice> advice;
    const uint64_t n = report.paired;
    const std::string of_n = " of " + std::to_string(n) + " conversations";
    if (report.model_switched) {
        advice.push_back({Level::Info, "The model switched: baseline " + model_list(report.baseline_models) +
                                           ", candidate " + model_list(report.candidate_models) +
                                           ". The changes reported come with the new model; a switch alone is "
                                           "no regression."});
    }

    const std::string expected = report.reference == Reference::SignFlip ? " expected were the runs swapped"
                                                                         : " expected between baseline replicates";
    for (const SignatureResult& signature : report.signatures) {
        if (!signature.test.significant) continue;
        if (signature.signature == Signature::Pooled && kind_significant(report)) continue;
        advice.push_back({level_of(*signature.test.direction),
                          std::string(signature_title(signature.signature)) + " in " +
                              std::to_string(signature.conversations) + of_n + ", against " +
                              formatted("%.1f", *signature.baseline_rate * static_cast<double>(n)) + expected + " (" +
                              adjusted_p_text(signature.test) + ")" + subjects_text(signature) + "."});
    }
    if (report.outcome && report.outcome->test.significant) {
        const OutcomeResult& outcome = *report.outcome;
        const bool fell = outcome.test.direction == Direction::Worse;
        std::string moved = std::to_string((fell ? outcome.lost : outcome.gained).size()) +
                            (fell ? " conversation(s) every baseline run solves fail in the candidate."
                                  : " conversation(s) every baseline run fails the candidate solves.");
        advice.push_back(
            {level_of(*outcome.test.direction),
             "Outcome " + quoted(outcome.member) + (fell ? " fell" : " rose") + " from " +
                 formatted("%.1f", outcome.baseline_mean * 100) + "% to " +
                 formatted("%.1f", outcome.candidate_mean * 100) + "% (delta " + signed_three_decimals(outcome.delta) +
                 ", 95% interval [" + signed_three_decimals(outcome.ci95_low) + ", " +
                 signed_three_decimals(outcome.ci95_high) + "], " + adjusted_p_text(outcome.test) + "); " + moved});
    }
    for (const AxisResult& axis : report.axes) {
        if (!counts(axis)) continue;
        const Direction direction = *axis.test.direction;
        const std::string how = direction == Direction::Worse    ? " axis worsened"
                                : direction == Direction::Better ? " axis improved"
                                                                 : " axis shifted";
        const bool severe = axis.stat.severity == Severity::Severe;
        advice.push_back({level_of(direction),
                          (direction == Direction::Worse ? "Review the candidate: " : "") +
                              std::string(compare::axis_label(axis.stat.axis)) + how + " with severity " +
                              (severe ? "severe" : "moderate") + " (delta " + signed_three_decimals(axis.stat.delta) +
                              ", 95% interval [" + signed_three_decimals(axis.stat.ci95_low) + ", " +
                              signed_three_decimals(axis.stat.ci95_high) + "], " + adjusted_p_text(axis.test) + ")."});
    }
    // Hints explain significant changes; they are not evidence of their own.
    for (const Recommendation& hint : hints) {
        if (!hint_has_its_data(hint, report)) continue;
        advice.push_back({hint.severity == RecommendationSeverity::Info ? Level::Info : Level::Warning, hint.message});
    }
    if (report.baseline_only > 0) {
        advice.push_back({Level::Warning, std::to_string(report.baseline_only) +
                                              " conversation(s) appear only in the baseline runs: the candidate "
                                              "did not run them."});
    }
    if (report.candidate_only > 0) {
        advice.push_back({Level::Info, std::to_string(report.candidate_only) +
                                           " conversation(s) appear only in the candidate runs."});
    }
    std::stable_sort(advice.begin(), advice.end(),
                     [](const Advice& a, const Advice& b) { return a.severity < b.severity; });
    return advice;
}

}  // namespace velkin::compare
