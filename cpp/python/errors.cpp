#include "python/errors.hpp"

#include "python/module_state.hpp"
#include "text/unicode.hpp"

namespace velkin::python {

std::string utf8_lossy(PyObject* text) {
    Py_ssize_t size = 0;
    if (const char* utf8 = PyUnicode_AsUTF8AndSize(text, &size)) return std::string(utf8, static_cast<size_t>(size));
    PyErr_Clear();
    std::string out;
    Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    int kind = PyUnicode_KIND(text);
    const void* data = PyUnicode_DATA(text);
    for (Py_ssize_t i = 0; i < length; ++i) {
        // Lone surrogates become U+FFFD.
        text::append_utf8(out, PyUnicode_READ(kind, data, i));
    }
    return out;
}

std::string type_qualname(PyTypeObject* type) {
#if PY_VERSION_HEX >= 0x030B0000
    Ref name = Ref::steal(PyType_GetQualName(type));
#else
    Ref name = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__qualname__"));
#endif
    if (!name || !PyUnicode_Check(name.get())) {
        PyErr_Clear();
        std::string_view full = type->tp_name;
        size_t dot = full.rfind('.');
        return std::string(dot == std::string_view::npos ? full : full.substr(dot + 1));
    }
    return utf8_lossy(name.get());
}

Ref take_exception() {
#if PY_VERSION_HEX >= 0x030C0000
    return Ref::steal(PyErr_GetRaisedException());
#else
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    if (!type) return Ref();
    PyErr_NormalizeException(&type, &value, &traceback);
    if (value && traceback) PyException_SetTraceback(value, traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    return Ref::steal(value);
#endif
}

std::string exception_text(PyObject* exception) {
    std::string text = type_qualname_of(exception);
    text += ": ";
    Ref shown = Ref::steal(PyObject_Str(exception));
    if (shown) {
        text += utf8_lossy(shown.get());
    } else {
        PyErr_Clear();
        text += "<exception str() failed>";
    }
    return text;
}

std::string take_exception_text() {
    Ref exception = take_exception();
    if (!exception) return "SystemError: error return without exception set";
    return exception_text(exception.get());
}

// Messages are shown even if they carry malformed UTF-8.
static Ref message_str(std::string_view text) {
    return Ref::steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
}

void raise_panic(std::string_view message) {
    // Without a module state (a fault while it is being made) the class is made for this fault alone.
    ModuleState* state = module_state();
    Ref unshared = state ? Ref() : new_panic_type();
    PyObject* type = state ? state->panic_type() : unshared.get();
    if (!type) return;  // the error of the failed class creation stays set
    Ref text = message_str(message);
    if (text) PyErr_SetObject(type, text.get());
}

void throw_value_error(std::string_view message) {
    Ref text = message_str(message);
    if (text) PyErr_SetObject(PyExc_ValueError, text.get());
    throw PythonErrorSet{};
}

}  // namespace velkin::python
