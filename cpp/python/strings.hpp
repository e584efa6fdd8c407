#pragma once
// Building str objects from UTF-8 text on the hot paths.
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

}  // namespace velkin::python
