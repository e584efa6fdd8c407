#pragma once
// What every `velkin._native` entry point shares: the fast-call signature and
// its entry in the module's function table.
#include "python/refs.hpp"

namespace velkin::native {

using FastCall = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

template <FastCall Function>
PyCFunction fastcall() {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(Function));
}

inline constexpr int FASTCALL_KEYWORDS = METH_FASTCALL | METH_KEYWORDS;

}  // namespace velkin::native
