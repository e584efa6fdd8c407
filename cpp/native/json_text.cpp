#include "native/json_text.hpp"

#include <array>
#include <cmath>
#include <string>

#include "native/binding.hpp"
#include "python/args.hpp"
#include "python/errors.hpp"

namespace velkin::native {

namespace {

using python::Ref;

// Deeper documents are not reports; the standard library would recurse on.
constexpr int MAX_DEPTH = 100;

[[noreturn]] void fail(PyObject* type, const char* message, PyObject* object) {
    PyErr_Format(type, message, Py_TYPE(object)->tp_name);
    throw python::PythonErrorSet{};
}

constexpr char HEX[] = "0123456789abcdef";

void append_escape(std::string& out, unsigned code) {
    out += "\\u";
    for (int shift = 12; shift >= 0; shift -= 4) out.push_back(HEX[(code >> shift) & 15]);
}

// A character a terminal or an editor would act on rather than show: DEL, the C1 controls and the
// bidi marks, embeddings, overrides and isolates. `lead` starts a valid UTF-8 sequence; returns its
// code point when it is one of them, else 0.
unsigned hidden_code(const unsigned char* lead, Py_ssize_t left) {
    if (lead[0] == 0x7f) return 0x7f;
    if (left < 2) return 0;
    const unsigned second = lead[1];
    if (lead[0] == 0xc2 && second >= 0x80 && second <= 0x9f) return second;  // U+0080-009F
    if (lead[0] == 0xd8 && second == 0x9c) return 0x061c;
    if (lead[0] != 0xe2 || left < 3) return 0;
    const unsigned code = 0x2000 | ((second & 0x3f) << 6) | (lead[2] & 0x3f);
    const bool bidi = code == 0x200e || code == 0x200f || (code >= 0x202a && code <= 0x202e) ||
                      (code >= 0x2066 && code <= 0x2069);
    return bidi ? code : 0;
}

void append_string(std::string& out, PyObject* text) {
    Py_ssize_t size = 0;
    const char* bytes = PyUnicode_AsUTF8AndSize(text, &size);
    if (!bytes) throw python::PythonErrorSet{};
    const auto* data = reinterpret_cast<const unsigned char*>(bytes);
    out.push_back('"');
    for (Py_ssize_t i = 0; i < size; ++i) {
        const unsigned char c = data[i];
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            case '\b': out += "\\b"; break;
            case '\f': out += "\\f"; break;
            default:
                if (c < 0x20) {
                    append_escape(out, c);
                } else if (const unsigned hidden = c >= 0x7f ? hidden_code(data + i, size - i) : 0) {
                    append_escape(out, hidden);
                    i += hidden == 0x7f ? 0 : hidden < 0x800 ? 1 : 2;
                } else {
                    out.push_back(static_cast<char>(c));
                }
        }
    }
    out.push_back('"');
}

void append_float(std::string& out, double value) {
    if (value != value) {
        out += "NaN";
    } else if (value == HUGE_VAL || value == -HUGE_VAL) {
        out += value > 0 ? "Infinity" : "-Infinity";
    } else {
        // float.__repr__, as json.dumps writes a float.
        char* text = PyOS_double_to_string(value, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
        if (!text) throw python::PythonErrorSet{};
        out += text;
        PyMem_Free(text);
    }
}

void newline(std::string& out, int depth) {
    out.push_back('\n');
    out.append(static_cast<size_t>(2 * depth), ' ');
}

void append_value(std::string& out, PyObject* value, int depth) {
    if (depth > MAX_DEPTH) fail(PyExc_RecursionError, "a document nested too deeply (%.200s)", value);
    if (value == Py_None) {
        out += "null";
    } else if (value == Py_True || value == Py_False) {
        out += value == Py_True ? "true" : "false";
    } else if (PyUnicode_CheckExact(value)) {
        append_string(out, value);
    } else if (PyLong_CheckExact(value)) {
        int overflow = 0;
        long long number = PyLong_AsLongLongAndOverflow(value, &overflow);
        if (overflow == 0 && !(number == -1 && PyErr_Occurred())) {
            out += std::to_string(number);
        } else {
            PyErr_Clear();
            Ref text = python::checked(PyObject_Str(value));
            Py_ssize_t size = 0;
            const char* bytes = PyUnicode_AsUTF8AndSize(text.get(), &size);
            if (!bytes) throw python::PythonErrorSet{};
            out.append(bytes, static_cast<size_t>(size));
        }
    } else if (PyFloat_CheckExact(value)) {
        append_float(out, PyFloat_AS_DOUBLE(value));
    } else if (PyList_CheckExact(value) || PyTuple_CheckExact(value)) {
        // The items are read through a fast sequence, which a list or tuple is itself.
        const Py_ssize_t size = PySequence_Fast_GET_SIZE(value);
        if (size == 0) {
            out += "[]";
            return;
        }
        out.push_back('[');
        for (Py_ssize_t i = 0; i < size; ++i) {
            if (i) out.push_back(',');
            newline(out, depth + 1);
            append_value(out, PySequence_Fast_GET_ITEM(value, i), depth + 1);
        }
        newline(out, depth);
        out.push_back(']');
    } else if (PyDict_CheckExact(value)) {
        if (PyDict_GET_SIZE(value) == 0) {
            out += "{}";
            return;
        }
        out.push_back('{');
        Py_ssize_t position = 0;
        PyObject *key = nullptr, *item = nullptr;
        bool first = true;
        // Borrowed references: a dict of exact types runs no code that could change it.
        while (PyDict_Next(value, &position, &key, &item)) {
            if (!PyUnicode_CheckExact(key)) fail(PyExc_TypeError, "a document key is a '%.200s', not a str", key);
            if (!first) out.push_back(',');
            first = false;
            newline(out, depth + 1);
            append_string(out, key);
            out += ": ";
            append_value(out, item, depth + 1);
        }
        newline(out, depth);
        out.push_back('}');
    } else {
        fail(PyExc_TypeError, "a document holds a '%.200s', which the report text does not write", value);
    }
}

std::string document_text(const char* function, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    constexpr std::array<const char*, 1> parameters{"document"};
    std::array<PyObject*, 1> bound{};
    python::bind_arguments(python::Signature{function, parameters, 1}, args, nargs, kwnames, bound);
    std::string out;
    append_value(out, bound[0], 0);
    return out;
}

}  // namespace

PyObject* json_text(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return python::guarded([&] {
        const std::string out = document_text("json_text", args, nargs, kwnames);
        return python::checked(PyUnicode_DecodeUTF8(out.data(), static_cast<Py_ssize_t>(out.size()), nullptr))
            .release();
    });
}

PyObject* json_utf8(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return python::guarded([&] {
        const std::string out = document_text("json_utf8", args, nargs, kwnames);
        return python::checked(PyBytes_FromStringAndSize(out.data(), static_cast<Py_ssize_t>(out.size()))).release();
    });
}

}  // namespace velkin::native
