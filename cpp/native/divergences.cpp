// velkin._native.alignment: every step of the turn alignment of two traces,
// with the divergence the walk finds at that step and what changed between
// the two turns (tool calls, every argument value, stop reason, model). The
// report keeps only the five highest-ranked divergences; readers of a full
// report need all of them and the matched turns in between.
#include <algorithm>
#include <array>
#include <cmath>
#include <iterator>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "diff/alignment.hpp"
#include "diff/response.hpp"
#include "json/writer.hpp"
#include "native/binding.hpp"
#include "native/divergences.hpp"
#include "python/args.hpp"
#include "python/convert.hpp"
#include "python/errors.hpp"
#include "python/result_dict.hpp"

namespace velkin::native {

namespace {

using diff::Record;
using diff::Step;

struct ArgumentChange {
    std::string tool;
    std::optional<std::string> argument;  // absent when an input is not an object
    std::optional<std::string> baseline;  // compact JSON; absent when the argument is missing
    std::optional<std::string> candidate;
};

struct Change {
    std::string baseline;
    std::string candidate;
};

struct AlignedStep {
    Step step;
    std::optional<double> cost;  // matched turns only
    std::optional<diff::FirstDivergence> divergence;
    std::vector<std::string> tools_added;
    std::vector<std::string> tools_removed;
    std::vector<ArgumentChange> arguments;
    std::optional<Change> stop_reason;
    std::optional<Change> model;
};

std::vector<std::string> set_difference(const std::vector<std::string>& a, const std::vector<std::string>& b) {
    std::vector<std::string> out;
    std::set_difference(a.begin(), a.end(), b.begin(), b.end(), std::back_inserter(out));
    return out;
}

// Every changed argument of every tool both turns call, unlike the report's
// explanation, which names only the first.
std::vector<ArgumentChange> argument_changes(const diff::ToolCalls& baseline, const diff::ToolCalls& candidate) {
    std::vector<ArgumentChange> changes;
    std::vector<diff::FirstInput> candidate_inputs = diff::first_input_per_name(candidate);
    auto by_name = [](const diff::FirstInput& input, std::string_view name) { return input.name < name; };
    for (const diff::FirstInput& first : diff::first_input_per_name(baseline)) {
        auto found = std::lower_bound(candidate_inputs.begin(), candidate_inputs.end(), first.name, by_name);
        if (found == candidate_inputs.end() || found->name != first.name) continue;
        const json::Value& old_input = *first.input;
        const json::Value& new_input = *found->input;
        if (json::deep_equal(old_input, new_input)) continue;
        const std::string tool(first.name);
        const json::Object* old_members = old_input.as_object();
        const json::Object* new_members = new_input.as_object();
        if (!old_members || !new_members) {
            changes.push_back({tool, std::nullopt, json::to_compact(old_input), json::to_compact(new_input)});
            continue;
        }
        for (const json::Member& member : *old_members) {
            const json::Value* new_value = new_input.get(member.key);
            if (new_value && json::deep_equal(member.value, *new_value)) continue;
            changes.push_back({tool, member.key, json::to_compact(member.value),
                               new_value ? std::optional(json::to_compact(*new_value)) : std::nullopt});
        }
        for (const json::Member& member : *new_members) {
            if (!old_input.get(member.key))
                changes.push_back({tool, member.key, std::nullopt, json::to_compact(member.value)});
        }
    }
    return changes;
}

std::optional<Change> string_change(std::string_view baseline, std::string_view candidate) {
    if (baseline == candidate) return std::nullopt;
    return Change{std::string(baseline), std::string(candidate)};
}

std::string_view model_of(const diff::ResponseView& response) {
    return response.model ? std::string_view(*response.model) : std::string_view();
}

AlignedStep describe_match(const Step& step, diff::AlignedTurns& turns, const diff::ResponseView& baseline,
                           const diff::ResponseView& candidate) {
    AlignedStep out;
    out.step = step;
    out.cost = turns.pair_cost(step.baseline, step.candidate);
    std::vector<std::string> old_shape = diff::distinct_key_shapes(baseline.tool_calls);
    std::vector<std::string> new_shape = diff::distinct_key_shapes(candidate.tool_calls);
    out.tools_added = set_difference(new_shape, old_shape);
    out.tools_removed = set_difference(old_shape, new_shape);
    out.arguments = argument_changes(baseline.tool_calls, candidate.tool_calls);
    out.stop_reason = string_change(baseline.stop_reason, candidate.stop_reason);
    out.model = string_change(model_of(baseline), model_of(candidate));
    return out;
}

std::vector<AlignedStep> aligned_steps(const std::vector<Record>& baseline_records,
                                       const std::vector<Record>& candidate_records) {
    diff::Responses baseline = diff::select_responses(baseline_records);
    diff::Responses candidate = diff::select_responses(candidate_records);
    std::vector<AlignedStep> steps;
    if (baseline.empty()) return steps;  // the report finds no divergence either
    diff::AlignedTurns turns = diff::turn_features(baseline, candidate);
    std::vector<Step> path = diff::align(turns);
    std::vector<diff::FirstDivergence> found = diff::walk_collecting(path, turns, baseline, candidate,
                                                                     baseline.size() + candidate.size());
    // The walk records one divergence per dropped or inserted turn and one per
    // matched pair above the threshold, in path order.
    auto next = found.begin();
    steps.reserve(path.size());
    for (const Step& step : path) {
        AlignedStep out;
        out.step = step;
        switch (step.kind) {
            case Step::Kind::Match:
                out = describe_match(step, turns, baseline[step.baseline], candidate[step.candidate]);
                break;
            case Step::Kind::Delete:
                out.tools_removed = diff::distinct_key_shapes(baseline[step.baseline].tool_calls);
                break;
            case Step::Kind::Insert:
                out.tools_added = diff::distinct_key_shapes(candidate[step.candidate].tool_calls);
                break;
        }
        bool diverges = step.kind != Step::Kind::Match || *out.cost > diff::DIVERGENCE_THRESHOLD;
        if (diverges && next != found.end()) out.divergence = *next++;
        steps.push_back(std::move(out));
    }
    return steps;
}

// ---- Python objects ---------------------------------------------------------

using python::checked;
using python::Ref;

Ref text(std::string_view value) {
    return checked(PyUnicode_DecodeUTF8(value.data(), static_cast<Py_ssize_t>(value.size()), "replace"));
}

Ref optional_text(const std::optional<std::string>& value) { return value ? text(*value) : Ref::borrow(Py_None); }

Ref integer(uint64_t value) { return checked(PyLong_FromUnsignedLongLong(value)); }

Ref number(double value) {
    // Non-finite numbers become None, as in the report.
    return std::abs(value) <= std::numeric_limits<double>::max() ? checked(PyFloat_FromDouble(value))
                                                                 : Ref::borrow(Py_None);
}

using Dict = python::ResultDict<python::OnFailure::Raise>;

Ref list_of(const std::vector<std::string>& names) {
    Ref out = checked(PyList_New(static_cast<Py_ssize_t>(names.size())));
    for (size_t i = 0; i < names.size(); ++i) PyList_SET_ITEM(out.get(), i, text(names[i]).release());
    return out;
}

Ref change_object(const std::optional<Change>& change) {
    if (!change) return Ref::borrow(Py_None);
    return Dict().set("baseline", text(change->baseline)).set("candidate", text(change->candidate)).take();
}

Ref divergence_object(const std::optional<diff::FirstDivergence>& d) {
    if (!d) return Ref::borrow(Py_None);
    return Dict()
        .set("baseline_turn", integer(d->baseline_turn))
        .set("candidate_turn", integer(d->candidate_turn))
        .set("kind", text(diff::divergence_kind_name(d->kind)))
        .set("primary_axis", text(diff::axis_name(d->primary_axis)))
        .set("explanation", text(d->explanation))
        .set("confidence", number(d->confidence))
        .take();
}

Ref arguments_object(const std::vector<ArgumentChange>& changes) {
    Ref out = checked(PyList_New(static_cast<Py_ssize_t>(changes.size())));
    for (size_t i = 0; i < changes.size(); ++i) {
        const ArgumentChange& c = changes[i];
        Ref item = Dict()
                       .set("tool", text(c.tool))
                       .set("argument", optional_text(c.argument))
                       .set("baseline", optional_text(c.baseline))
                       .set("candidate", optional_text(c.candidate))
                       .take();
        PyList_SET_ITEM(out.get(), i, item.release());
    }
    return out;
}

std::string_view step_name(Step::Kind kind) {
    switch (kind) {
        case Step::Kind::Match: return "match";
        case Step::Kind::Insert: return "insert";
        case Step::Kind::Delete: return "delete";
    }
    return "match";
}

Ref step_object(const AlignedStep& s) {
    bool has_baseline = s.step.kind != Step::Kind::Insert;
    bool has_candidate = s.step.kind != Step::Kind::Delete;
    return Dict()
        .set("step", text(step_name(s.step.kind)))
        .set("baseline_turn", has_baseline ? integer(s.step.baseline) : Ref::borrow(Py_None))
        .set("candidate_turn", has_candidate ? integer(s.step.candidate) : Ref::borrow(Py_None))
        .set("cost", s.cost ? number(*s.cost) : Ref::borrow(Py_None))
        .set("divergence", divergence_object(s.divergence))
        .set("tools_added", list_of(s.tools_added))
        .set("tools_removed", list_of(s.tools_removed))
        .set("arguments", arguments_object(s.arguments))
        .set("stop_reason", change_object(s.stop_reason))
        .set("model", change_object(s.model))
        .take();
}

template <class T>
T value_or_raise(Result<T>&& result) {
    if (!result) python::throw_value_error(result.error().message);
    return std::move(result).value();
}

}  // namespace

PyObject* alignment(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return python::guarded([&] {
        constexpr std::array<const char*, 2> parameters{"baseline", "candidate"};
        std::array<PyObject*, 2> bound{};
        python::bind_arguments(python::Signature{"alignment", parameters, 2}, args, nargs, kwnames, bound);
        auto [baseline, candidate] = bound;
        python::require_list(baseline, "baseline");
        python::require_list(candidate, "candidate");
        std::vector<Record> baseline_records = value_or_raise(python::pylist_to_records(baseline));
        std::vector<Record> candidate_records = value_or_raise(python::pylist_to_records(candidate));
        std::vector<AlignedStep> steps;
        {
            LockReleased unlocked;
            steps = aligned_steps(baseline_records, candidate_records);
        }
        Ref out = checked(PyList_New(static_cast<Py_ssize_t>(steps.size())));
        for (size_t i = 0; i < steps.size(); ++i) PyList_SET_ITEM(out.get(), i, step_object(steps[i]).release());
        return out.release();
    });
}

}  // namespace velkin::native
