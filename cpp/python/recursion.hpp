#pragma once
// The nesting limits of converting Python objects: the interpreter's
// recursion limit, and a fixed cap that protects the C stack when that limit
// has been raised. Every walk over Python containers enters them the same
// way, so that all of them stop at the same depth.
#include "python/refs.hpp"

namespace velkin::python {

constexpr int MAX_CONVERSION_DEPTH = 4096;
constexpr const char* RECURSION_CONTEXT = " while converting to a JSON value";

class RecursionGuard {
public:
    RecursionGuard() : entered_(Py_EnterRecursiveCall(RECURSION_CONTEXT) == 0) {}
    ~RecursionGuard() {
        if (entered_) Py_LeaveRecursiveCall();
    }
    RecursionGuard(const RecursionGuard&) = delete;
    RecursionGuard& operator=(const RecursionGuard&) = delete;
    // False with the interpreter's RecursionError set.
    bool entered() const { return entered_; }

private:
    bool entered_;
};

}  // namespace velkin::python
