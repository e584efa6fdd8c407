// The extension module `velkin._core`: its definition, the six functions and
// their adapters from Python arguments to the core and back.
#include <array>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "agentlog/canonical.hpp"
#include "agentlog/parser.hpp"
#include "diff/diff.hpp"
#include "diff/embedder.hpp"
#include "python/args.hpp"
#include "python/collector.hpp"
#include "python/convert.hpp"
#include "python/embedder.hpp"
#include "python/errors.hpp"
#include "python/export.hpp"
#include "python/log_writer.hpp"
#include "python/module_state.hpp"
#include "python/plain_writers.hpp"
#include "python/py_sink.hpp"

namespace velkin::python {

namespace {

template <class T>
T value_or_raise(Result<T>&& result) {
    if (!result) throw_value_error(result.error().message);
    return std::move(result).value();
}

template <size_t N>
std::array<PyObject*, N> bind_arguments(const char* function, const std::array<const char*, N>& parameters,
                                        size_t required, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, N> bound{};
    bind_arguments(Signature{function, parameters, required}, args, nargs, kwnames, bound);
    return bound;
}

Ref bytes_of(std::string_view data) {
    return checked(PyBytes_FromStringAndSize(data.data(), static_cast<Py_ssize_t>(data.size())));
}

PyObject* parse_agentlog(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        auto [data] = bind_arguments("parse_agentlog", std::array{"data"}, 1, args, nargs, kwnames);
        require_bytes(data, "data");
        CollectorPaused paused;
        std::string_view input(PyBytes_AS_STRING(data), static_cast<size_t>(PyBytes_GET_SIZE(data)));

        PySink sink;
        RecordDicts dicts;
        agentlog::RecordLines<PySink> lines(agentlog::Parser{}, input, sink);
        agentlog::BasicRecord<Ref> record;
        agentlog::ParseError error;
        Ref list = checked(PyList_New(0));
        for (;;) {
            auto step = lines.next(record, error);
            if (step == agentlog::RecordLines<PySink>::Step::End) break;
            if (step == agentlog::RecordLines<PySink>::Step::Error) throw_value_error(error.message());
            Ref dict = dicts.build(std::move(record));
            if (PyList_Append(list.get(), dict.get()) < 0) throw PythonErrorSet{};
        }
        return list.release();
    });
}

PyObject* write_agentlog(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        auto [records] = bind_arguments("write_agentlog", std::array{"records"}, 1, args, nargs, kwnames);
        require_list(records, "records");
        return value_or_raise(write_record_lines(records)).release();
    });
}

// Most payloads fit without the buffer growing.
constexpr size_t CANONICAL_INITIAL_CAPACITY = 1024;

std::string canonical_of(PyObject* payload) {
    std::string out;
    out.reserve(CANONICAL_INITIAL_CAPACITY);
    if (write_plain_canonical(payload, out)) return out;
    out.clear();
    json::Value value = value_or_raise(to_json(payload));
    agentlog::write_value(value, out);
    return out;
}

PyObject* canonical_bytes(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        auto [payload] = bind_arguments("canonical_bytes", std::array{"payload"}, 1, args, nargs, kwnames);
        return bytes_of(canonical_of(payload)).release();
    });
}

PyObject* content_id(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        auto [payload] = bind_arguments("content_id", std::array{"payload"}, 1, args, nargs, kwnames);
        std::string id = agentlog::content_id_of(canonical_of(payload));
        return checked(PyUnicode_FromStringAndSize(id.data(), static_cast<Py_ssize_t>(id.size()))).release();
    });
}

PyObject* compute_diff_report(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        auto [baseline, candidate, pricing, seed_arg] = bind_arguments(
            "compute_diff_report", std::array{"baseline", "candidate", "pricing", "seed"}, 2, args, nargs, kwnames);
        require_list(baseline, "baseline");
        require_list(candidate, "candidate");
        if (pricing && pricing != Py_None) require_dict(pricing, "pricing");
        diff::Seed seed = convert_seed(seed_arg, "seed");

        diff::ReportSide baseline_side = value_or_raise(pylist_to_report_side(baseline));
        diff::ReportSide candidate_side = value_or_raise(pylist_to_report_side(candidate));
        diff::PricingTable table = value_or_raise(read_pricing(pricing));
        diff::DiffReport report = diff::compute_report(
            std::move(baseline_side.responses), std::move(candidate_side.responses), std::move(baseline_side.trace_id),
            std::move(candidate_side.trace_id), table, seed);
        return export_report(report).release();
    });
}

PyObject* compute_semantic_axis_with_embedder(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        auto [baseline, candidate, embedder, seed_arg] = bind_arguments(
            "compute_semantic_axis_with_embedder", std::array{"baseline", "candidate", "embedder", "seed"}, 3, args,
            nargs, kwnames);
        require_list(baseline, "baseline");
        require_list(candidate, "candidate");
        diff::Seed seed = convert_seed(seed_arg, "seed");

        std::vector<agentlog::Record> baseline_records = value_or_raise(pylist_to_records(baseline));
        std::vector<agentlog::Record> candidate_records = value_or_raise(pylist_to_records(candidate));
        if (!PyCallable_Check(embedder))
            throw_value_error("embedder must be callable: fn(list[str]) -> list[list[float]]");
        BoxedEmbedder boxed(embedder);
        diff::AxisStat stat = diff::compute_semantic_axis_with_embedder(baseline_records, candidate_records, boxed,
                                                                        seed);
        return export_axis_stat(stat).release();
    });
}

