#pragma once
// The nesting limits of converting Python objects: the interpreter's
// recursion limit, and a cap that keeps the C stack from running out. Every
// walk over Python containers enters them the same way, so that all of them
// stop at the same depth.
#include "python/refs.hpp"

namespace velkin::python {

constexpr int MAX_CONVERSION_DEPTH = 4096;
constexpr const char* RECURSION_CONTEXT = " while converting to a JSON value";

// Fixes, for the duration of one call into the module, how deep the values it
// reads may nest. Every later walk over such a value (conversion, writers,
// hashes, copies and comparisons of the diff, destruction) recurses once per
// level, so the cap is what the stack left below the call's entry can hold,
// whatever thread the caller runs on, and never more than MAX_CONVERSION_DEPTH.
// A call made from inside another (by a hook of a converted object) gets its
// own cap and restores the outer one when it ends.
class NestingBudget {
public:
    NestingBudget() noexcept;
    ~NestingBudget();
    NestingBudget(const NestingBudget&) = delete;
    NestingBudget& operator=(const NestingBudget&) = delete;

private:
    int outer_cap_;
};

// The cap of the current call: containers at this depth are not entered.
int nesting_cap();

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
