#pragma once
// What the boundary keeps while `velkin._core` lives: the class internal
// faults raise and the interned keys of the result dicts. `velkin._core` owns
// the one state; `velkin._native` uses that same state, so that a fault in
// either module raises the one PanicException class.
#include <array>
#include <cstddef>

#include "python/refs.hpp"

namespace velkin::python {

// A key of a result dict: a string literal, whose address names it.
class KeyName {
public:
    template <size_t N>
    consteval KeyName(const char (&text)[N]) : text_(text), size_(N - 1) {}

    const char* text() const { return text_; }
    size_t size() const { return size_; }

private:
    const char* text_;
    size_t size_;
};

// A new PanicException class: a BaseException, so that `except Exception` lets it through.
Ref new_panic_type();

class ModuleState {
public:
    // Made at the first fault; null with the Python error set when that fails.
    PyObject* panic_type();
    // Interned at the first use of the key (borrowed); null with the Python error set when that fails.
    PyObject* key(KeyName name);

    int traverse(visitproc visit, void* arg);
    void clear();

private:
    struct KeySlot {
        const char* text = nullptr;
        Ref str;
    };
    // Far more than the distinct key literals of both modules, so a probe ends early.
    static constexpr size_t KEY_SLOTS = 512;

    Ref panic_type_;
    std::array<KeySlot, KEY_SLOTS> keys_;
};

// The state the entry points of this extension reach: `velkin._core` sets its
// own when it is initialised, `velkin._native` the one of `velkin._core`.
void use_module_state(ModuleState* state);
// Null before the module is initialised, and again if its initialisation failed.
ModuleState* module_state();

}  // namespace velkin::python
