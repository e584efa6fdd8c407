#pragma once
// The full turn alignment of two traces, for reports that list every divergence.
#include "python/refs.hpp"

namespace velkin::native {

PyObject* alignment(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

inline constexpr const char ALIGNMENT_DOC[] =
    "alignment(baseline, candidate)\n--\n\n"
    "Every step of the turn alignment of two record lists, in path order: a dict with\n"
    "\"step\" (\"match\", \"insert\" or \"delete\"), \"baseline_turn\" and \"candidate_turn\" (None\n"
    "on the side without a turn), \"cost\" (matched turns), \"divergence\" (the report's\n"
    "divergence dict, or None), \"tools_added\", \"tools_removed\", \"arguments\" (every\n"
    "changed argument: tool, argument, baseline and candidate values as compact JSON,\n"
    "None where missing), \"stop_reason\" and \"model\" ({baseline, candidate} or None).\n"
    "Empty when the baseline has no responses.";

}  // namespace velkin::native
