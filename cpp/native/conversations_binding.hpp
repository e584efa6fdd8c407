#pragma once
// How a run's records fall into conversations, as the run comparison groups
// them, for reports that show a conversation's records.
#include "python/refs.hpp"

namespace velkin::native {

PyObject* conversations(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

inline constexpr const char CONVERSATIONS_DOC[] =
    "conversations(records)\n--\n\n"
    "The conversations of one run, as compare_runs groups its records: a list of dicts\n"
    "with \"id\" (the trace id, else the id of the conversation's first record) and\n"
    "\"records\" (the indices of its records in `records`, in order), in the order of\n"
    "each conversation's first record.";

}  // namespace velkin::native
