#pragma once
// Writers that read "plain" Python object graphs directly instead of going
// through json::Value: exact None, bool, int within the 64-bit ranges, float,
// str with a UTF-8 form, list, tuple and dict with exact str keys, nested no
// deeper than the conversion allows. No Python code can run while such a
// graph is read, so borrowed references stay valid throughout.
//
// On anything else a writer gives up: it returns false with no Python error
// set and a partial output the caller discards, and the caller converts the
// object to a json::Value instead, which has the messages and the semantics
// of every other input. On a plain graph both roads give the same bytes.
#include <string>
#include <string_view>

#include "python/refs.hpp"
#include "python/strings.hpp"

namespace velkin::python {

// The compact form of the log writer. `depth` is the nesting level `object`
// has within the value being converted (0 for a whole argument).
bool write_plain_compact(PyObject* object, int depth, std::string& out);

// The canonical form of `object`, a whole argument.
bool write_plain_canonical(PyObject* object, std::string& out);

// The text of a str, or false (no error set) when it has no UTF-8 form.
inline bool plain_str_text(PyObject* str, std::string_view& text) {
    if (str_utf8(str, text)) return true;
    PyErr_Clear();
    return false;
}

// The text of an exact str, or false (no error set).
inline bool exact_str_text(PyObject* object, std::string_view& text) {
    return PyUnicode_CheckExact(object) && plain_str_text(object, text);
}

}  // namespace velkin::python
