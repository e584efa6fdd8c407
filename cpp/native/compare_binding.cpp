// `velkin._native.compare_runs`: converts the runs with the interpreter lock
// held, compares them with the lock released, and exports the suite report.
#include <cmath>
#include <string>
#include <vector>

#include "compare/compare.hpp"
#include "diff/response.hpp"
#include "native/binding.hpp"
#include "native/compare_binding.hpp"
#include "python/args.hpp"
#include "python/convert.hpp"
#include "python/errors.hpp"
#include "python/export.hpp"
#include "python/result_dict.hpp"
#include "python/strings.hpp"

namespace velkin::native {

namespace {

using python::checked;
using python::PythonErrorSet;
using python::Ref;

using Dict = python::ResultDict<python::OnFailure::Raise>;

template <class Item, class Convert>
Ref list_of(const std::vector<Item>& items, Convert convert) {
    return python::list_of<python::OnFailure::Raise>(items, convert);
}

Ref str_of(const std::string& text) { return checked(python::new_str(text)); }

Ref optional_float(const std::optional<double>& value) {
    if (!value || !std::isfinite(*value)) return Ref::borrow(Py_None);
    return checked(PyFloat_FromDouble(*value));
}

void set_test(Dict& dict, const compare::Test& test) {
    dict.set("calibrated", test.calibrated)
        .set_float("p_value", test.p_value)
        .set_float("p_adjusted", test.p_adjusted)
        .set("significant", test.significant);
}

Ref axis_dict(const compare::AxisResult& axis) {
    Dict dict(python::export_axis_stat(axis.stat));
    dict.set("label", compare::axis_label(axis.stat.axis));
    set_test(dict, axis.test);
    return dict.take();
}

Ref signature_dict(const compare::SignatureResult& signature) {
    Dict dict;
    dict.set("kind", compare::signature_name(signature.signature))
        .set("conversations", signature.conversations)
        .set_float("candidate_rate", signature.candidate_rate)
        .set_float("baseline_rate", signature.baseline_rate);
    set_test(dict, signature.test);
    dict.set("subjects", list_of(signature.subjects, [](const auto& subject) {
        return Dict().set("name", subject.first).set("conversations", subject.second).take();
    }));
    return dict.take();
}

Ref outcome_dict(const compare::OutcomeResult& outcome) {
    Dict dict;
    dict.set("member", outcome.member)
        .set("n", outcome.n)
        .set_float("baseline_mean", outcome.baseline_mean)
        .set_float("candidate_mean", outcome.candidate_mean)
        .set_float("delta", outcome.delta)
        .set_float("ci95_low", outcome.ci95_low)
        .set_float("ci95_high", outcome.ci95_high);
    set_test(dict, outcome.test);
    dict.set("lost", list_of(outcome.lost, str_of));
    return dict.take();
}

Ref finding_dict(const compare::Finding& finding) {
    return Dict()
        .set("kind", finding.kind)
        .set("severity", compare::level_name(finding.severity))
        .set("explanation", finding.explanation)
        .set("baseline_turn", finding.baseline_turn)
        .set("candidate_turn", finding.candidate_turn)
        .set("candidate_run", static_cast<uint64_t>(finding.candidate_run))
        .take();
}

Ref run_numbers(const std::vector<uint32_t>& runs) {
    return list_of(runs, [](uint32_t run) { return checked(PyLong_FromUnsignedLong(run)); });
}

Ref conversation_dict(const compare::ConversationResult& conversation) {
    return Dict()
        .set("key", conversation.key)
        .set("status", compare::status_name(conversation.status))
        .set("baseline_ids", list_of(conversation.baseline_ids, str_of))
        .set("candidate_ids", list_of(conversation.candidate_ids, str_of))
        .set("baseline_runs", run_numbers(conversation.baseline_runs))
        .set("candidate_runs", run_numbers(conversation.candidate_runs))
        .set("baseline_outcomes", list_of(conversation.baseline_outcomes, optional_float))
        .set("candidate_outcomes", list_of(conversation.candidate_outcomes, optional_float))
        .set("regressed", conversation.regressed)
        .set("findings", list_of(conversation.findings, finding_dict))
        .take();
}

Ref report_dict(const compare::SuiteReport& report) {
    Dict dict;
    dict.set("verdict", compare::verdict(report))
        .set("calibrated", report.calibrated)
        .set("seed", report.seed)
        .set("baseline_runs", static_cast<uint64_t>(report.baseline_runs))
        .set("candidate_runs", static_cast<uint64_t>(report.candidate_runs))
        .set("key", Dict()
                        .set("source", compare::key_source_name(report.key_source))
                        .set("member", report.key_source == compare::KeySource::Member
                                           ? str_of(report.key_member)
                                           : Ref::borrow(Py_None))
                        .take())
        .set("paired", report.paired)
        .set("baseline_only", report.baseline_only)
        .set("candidate_only", report.candidate_only)
        .set("relabellings", report.relabellings)
        .set("correction", std::string_view("westfall-young step-down minP"))
        .set("axes", list_of(report.axes, axis_dict))
        .set("signatures", list_of(report.signatures, signature_dict))
        .set("outcome", report.outcome ? outcome_dict(*report.outcome) : Ref::borrow(Py_None))
        .set("conversations", list_of(report.conversations, conversation_dict))
        .set("recommendations", list_of(report.recommendations, [](const compare::Advice& advice) {
                 return Dict()
                     .set("severity", compare::level_name(advice.severity))
                     .set("message", advice.message)
                     .take();
             }));
    return dict.take();
}

std::optional<std::string> optional_text(PyObject* object, const char* name) {
    if (!object || object == Py_None) return std::nullopt;
    if (!PyUnicode_Check(object)) {
        PyErr_Format(PyExc_TypeError, "argument '%s': expected str or None, got %s", name, Py_TYPE(object)->tp_name);
        throw PythonErrorSet{};
    }
    return python::utf8_lossy(object);
}

// The comparison reads the payloads of metadata and responses, and of requests
// only to pair conversations by their first one; the others (tool results
// above all) are dropped as soon as they are checked.
bool payload_read(agentlog::Kind kind, bool requests_read) {
    return kind == agentlog::Kind::Metadata || kind == agentlog::Kind::ChatResponse ||
           (requests_read && kind == agentlog::Kind::ChatRequest);
}

// Of the envelope the comparison reads the kind, id, parent and meta; of a
// response's payload only what the engine's view of a response reads.
void keep_what_is_read(agentlog::Record& record, bool requests_read) {
    if (record.kind == agentlog::Kind::ChatResponse) {
        std::optional<std::string> parent = std::move(record.parent);
        diff::retain_report_members(record);
        record.parent = std::move(parent);
        return;
    }
    record.version = std::string();
    record.ts = std::string();
    if (!payload_read(record.kind, requests_read)) record.payload = nullptr;
}

std::vector<compare::Run> runs_of(PyObject* runs, const char* name, bool requests_read) {
    python::require_list(runs, name);
    std::vector<compare::Run> converted;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(runs); ++i) {
        Ref run = Ref::borrow(PyList_GET_ITEM(runs, i));
        if (!PyList_Check(run.get())) {
            PyErr_Format(PyExc_TypeError, "argument '%s': run %zd is a '%s', expected a list of records", name,
                         i + 1, Py_TYPE(run.get())->tp_name);
            throw PythonErrorSet{};
        }
        compare::Run records;
        records.reserve(static_cast<size_t>(PyList_GET_SIZE(run.get())));
        for (Py_ssize_t j = 0; j < PyList_GET_SIZE(run.get()); ++j) {
            Ref item = Ref::borrow(PyList_GET_ITEM(run.get(), j));
            Result<agentlog::Record> record = python::to_record(item.get());
            if (!record)
                python::throw_value_error(std::string(name) + " run " + std::to_string(i + 1) + ", record " +
                                          std::to_string(j + 1) + ": " + record.error().message);
            records.push_back(std::move(record).value());
            keep_what_is_read(records.back(), requests_read);
        }
        converted.push_back(std::move(records));
    }
    return converted;
}

}  // namespace

