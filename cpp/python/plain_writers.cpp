#include "python/plain_writers.hpp"

#include "agentlog/canonical.hpp"
#include "json/writer.hpp"
#include "python/recursion.hpp"
#include "text/unicode.hpp"

namespace velkin::python {

namespace {

// A container is entered exactly as the conversion enters it, so that a
// graph too deep for the conversion is left to it and fails there.
bool enter(const RecursionGuard& guard, int depth) {
    if (!guard.entered()) {
        PyErr_Clear();
        return false;
    }
    return depth < nesting_cap();
}

// The objects of a large graph lie scattered in memory and reading their
// headers is most of the cost of visiting them: items are requested a few
// steps ahead of their turn.
constexpr Py_ssize_t PREFETCH_DISTANCE = 8;

void prefetch(PyObject* object) { __builtin_prefetch(object); }

// "[", the items of an exact list or tuple by `write_item`, separated by ",", then "]".
template <class WriteItem>
bool write_array(PyObject* sequence, std::string& out, WriteItem&& write_item) {
    PyObject** items = PySequence_Fast_ITEMS(sequence);
    const Py_ssize_t size = PySequence_Fast_GET_SIZE(sequence);
    for (Py_ssize_t i = 0; i < size && i < PREFETCH_DISTANCE; ++i) prefetch(items[i]);
    out.push_back('[');
    for (Py_ssize_t i = 0; i < size; ++i) {
        if (i + PREFETCH_DISTANCE < size) prefetch(items[i + PREFETCH_DISTANCE]);
        if (i > 0) out.push_back(',');
        if (!write_item(items[i])) return false;
    }
    out.push_back(']');
    return true;
}

// Decimal digits of an exact int within either 64-bit range.
bool write_plain_int(PyObject* object, std::string& out) {
    int overflow = 0;
    long long value = PyLong_AsLongLongAndOverflow(object, &overflow);
    if (overflow == 0) {
        json::write_integer(static_cast<int64_t>(value), out);
        return true;
    }
    if (overflow < 0) return false;
    unsigned long long unsigned_value = PyLong_AsUnsignedLongLong(object);
    if (unsigned_value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        PyErr_Clear();
        return false;
    }
    json::write_integer(static_cast<uint64_t>(unsigned_value), out);
    return true;
}

bool write_plain_compact_string(PyObject* str, std::string& out) {
    std::string_view text;
    if (!plain_str_text(str, text)) return false;
    json::write_compact_string(text, out);
    return true;
}

class CanonicalWriter {
public:
    explicit CanonicalWriter(std::string& out) : out_(out) {}

    bool value(PyObject* object, int depth) {
        PyTypeObject* type = Py_TYPE(object);
        if (type == &PyUnicode_Type) return string(object);
        if (type == &PyLong_Type) return write_plain_int(object, out_);
        if (type == &PyFloat_Type) {
            agentlog::write_double(PyFloat_AS_DOUBLE(object), out_);
            return true;
        }
        if (object == Py_None) {
            out_.append("null");
            return true;
        }
        if (type == &PyBool_Type) {
            out_.append(object == Py_True ? "true" : "false");
            return true;
        }
        if (type == &PyDict_Type) return dict(object, depth);
        if (type == &PyList_Type || type == &PyTuple_Type) return array(object, depth);
        return false;
    }

private:
    std::string& out_;
    agentlog::CanonicalMembers<PyObject*> members_;

    // Code points below U+0100 neither compose nor decompose: text made of them is
    // NFC; wider text is when every code point is NFC-stable, read from the str itself.
    static bool known_nfc(PyObject* str) {
        const size_t length = static_cast<size_t>(PyUnicode_GET_LENGTH(str));
        switch (PyUnicode_KIND(str)) {
            case PyUnicode_1BYTE_KIND: return true;
            case PyUnicode_2BYTE_KIND:
                return text::only_nfc_stable(
                    std::span(reinterpret_cast<const char16_t*>(PyUnicode_2BYTE_DATA(str)), length));
            default:
                return text::only_nfc_stable(
                    std::span(reinterpret_cast<const char32_t*>(PyUnicode_4BYTE_DATA(str)), length));
        }
    }

    bool string(PyObject* str) {
        std::string_view text;
        if (!plain_str_text(str, text)) return false;
        if (known_nfc(str))
            agentlog::write_nfc_string(text, out_);
        else
            agentlog::write_string(text, out_);
        return true;
    }

    bool array(PyObject* sequence, int depth) {
        RecursionGuard guard;
        if (!enter(guard, depth)) return false;
        return write_array(sequence, out_, [&](PyObject* item) { return value(item, depth + 1); });
    }

    bool dict(PyObject* dict, int depth) {
        RecursionGuard guard;
        if (!enter(guard, depth)) return false;
        const auto mark = members_.mark();
        Py_ssize_t position = 0;
        PyObject* key = nullptr;
        PyObject* member_value = nullptr;
        while (PyDict_Next(dict, &position, &key, &member_value)) {
            std::string_view text;
            if (!exact_str_text(key, text)) return false;
            prefetch(member_value);  // values are visited after the sort
            if (known_nfc(key))
                members_.add_nfc(text, member_value);
            else
                members_.add(text, member_value);
        }
        return members_.write_object(mark, out_, [&](PyObject* item) { return value(item, depth + 1); });
    }
};

}  // namespace

bool write_plain_compact(PyObject* object, int depth, std::string& out) {
    PyTypeObject* type = Py_TYPE(object);
    if (type == &PyUnicode_Type) return write_plain_compact_string(object, out);
    if (type == &PyLong_Type) return write_plain_int(object, out);
    if (type == &PyFloat_Type) {
        json::write_compact_double(PyFloat_AS_DOUBLE(object), out);
        return true;
    }
    if (object == Py_None) {
        out.append("null");
        return true;
    }
    if (type == &PyBool_Type) {
        out.append(object == Py_True ? "true" : "false");
        return true;
    }
    if (type == &PyDict_Type) {
        RecursionGuard guard;
        if (!enter(guard, depth)) return false;
        out.push_back('{');
        Py_ssize_t position = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        bool first = true;
        while (PyDict_Next(object, &position, &key, &value)) {
            if (!first) out.push_back(',');
            first = false;
            if (!PyUnicode_CheckExact(key) || !write_plain_compact_string(key, out)) return false;
            out.push_back(':');
            if (!write_plain_compact(value, depth + 1, out)) return false;
        }
        out.push_back('}');
        return true;
    }
    if (type == &PyList_Type || type == &PyTuple_Type) {
        RecursionGuard guard;
        if (!enter(guard, depth)) return false;
        return write_array(object, out, [&](PyObject* item) { return write_plain_compact(item, depth + 1, out); });
    }
    return false;
}

bool write_plain_canonical(PyObject* object, std::string& out) {
    CanonicalWriter writer(out);
    return writer.value(object, 0);
}

}  // namespace velkin::python
