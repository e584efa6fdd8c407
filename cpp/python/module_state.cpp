#include "python/module_state.hpp"

#include <cstdint>

#include "platform/result.hpp"

namespace velkin::python {

namespace {

ModuleState* current_state = nullptr;

}  // namespace

Ref new_panic_type() {
    return Ref::steal(PyErr_NewExceptionWithDoc(
        "velkin._core.PanicException",
        "An internal fault inside velkin; derives from BaseException so that `except Exception` does not "
        "swallow it.",
        PyExc_BaseException, nullptr));
}

PyObject* ModuleState::panic_type() {
    if (!panic_type_) panic_type_ = new_panic_type();
    return panic_type_.get();
}

PyObject* ModuleState::key(KeyName name) {
    // Fibonacci hashing of the literal's address; linear probing.
    auto address = reinterpret_cast<uintptr_t>(name.text());
    size_t slot = static_cast<size_t>((address * 0x9E3779B97F4A7C15ull) >> 55) % KEY_SLOTS;
    for (size_t probes = 0; probes < KEY_SLOTS; ++probes, slot = (slot + 1) % KEY_SLOTS) {
        KeySlot& entry = keys_[slot];
        if (entry.text == name.text()) return entry.str.get();
        if (entry.text) continue;
        Ref str = Ref::steal(PyUnicode_FromStringAndSize(name.text(), static_cast<Py_ssize_t>(name.size())));
        if (!str) return nullptr;
        PyObject* interned = str.release();
        PyUnicode_InternInPlace(&interned);
        entry.text = name.text();
        entry.str = Ref::steal(interned);
        return interned;
    }
    throw Panic("more result dict keys than the module state holds");
}

int ModuleState::traverse(visitproc visit, void* arg) {
    Py_VISIT(panic_type_.get());
    return 0;
}

void ModuleState::clear() {
    panic_type_ = Ref();
    for (KeySlot& entry : keys_) entry = KeySlot{};
}

void use_module_state(ModuleState* state) { current_state = state; }

ModuleState* module_state() { return current_state; }

}  // namespace velkin::python
