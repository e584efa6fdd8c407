#pragma once
// A report document as the command prints it: the text of
// json.dumps(document, indent=2, ensure_ascii=False), written natively.
#include "python/refs.hpp"

namespace velkin::native {

PyObject* json_text(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

inline constexpr const char JSON_TEXT_DOC[] =
    "json_text(document)\n--\n\n"
    "The text json.dumps(document, indent=2, ensure_ascii=False) gives, for a document\n"
    "of dicts with str keys, lists, tuples, strs, ints, floats, bools and None (exact\n"
    "types). Raises TypeError on anything else, ValueError on a str that is not\n"
    "valid Unicode text and RecursionError past 100 levels.";

}  // namespace velkin::native
