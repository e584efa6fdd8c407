#pragma once
#include "python/refs.hpp"

namespace velkin::native {

PyObject* import_traces(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

inline constexpr const char IMPORT_TRACES_DOC[] =
    "import_traces(inputs, format=None)\n--\n\n"
    "Import traces written by other tools as `.agentlog` bytes.\n"
    "\n"
    "`inputs` is a list of (name, source) pairs; a source is the input's bytes or,\n"
    "as a str, the path of a file to read. `format` names the format of every\n"
    "input (otherwise each is detected). Returns (agentlog bytes, summary dict).";

PyObject* import_conversations(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

inline constexpr const char IMPORT_CONVERSATIONS_DOC[] =
    "import_conversations(inputs, format=None)\n--\n\n"
    "The same import as `import_traces`, its output in pieces: a list of\n"
    "(metadata line, other lines) bytes pairs, one per conversation in order, for\n"
    "writing or splitting without joining. Returns (pairs, summary dict).";

PyObject* unreadable_trace(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

inline constexpr const char UNREADABLE_TRACE_DOC[] =
    "unreadable_trace(size)\n--\n\n"
    "Why an `.agentlog` file of `size` bytes could not be read back (the reader's\n"
    "limit on a whole trace), or None when it can: `import_conversations` leaves\n"
    "this to the caller, who decides which conversations go to which file.";

PyObject* detect_format(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

inline constexpr const char DETECT_FORMAT_DOC[] =
    "detect_format(source)\n--\n\n"
    "The import format of `source` (bytes, or a str path), from its first document,\n"
    "as `import_traces` names it; None when it is none of them.";

}  // namespace velkin::native