template <auto Function>
constexpr PyCFunction fastcall() {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(Function));
}

constexpr int FASTCALL_KEYWORDS = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef FUNCTIONS[] = {
    {"parse_agentlog", fastcall<parse_agentlog>(), FASTCALL_KEYWORDS,
     "parse_agentlog(data)\n--\n\n"
     "Parse a `.agentlog` byte blob into a list of record dicts."},
    {"write_agentlog", fastcall<write_agentlog>(), FASTCALL_KEYWORDS,
     "write_agentlog(records)\n--\n\n"
     "Serialize a list of record dicts into `.agentlog` bytes."},
    {"canonical_bytes", fastcall<canonical_bytes>(), FASTCALL_KEYWORDS,
     "canonical_bytes(payload)\n--\n\n"
     "Canonical-JSON byte sequence for a payload (SPEC §5)."},
    {"content_id", fastcall<content_id>(), FASTCALL_KEYWORDS,
     "content_id(payload)\n--\n\n"
     "Content id for a payload dict (SPEC §6)."},
    {"compute_diff_report", fastcall<compute_diff_report>(), FASTCALL_KEYWORDS,
     "compute_diff_report(baseline, candidate, pricing=None, seed=None)\n--\n\n"
     "Compute a nine-axis diff between two traces.\n"
     "\n"
     "`baseline` and `candidate` are lists of record dicts (as produced by\n"
     "[`parse_agentlog`]). `pricing` is a `dict[str, tuple[float, float]]`\n"
     "mapping model name → (price_per_input_token, price_per_output_token).\n"
     "`seed` is an optional RNG seed for reproducible bootstrap CIs."},
    {"compute_semantic_axis_with_embedder", fastcall<compute_semantic_axis_with_embedder>(), FASTCALL_KEYWORDS,
     "compute_semantic_axis_with_embedder(baseline, candidate, embedder, seed=None)\n--\n\n"
     "Compute the semantic axis using a Python-supplied embedder callable.\n"
     "\n"
     "The callable receives a `list[str]` of texts and must return a\n"
     "`list[list[float]]` of equal-length dense vectors. Typical wiring:\n"
     "\n"
     "```python\n"
     "from sentence_transformers import SentenceTransformer\n"
     "model = SentenceTransformer(\"all-MiniLM-L6-v2\")\n"
     "def embed(texts: list[str]) -> list[list[float]]:\n"
     "    return model.encode(texts).tolist()\n"
     "velkin._core.compute_semantic_axis_with_embedder(baseline, candidate, embed, seed=42)\n"
     "```\n"
     "\n"
     "Returns the AxisStat as a dict (same shape the diff report uses)."},
    {nullptr, nullptr, 0, nullptr},
};

ModuleState* state_of(PyObject* module) { return static_cast<ModuleState*>(PyModule_GetState(module)); }

int traverse_state(PyObject* module, visitproc visit, void* arg) {
    ModuleState* state = state_of(module);
    return state ? state->traverse(visit, arg) : 0;
}

int clear_state(PyObject* module) {
    if (ModuleState* state = state_of(module)) state->clear();
    return 0;
}

// Reached only when the initialisation failed; the module is kept for the process otherwise.
void free_state(void* module) {
    ModuleState* state = state_of(static_cast<PyObject*>(module));
    if (!state) return;
    if (module_state() == state) use_module_state(nullptr);
    state->~ModuleState();
}

PyModuleDef MODULE = {
    PyModuleDef_HEAD_INIT,
    "_core",
    "The entry point the Python interpreter calls when `velkin._core` is\n"
    "imported. Registers every function above.",
    sizeof(ModuleState),
    nullptr,
    nullptr,
    traverse_state,
    clear_state,
    free_state,
};

// The module is made once per process, in the first interpreter that imports it.
PyObject* the_module = nullptr;
PyInterpreterState* home_interpreter = nullptr;

PyObject* init_module() {
    PyInterpreterState* current = PyInterpreterState_Get();
    if (the_module) {
        if (current != home_interpreter) {
            PyErr_SetString(PyExc_ImportError,
                            "velkin._core does not support sub-interpreters: it is already loaded in another "
                            "interpreter of this process");
            return nullptr;
        }
        return Ref::borrow(the_module).release();
    }
    Ref module = checked(PyModule_Create(&MODULE));
    // The interpreter zeroes the state's memory; the state is built in it.
    use_module_state(new (PyModule_GetState(module.get())) ModuleState());
    if (PyModule_AddStringConstant(module.get(), "__version__", VELKIN_VERSION) < 0) throw PythonErrorSet{};
    if (PyModule_AddStringConstant(module.get(), "SPEC_VERSION", "0.1") < 0) throw PythonErrorSet{};
    if (PyModule_AddFunctions(module.get(), FUNCTIONS) < 0) throw PythonErrorSet{};
    the_module = Ref::borrow(module.get()).release();
    home_interpreter = current;
    return module.release();
}

}  // namespace

}  // namespace velkin::python

PyMODINIT_FUNC PyInit__core() { return velkin::python::guarded(velkin::python::init_module); }
