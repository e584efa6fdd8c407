#pragma once
// Result dicts built member by member in a fixed key order, and lists of
// them. Each key is interned once, in the module state. What a failure of the
// interpreter becomes is the builder's parameter: `velkin._core`'s report
// treats it as an internal fault, `velkin._native` lets the Python error set
// end the call.
#include <cmath>
#include <concepts>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "python/errors.hpp"
#include "python/module_state.hpp"
#include "python/strings.hpp"

namespace velkin::python {

enum class OnFailure : uint8_t {
    Panic,  // raised as PanicException, with what the interpreter said
    Raise,  // the Python error already set ends the call
};

// A new object from an API call; a null result fails by the policy.
template <OnFailure policy>
Ref made(PyObject* object) {
    if (!object) {
        if constexpr (policy == OnFailure::Panic)
            throw Panic("cannot create a Python object for the report: " + take_exception_text());
        throw PythonErrorSet{};
    }
    return Ref::steal(object);
}

template <OnFailure policy>
class ResultDict {
public:
    ResultDict() : dict_(made<policy>(PyDict_New())) {}
    explicit ResultDict(Ref dict) : dict_(std::move(dict)) {}

    ResultDict& set(KeyName name, Ref value) {
        PyObject* key = module_state()->key(name);
        if (!key || PyDict_SetItem(dict_.get(), key, value.get()) < 0) {
            if constexpr (policy == OnFailure::Panic)
                throw Panic("cannot fill a report dict: " + take_exception_text());
            throw PythonErrorSet{};
        }
        return *this;
    }
    ResultDict& set(KeyName name, std::string_view text) { return set(name, made<policy>(new_str(text))); }
    ResultDict& set(KeyName name, uint64_t number) {
        return set(name, made<policy>(PyLong_FromUnsignedLongLong(number)));
    }
    // Exactly a bool: a pointer or number must not become one.
    template <std::same_as<bool> Flag>
    ResultDict& set(KeyName name, Flag flag) {
        return set(name, Ref::borrow(flag ? Py_True : Py_False));
    }
    ResultDict& set_none(KeyName name) { return set(name, Ref::borrow(Py_None)); }
    // Non-finite values have no JSON form and travel as None.
    ResultDict& set_float(KeyName name, double number) {
        return set(name, std::isfinite(number) ? made<policy>(PyFloat_FromDouble(number)) : Ref::borrow(Py_None));
    }
    ResultDict& set_float(KeyName name, std::optional<double> number) {
        return number ? set_float(name, *number) : set_none(name);
    }

    Ref take() { return std::move(dict_); }

private:
    Ref dict_;
};

template <OnFailure policy, class Item, class Convert>
Ref list_of(const std::vector<Item>& items, Convert convert) {
    Ref list = made<policy>(PyList_New(static_cast<Py_ssize_t>(items.size())));
    for (size_t i = 0; i < items.size(); ++i)
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), convert(items[i]).release());
    return list;
}

}  // namespace velkin::python
