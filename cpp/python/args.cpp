#include "python/args.hpp"

#include <string>
#include <vector>

#include "python/errors.hpp"

namespace velkin::python {

[[noreturn]] static void throw_type_error(const std::string& message) {
    PyErr_SetString(PyExc_TypeError, message.c_str());
    throw PythonErrorSet{};
}

static std::string quoted_names(std::span<const char* const> names) {
    std::string joined;
    for (size_t i = 0; i < names.size(); ++i) {
        if (i) joined += " and ";
        joined += '\'';
        joined += names[i];
        joined += '\'';
    }
    return joined;
}

void bind_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    std::span<PyObject*> bound) {
    const size_t count = signature.parameters.size();
    const size_t positional = static_cast<size_t>(nargs);
    if (positional > count) {
        throw_type_error(std::string(signature.function) + "() takes " + std::to_string(count) +
                         " positional arguments but " + std::to_string(positional) + " were given");
    }
    for (size_t i = 0; i < count; ++i) bound[i] = i < positional ? args[i] : nullptr;

    const Py_ssize_t keywords = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < keywords; ++k) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
        size_t slot = count;
        for (size_t i = 0; i < count && slot == count; ++i) {
            if (PyUnicode_CompareWithASCIIString(keyword, signature.parameters[i]) == 0) slot = i;
        }
        if (slot == count) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", signature.function, keyword);
            throw PythonErrorSet{};
        }
        if (bound[slot]) {
            throw_type_error(std::string(signature.function) + "() got multiple values for argument '" +
                             signature.parameters[slot] + "'");
        }
        bound[slot] = args[positional + static_cast<size_t>(k)];
    }

    std::vector<const char*> missing;
    for (size_t i = 0; i < signature.required; ++i)
        if (!bound[i]) missing.push_back(signature.parameters[i]);
    if (!missing.empty()) {
        throw_type_error(
            std::string(signature.function) + "() missing " + std::to_string(missing.size()) +
            (missing.size() == 1 ? " required positional argument: " : " required positional arguments: ") +
            quoted_names(missing));
    }
}

[[noreturn]] static void throw_conversion_error(PyObject* object, const char* name, const char* target) {
    throw_type_error(std::string("argument '") + name + "': '" + type_qualname_of(object) +
                     "' object cannot be converted to '" + target + "'");
}

void require_bytes(PyObject* object, const char* name) {
    if (!PyBytes_Check(object)) throw_conversion_error(object, name, "PyBytes");
}

void require_list(PyObject* object, const char* name) {
    if (!PyList_Check(object)) throw_conversion_error(object, name, "PyList");
}

void require_dict(PyObject* object, const char* name) {
    if (!PyDict_Check(object)) throw_conversion_error(object, name, "PyDict");
}

diff::Seed convert_seed(PyObject* object, const char* name) {
    if (!object || object == Py_None) return std::nullopt;
    Ref integer = PyLong_Check(object) ? Ref::borrow(object) : Ref::steal(PyNumber_Index(object));
    if (integer) {
        unsigned long long value = PyLong_AsUnsignedLongLong(integer.get());
        if (!(value == static_cast<unsigned long long>(-1) && PyErr_Occurred())) return static_cast<uint64_t>(value);
    }
    // A wrong type is the caller's argument error and names the parameter;
    // an out-of-range integer keeps the interpreter's own OverflowError.
    if (PyErr_ExceptionMatches(PyExc_TypeError)) {
        Ref cause = take_exception();
        Ref shown = Ref::steal(PyObject_Str(cause.get()));
        if (!shown) throw PythonErrorSet{};
        std::string message = std::string("argument '") + name + "': " + utf8_lossy(shown.get());
        Ref text = checked(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
        Ref error = checked(PyObject_CallOneArg(PyExc_TypeError, text.get()));
        PyException_SetCause(error.get(), cause.release());
        PyErr_SetObject(PyExc_TypeError, error.get());
    }
    throw PythonErrorSet{};
}

}  // namespace velkin::python
