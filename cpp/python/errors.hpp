#pragma once
// How failures cross the module boundary: C++ faults become PanicException,
// error values become ValueError, and a Python error already set travels up
// the C++ stack as PythonErrorSet until the entry point returns NULL.
#include <new>
#include <stdexcept>
#include <string>
#include <string_view>

#include "platform/result.hpp"
#include "python/recursion.hpp"
#include "python/refs.hpp"

namespace velkin::python {

// Thrown after a Python exception has been set; the entry point returns NULL.
struct PythonErrorSet {};

// A new reference from an API call, or PythonErrorSet when it failed.
inline Ref checked(PyObject* object) {
    if (!object) throw PythonErrorSet{};
    return Ref::steal(object);
}

// The text of a str, with lone surrogates replaced by U+FFFD; never fails.
std::string utf8_lossy(PyObject* text);
// `type.__qualname__`, e.g. "int", "OrderedDict", "f.<locals>.C".
std::string type_qualname(PyTypeObject* type);
inline std::string type_qualname_of(PyObject* object) { return type_qualname(Py_TYPE(object)); }

// Takes the pending Python exception (normalised), clearing it.
Ref take_exception();
// "{type qualname}: {str(exception)}".
std::string exception_text(PyObject* exception);
// The text of the pending exception, which is cleared.
std::string take_exception_text();

void raise_panic(std::string_view message);
[[noreturn]] void throw_value_error(std::string_view message);

// Runs an entry point's body; every C++ exception becomes a Python exception.
// The body's nesting cap is fixed here, at the entry.
template <class Body>
PyObject* guarded(Body&& body) noexcept {
    const NestingBudget nesting;
    try {
        return body();
    } catch (const PythonErrorSet&) {
    } catch (const Panic& panic) {
        raise_panic(panic.what());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& fault) {
        raise_panic(fault.what());
    } catch (...) {
        raise_panic("unknown internal fault");
    }
    return nullptr;
}

}  // namespace velkin::python
