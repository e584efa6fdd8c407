#pragma once
// A report document as the command prints it: the text of
// json.dumps(document, indent=2, ensure_ascii=False), written natively, except that the
// characters a terminal acts on (DEL, C1 controls, bidi controls) are written as \u escapes.
#include "python/refs.hpp"

namespace velkin::native {

PyObject* json_text(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* json_utf8(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

inline constexpr const char JSON_TEXT_DOC[] =
    "json_text(document)\n--\n\n"
    "The text json.dumps(document, indent=2, ensure_ascii=False) gives, for a document\n"
    "of dicts with str keys, lists, tuples, strs, ints, floats, bools and None (exact\n"
    "types), except that DEL, the C1 controls and the bidi controls (U+061C, U+200E,\n"
    "U+200F, U+202A-202E, U+2066-2069) are written as \\u escapes. Raises TypeError on\n"
    "anything else, ValueError on a str that is not valid Unicode text and\n"
    "RecursionError past 100 levels.";

// What a command writes to a UTF-8 output: the text never becomes a str.
inline constexpr const char JSON_UTF8_DOC[] =
    "json_utf8(document)\n--\n\n"
    "json_text(document) encoded as UTF-8, made without the str.";

}  // namespace velkin::native
