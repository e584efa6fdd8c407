#pragma once
// Argument binding for fast-call entry points with keywords, and the type
// checks of the parameters. Every parameter is positional-or-keyword.
#include <cstddef>
#include <span>

#include "diff/report.hpp"
#include "python/refs.hpp"

namespace velkin::python {

struct Signature {
    const char* function;
    std::span<const char* const> parameters;
    size_t required;  // the first `required` parameters have no default
};

// Fills `bound` (one slot per parameter, borrowed, null when not given) or
// throws PythonErrorSet with the binding's TypeError.
void bind_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    std::span<PyObject*> bound);

// "argument '{name}': '{type}' object cannot be converted to 'PyBytes'" and the like.
void require_bytes(PyObject* object, const char* name);
void require_list(PyObject* object, const char* name);
void require_dict(PyObject* object, const char* name);

// None or absent gives no seed; otherwise an integer in 0..2**64-1.
diff::Seed convert_seed(PyObject* object, const char* name);

}  // namespace velkin::python
