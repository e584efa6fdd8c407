#pragma once
// What every `velkin._native` entry point shares: the fast-call signature, its
// entry in the module's function table, and the released interpreter lock.
#include "python/refs.hpp"

namespace velkin::native {

using FastCall = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

template <FastCall Function>
PyCFunction fastcall() {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(Function));
}

inline constexpr int FASTCALL_KEYWORDS = METH_FASTCALL | METH_KEYWORDS;

// Lets other Python threads run while native work proceeds on plain C++ values;
// takes the lock back on every path.
class LockReleased {
public:
    LockReleased() : state_(PyEval_SaveThread()) {}
    ~LockReleased() { PyEval_RestoreThread(state_); }
    LockReleased(const LockReleased&) = delete;
    LockReleased& operator=(const LockReleased&) = delete;

private:
    PyThreadState* state_;
};

}  // namespace velkin::native
