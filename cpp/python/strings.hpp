#pragma once
// Between str objects and UTF-8 text on the hot paths.
#include <cstdint>
#include <cstring>
#include <string_view>

#include "python/refs.hpp"

namespace velkin::python {

inline bool is_ascii(std::string_view text) {
    const char* data = text.data();
    size_t size = text.size();
    size_t i = 0;
    uint64_t high = 0;
    for (; i + 8 <= size; i += 8) {
        uint64_t word;
        std::memcpy(&word, data + i, 8);
        high |= word;
    }
    for (; i < size; ++i) high |= static_cast<unsigned char>(data[i]);
    return (high & 0x8080808080808080ull) == 0;
}

// A new str, or null with the interpreter's error set. ASCII text takes one
// allocation and a copy; other text goes through the UTF-8 decoder, which
// picks the narrowest representation.
inline PyObject* new_str(std::string_view text) {
    const Py_ssize_t size = static_cast<Py_ssize_t>(text.size());
    if (is_ascii(text)) {
        PyObject* str = PyUnicode_New(size, 127);
        if (str && size) std::memcpy(PyUnicode_1BYTE_DATA(str), text.data(), text.size());
        return str;
    }
    return PyUnicode_DecodeUTF8(text.data(), size, nullptr);
}

// The UTF-8 text of a str, kept alive by the str: a compact ASCII str's own
// characters, otherwise the UTF-8 form the interpreter caches in the object.
// False with the interpreter's error set when the text has no UTF-8 form
// (lone surrogates).
inline bool str_utf8(PyObject* str, std::string_view& text) {
    if (PyUnicode_IS_COMPACT_ASCII(str)) {
        text = std::string_view(static_cast<const char*>(PyUnicode_DATA(str)),
                                static_cast<size_t>(PyUnicode_GET_LENGTH(str)));
        return true;
    }
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(str, &size);
    if (!utf8) return false;
    text = std::string_view(utf8, static_cast<size_t>(size));
    return true;
}

}  // namespace velkin::python