PyObject* compare_runs(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return python::guarded([&] {
        static const char* const parameters[] = {"baseline", "candidate", "key", "outcome", "pricing", "seed",
                                                 "threads"};
        std::array<PyObject*, 7> bound{};
        python::bind_arguments(python::Signature{"compare_runs", parameters, 2}, args, nargs, kwnames, bound);
        auto [baseline_arg, candidate_arg, key_arg, outcome_arg, pricing_arg, seed_arg, threads_arg] = bound;

        compare::Options options;
        options.key_member = optional_text(key_arg, "key");
        options.outcome_member = optional_text(outcome_arg, "outcome");
        Result<diff::PricingTable> pricing = python::read_pricing(pricing_arg);
        if (!pricing) python::throw_value_error(pricing.error().message);
        options.pricing = std::move(pricing).value();
        options.seed = python::convert_seed(seed_arg, "seed").value_or(0);
        if (threads_arg && threads_arg != Py_None) {
            unsigned long threads = PyLong_AsUnsignedLong(threads_arg);
            if (threads == static_cast<unsigned long>(-1) && PyErr_Occurred()) throw PythonErrorSet{};
            options.threads = static_cast<unsigned>(threads);
        }
        bool requests_read = !options.key_member;
        std::vector<compare::Run> baseline = runs_of(baseline_arg, "baseline", requests_read);
        std::vector<compare::Run> candidate = runs_of(candidate_arg, "candidate", requests_read);

        std::optional<Result<compare::SuiteReport>> compared;
        {
            LockReleased released;
            compared.emplace(compare::compare_runs(std::move(baseline), std::move(candidate), options));
        }
        if (!*compared) python::throw_value_error(compared->error().message);
        return report_dict(compared->value()).release();
    });
}

}  // namespace velkin::native
