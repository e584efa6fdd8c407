#pragma once
// The run comparison's document: the dict `velkin._native.compare_runs`
// returns and the JSON text `velkin compare --json` prints, one shape for both.
#include <algorithm>
#include <string_view>

#include "compare/compare.hpp"
#include "compare/engine.hpp"
#include "python/document.hpp"

namespace velkin::native {

inline constexpr std::string_view VERSION = VELKIN_VERSION;

// Which conversations the document lists, with which findings: all of both;
// only those that regressed, which are all that the command's gate reads; or
// all, with the findings of those that regressed or improved alone, which are
// all that the text, Markdown and JUnit reports show (an error makes its
// conversation regressed).
enum class Listed : uint8_t { All, Regressed, ChangedFindings };

namespace suite {

using python::member;
using python::object;
using python::put_list;

inline std::optional<std::string_view> direction_name(const std::optional<compare::Direction>& direction) {
    if (!direction) return std::nullopt;
    return compare::direction_name(*direction);
}

template <class Sink>
void test_members(Sink& sink, const compare::Test& test) {
    member(sink, "calibrated", test.calibrated);
    member(sink, "p_value", test.p_value);
    member(sink, "p_adjusted", test.p_adjusted);
    member(sink, "p_mc_error", test.mc_error);
    member(sink, "significant", test.significant);
    member(sink, "direction", direction_name(test.direction));
}

template <class Sink>
void axis(Sink& sink, const compare::AxisResult& axis) {
    object([&](Sink& into) {
        python::axis_stat_members(into, axis.stat);
        member(into, "label", compare::axis_label(axis.stat.axis));
        test_members(into, axis.test);
        member(into, "descriptive", axis.descriptive);
        if (axis.stat.axis == compare::Axis::Cost) member(into, "priced", axis.priced);
    })(sink);
}

template <class Sink>
void signature(Sink& sink, const compare::SignatureResult& signature) {
    object([&](Sink& into) {
        member(into, "kind", compare::signature_name(signature.signature));
        member(into, "conversations", signature.conversations);
        member(into, "candidate_rate", signature.candidate_rate);
        member(into, "baseline_rate", signature.baseline_rate);
        test_members(into, signature.test);
        member(into, "descriptive", signature.descriptive);
        member(into, "subjects", [&](Sink& list) {
            put_list(list, signature.subjects, [](Sink& subjects, const auto& subject) {
                object([&](Sink& one) {
                    member(one, "name", subject.first);
                    member(one, "conversations", subject.second);
                })(subjects);
            });
        });
    })(sink);
}

template <class Sink>
void outcome(Sink& sink, const compare::OutcomeResult& outcome) {
    object([&](Sink& into) {
        member(into, "member", outcome.member);
        member(into, "n", outcome.n);
        member(into, "baseline_mean", outcome.baseline_mean);
        member(into, "candidate_mean", outcome.candidate_mean);
        member(into, "delta", outcome.delta);
        member(into, "ci95_low", outcome.ci95_low);
        member(into, "ci95_high", outcome.ci95_high);
        test_members(into, outcome.test);
        member(into, "lost", outcome.lost);
        member(into, "gained", outcome.gained);
    })(sink);
}

template <class Sink>
void finding(Sink& sink, const compare::Finding& finding) {
    std::optional<compare::Direction> direction = finding.outcome;
    if (finding.signature) direction = compare::signature_direction(*finding.signature);
    object([&](Sink& into) {
        member(into, "kind", finding.kind);
        member(into, "severity", compare::level_name(finding.severity));
        member(into, "explanation", finding.explanation);
        member(into, "baseline_turn", finding.baseline_turn);
        member(into, "candidate_turn", finding.candidate_turn);
        member(into, "candidate_run", finding.candidate_run);
        member(into, "subject", finding.subject);
        member(into, "direction", direction_name(direction));
    })(sink);
}

// A conversation with the findings `kept` keeps.
template <class Sink, class Kept>
void conversation(Sink& sink, const compare::ConversationResult& conversation, Kept kept) {
    object([&](Sink& into) {
        member(into, "key", conversation.key);
        member(into, "status", compare::status_name(conversation.status));
        member(into, "baseline_ids", conversation.baseline_ids);
        member(into, "candidate_ids", conversation.candidate_ids);
        member(into, "baseline_runs", conversation.baseline_runs);
        member(into, "candidate_runs", conversation.candidate_runs);
        member(into, "baseline_outcomes", conversation.baseline_outcomes);
        member(into, "candidate_outcomes", conversation.candidate_outcomes);
        member(into, "regressed", conversation.regressed);
        member(into, "improved", conversation.improved);
        member(into, "findings", [&](Sink& list) {
            const std::vector<compare::Finding>& findings = conversation.findings;
            list.begin_array(static_cast<size_t>(std::count_if(findings.begin(), findings.end(), kept)));
            for (const compare::Finding& one : findings) {
                if (kept(one)) finding(list, one);
            }
            list.end_array();
        });
    })(sink);
}

template <class Sink>
void conversation(Sink& sink, const compare::ConversationResult& conversation) {
    suite::conversation(sink, conversation, [](const compare::Finding&) { return true; });
}

template <class Sink>
void conversations(Sink& sink, const std::vector<compare::ConversationResult>& all, Listed listed) {
    if (listed == Listed::All) return put_list(sink, all, conversation<Sink>);
    if (listed == Listed::ChangedFindings) {
        return put_list(sink, all, [](Sink& list, const compare::ConversationResult& c) {
            if (c.regressed || c.improved) return conversation(list, c);
            conversation(list, c, [](const compare::Finding&) { return false; });
        });
    }
    const auto regressed = [](const compare::ConversationResult& c) { return c.regressed; };
    sink.begin_array(static_cast<size_t>(std::count_if(all.begin(), all.end(), regressed)));
    for (const compare::ConversationResult& c : all) {
        if (regressed(c)) conversation(sink, c);
    }
    sink.end_array();
}

template <class Sink>
void model_uses(Sink& sink, const std::vector<compare::ModelUse>& uses) {
    put_list(sink, uses, [](Sink& list, const compare::ModelUse& use) {
        object([&](Sink& into) {
            member(into, "model", use.model);
            member(into, "responses", use.responses);
        })(list);
    });
}

}  // namespace suite

// `write_conversations(sink)` writes the list of conversations.
template <class Sink, class WriteConversations>
void suite_document(Sink& sink, const compare::SuiteReport& report, WriteConversations&& write_conversations) {
    using python::member;
    using python::object;
    using python::put_list;
    object([&](Sink& into) {
        member(into, "version", VERSION);
        member(into, "verdict", compare::verdict_name(report.verdict));
        member(into, "calibrated", report.calibrated);
        member(into, "calibration", compare::reference_name(report.reference));
        member(into, "exact", report.exact);
        member(into, "seed", report.seed);
        member(into, "baseline_runs", report.baseline_runs);
        member(into, "candidate_runs", report.candidate_runs);
        member(into, "key", object([&](Sink& key) {
                   member(key, "source", compare::key_source_name(report.key_source));
                   member(key, "member",
                          report.key_source == compare::KeySource::Member
                              ? std::optional<std::string_view>(report.key_member)
                              : std::nullopt);
               }));
        member(into, "paired", report.paired);
        member(into, "baseline_only", report.baseline_only);
        member(into, "candidate_only", report.candidate_only);
        member(into, "relabellings", report.relabellings);
        member(into, "correction", std::string_view("westfall-young step-down minP"));
        member(into, "descriptive", report.descriptive);
        member(into, "calibrate_with_more_runs", report.more_runs);
        member(into, "models", object([&](Sink& models) {
                   member(models, "baseline", [&](Sink& list) { suite::model_uses(list, report.baseline_models); });
                   member(models, "candidate", [&](Sink& list) { suite::model_uses(list, report.candidate_models); });
                   member(models, "switched", report.model_switched);
               }));
        member(into, "pricing", object([&](Sink& pricing) {
                   member(pricing, "table", report.pricing_table);
                   member(pricing, "unpriced", [&](Sink& list) {
                       put_list(list, report.unpriced, [](Sink& models, const compare::Unpriced& model) {
                           object([&](Sink& one) {
                               member(one, "model", model.model);
                               member(one, "baseline", model.baseline);
                               member(one, "candidate", model.candidate);
                           })(models);
                       });
                   });
               }));
        member(into, "axes", [&](Sink& list) { put_list(list, report.axes, suite::axis<Sink>); });
        member(into, "signatures", [&](Sink& list) { put_list(list, report.signatures, suite::signature<Sink>); });
        member(into, "outcome",
               [&](Sink& value) { report.outcome ? suite::outcome(value, *report.outcome) : value.null(); });
        member(into, "conversations", write_conversations);
        member(into, "recommendations", [&](Sink& list) {
            put_list(list, report.recommendations, [](Sink& advice_list, const compare::Advice& advice) {
                object([&](Sink& one) {
                    member(one, "severity", compare::level_name(advice.severity));
                    member(one, "message", advice.message);
                })(advice_list);
            });
        });
    })(sink);
}

template <class Sink>
void suite_document(Sink& sink, const compare::SuiteReport& report, Listed listed) {
    suite_document(sink, report, [&](Sink& list) { suite::conversations(list, report.conversations, listed); });
}

}  // namespace velkin::native
