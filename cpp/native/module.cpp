// The extension module `velkin._native`: the capabilities built around the
// core (importers, run comparison, full divergence walks). Unlike `velkin._core`
// its functions may release the interpreter lock while they work.
#include "native/binding.hpp"
#include "native/compare_binding.hpp"
#include "native/conversations_binding.hpp"
#include "native/divergences.hpp"
#include "native/import_binding.hpp"
#include "native/json_text.hpp"
#include "python/errors.hpp"
#include "python/module_state.hpp"
#include "python/refs.hpp"

namespace velkin::native {

namespace {

PyMethodDef FUNCTIONS[] = {
    {"import_traces", fastcall<import_traces>(), FASTCALL_KEYWORDS, IMPORT_TRACES_DOC},
    {"import_conversations", fastcall<import_conversations>(), FASTCALL_KEYWORDS, IMPORT_CONVERSATIONS_DOC},
    {"unreadable_trace", fastcall<unreadable_trace>(), FASTCALL_KEYWORDS, UNREADABLE_TRACE_DOC},
    {"detect_format", fastcall<detect_format>(), FASTCALL_KEYWORDS, DETECT_FORMAT_DOC},
    {"alignment", fastcall<alignment>(), FASTCALL_KEYWORDS, ALIGNMENT_DOC},
    {"compare_runs", fastcall<compare_runs>(), FASTCALL_KEYWORDS, COMPARE_RUNS_DOC},
    {"conversations", fastcall<conversations>(), FASTCALL_KEYWORDS, CONVERSATIONS_DOC},
    {"json_text", fastcall<json_text>(), FASTCALL_KEYWORDS, JSON_TEXT_DOC},
    {"json_utf8", fastcall<json_utf8>(), FASTCALL_KEYWORDS, JSON_UTF8_DOC},
    {nullptr, nullptr, 0, nullptr},
};

// `velkin._native` holds `velkin._core`, whose state both modules use.
PyObject** core_of(PyObject* module) { return static_cast<PyObject**>(PyModule_GetState(module)); }

int traverse_core(PyObject* module, visitproc visit, void* arg) {
    PyObject** core = core_of(module);
    if (core) Py_VISIT(*core);
    return 0;
}

int clear_core(PyObject* module) {
    if (PyObject** core = core_of(module)) Py_CLEAR(*core);
    return 0;
}

void free_core(void* module) { clear_core(static_cast<PyObject*>(module)); }

PyModuleDef MODULE = {
    PyModuleDef_HEAD_INIT, "_native",  "Native capabilities of velkin beside the core.",
    sizeof(PyObject*),     FUNCTIONS,  nullptr,
    traverse_core,         clear_core, free_core,
};

PyObject* init_module() {
    python::Ref core = python::checked(PyImport_ImportModule("velkin._core"));
    PyModuleDef* core_definition = PyModule_GetDef(core.get());
    if (!core_definition || core_definition->m_size != sizeof(python::ModuleState)) {
        PyErr_SetString(PyExc_ImportError, "velkin._native needs the velkin._core built with it");
        return nullptr;
    }
    python::Ref module = python::checked(PyModule_Create(&MODULE));
    python::use_module_state(static_cast<python::ModuleState*>(PyModule_GetState(core.get())));
    *core_of(module.get()) = core.release();
    return module.release();
}

}  // namespace

}  // namespace velkin::native

PyMODINIT_FUNC PyInit__native() { return velkin::python::guarded(velkin::native::init_module); }
