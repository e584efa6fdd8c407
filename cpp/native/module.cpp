// The extension module `velkin._native`: the capabilities built around the
// core (importers, run comparison, full divergence walks). Unlike `velkin._core`
// its functions may release the interpreter lock while they work.
#include "native/binding.hpp"
#include "native/compare_binding.hpp"
#include "native/divergences.hpp"
#include "native/import_binding.hpp"
#include "python/errors.hpp"
#include "python/refs.hpp"

namespace velkin::native {

namespace {

PyMethodDef FUNCTIONS[] = {
    {"import_traces", fastcall<import_traces>(), FASTCALL_KEYWORDS, IMPORT_TRACES_DOC},
    {"alignment", fastcall<alignment>(), FASTCALL_KEYWORDS, ALIGNMENT_DOC},
    {"compare_runs", fastcall<compare_runs>(), FASTCALL_KEYWORDS, COMPARE_RUNS_DOC},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef MODULE = {
    PyModuleDef_HEAD_INIT, "_native", "Native capabilities of velkin beside the core.", 0, FUNCTIONS,
    nullptr,           nullptr,   nullptr,                                            nullptr,
};

}  // namespace

}  // namespace velkin::native

PyMODINIT_FUNC PyInit__native() {
    return velkin::python::guarded(
        [] { return velkin::python::checked(PyModule_Create(&velkin::native::MODULE)).release(); });
}
