#pragma once
#include "python/refs.hpp"

namespace velkin::native {

PyObject* compare_runs(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

inline constexpr const char COMPARE_RUNS_DOC[] =
    "compare_runs(baseline, candidate, key=None, outcome=None, pricing=None, seed=None, threads=None,\n"
    "             key_pattern=None, json=False, findings='all')\n--\n\n"
    "Compare runs of an eval suite conversation by conversation.\n"
    "\n"
    "`baseline` and `candidate` are lists of runs, each a list of record dicts.\n"
    "Returns the suite report as a dict; with `json`, a tuple of its JSON text (the\n"
    "bytes json_utf8 gives of the dict) and the dict listing only the conversations\n"
    "that regressed. With findings='changed', only the conversations that\n"
    "regressed or improved list their findings.";

}  // namespace velkin::native
