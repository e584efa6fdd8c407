#include "python/export.hpp"

#include <cmath>
#include <string>
#include <string_view>

#include "python/dict_sink.hpp"
#include "python/document.hpp"
#include "python/errors.hpp"
#include "python/result_dict.hpp"
#include "python/strings.hpp"

namespace velkin::python {

namespace {

using Dict = ResultDict<OnFailure::Panic>;

template <class Item, class Convert>
Ref list_of(const std::vector<Item>& items, Convert convert) {
    return python::list_of<OnFailure::Panic>(items, convert);
}

Ref divergence_dict(const diff::FirstDivergence& divergence) {
    return Dict()
        .set("baseline_turn", divergence.baseline_turn)
        .set("candidate_turn", divergence.candidate_turn)
        .set("kind", diff::divergence_kind_name(divergence.kind))
        .set("primary_axis", diff::axis_name(divergence.primary_axis))
        .set("explanation", divergence.explanation)
        .set_float("confidence", divergence.confidence)
        .take();
}

Ref recommendation_dict(const diff::Recommendation& recommendation) {
    return Dict()
        .set("severity", diff::recommendation_severity_name(recommendation.severity))
        .set("action", diff::action_name(recommendation.action))
        .set("turn", recommendation.turn)
        .set("baseline_turn", recommendation.baseline_turn)
        .set("candidate_turn", recommendation.candidate_turn)
        .set("message", recommendation.message)
        .set("rationale", recommendation.rationale)
        .set("axis", diff::axis_name(recommendation.axis))
        .set_float("confidence", recommendation.confidence)
        .take();
}

Ref axis_score_dict(const diff::AxisScore& score) {
    return Dict()
        .set("axis", diff::axis_name(score.axis))
        .set_float("baseline_value", score.baseline_value)
        .set_float("candidate_value", score.candidate_value)
        .set_float("delta", score.delta)
        .set_float("normalized_delta", score.normalized_delta)
        .take();
}

Ref drilldown_dict(const diff::PairDrilldown& row) {
    return Dict()
        .set("pair_index", row.pair_index)
        .set("baseline_turn", row.baseline_turn)
        .set("candidate_turn", row.candidate_turn)
        .set("axis_scores", list_of(row.axis_scores, axis_score_dict))
        .set_float("regression_score", row.regression_score)
        .set("dominant_axis", diff::axis_name(row.dominant_axis))
        .take();
}

}  // namespace

Ref export_axis_stat(const diff::AxisStat& stat) {
    DictSink<OnFailure::Panic> dict;
    object([&](DictSink<OnFailure::Panic>& into) { axis_stat_members(into, stat); })(dict);
    return dict.take();
}

Ref export_report(const diff::DiffReport& report) {
    return Dict()
        .set("rows", list_of(report.rows, export_axis_stat))
        .set("baseline_trace_id", report.baseline_trace_id)
        .set("candidate_trace_id", report.candidate_trace_id)
        .set("pair_count", report.pair_count)
        .set("first_divergence",
             report.first_divergence ? divergence_dict(*report.first_divergence) : Ref::borrow(Py_None))
        .set("divergences", list_of(report.divergences, divergence_dict))
        .set("recommendations", list_of(report.recommendations, recommendation_dict))
        .set("drill_down", list_of(report.drill_down, drilldown_dict))
        .take();
}

PyObject* RecordDicts::key(agentlog::Field field) {
    Ref& slot = keys_[static_cast<size_t>(field)];
    if (!slot) slot = checked(PyUnicode_InternFromString(std::string(agentlog::field_name(field)).c_str()));
    return slot.get();
}

PyObject* RecordDicts::kind(agentlog::Kind kind) {
    Ref& slot = kinds_[static_cast<size_t>(kind)];
    if (!slot) slot = checked(new_str(agentlog::kind_name(kind)));
    return slot.get();
}

Ref RecordDicts::build(agentlog::BasicRecord<Ref>&& record) {
    Ref dict = checked(PyDict_New());
    using agentlog::Field;
    auto set = [&](Field field, PyObject* value) {
        if (PyDict_SetItem(dict.get(), key(field), value) < 0) throw PythonErrorSet{};
    };
    set(Field::Version, checked(new_str(record.version)).get());
    set(Field::Id, checked(new_str(record.id)).get());
    set(Field::Kind, kind(record.kind));
    set(Field::Ts, checked(new_str(record.ts)).get());
    set(Field::Parent, record.parent ? checked(new_str(*record.parent)).get() : Py_None);
    if (record.meta) set(Field::Meta, record.meta->get());
    set(Field::Payload, record.payload.get());
    return dict;
}

}  // namespace velkin::python
