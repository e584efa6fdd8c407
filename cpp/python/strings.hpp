#pragma once
// Between str objects and UTF-8 text on the hot paths.
#include <cstdint>
#include <cstring>
#include <string>
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

template <class Char>
void decode_utf8(const unsigned char* p, const unsigned char* end, Char* out) {
    while (p < end) {
        unsigned char b = *p;
        if (b < 0x80) {
            *out++ = b;
            p += 1;
        } else if (b < 0xE0) {
            *out++ = static_cast<Char>(((b & 0x1F) << 6) | (p[1] & 0x3F));
            p += 2;
        } else if (b < 0xF0) {
            *out++ = static_cast<Char>(((b & 0x0F) << 12) | ((p[1] & 0x3F) << 6) | (p[2] & 0x3F));
            p += 3;
        } else {
            *out++ = static_cast<Char>(((b & 0x07) << 18) | ((p[1] & 0x3F) << 12) | ((p[2] & 0x3F) << 6) |
                                       (p[3] & 0x3F));
            p += 4;
        }
    }
}

// A new str from well-formed UTF-8 (every text the core hands out is), or null
// with the interpreter's error set. One pass counts the characters and finds
// the widest lead byte, which fixes the narrowest representation; a second
// pass decodes straight into the new object.
inline PyObject* new_str(std::string_view text) {
    const auto* begin = reinterpret_cast<const unsigned char*>(text.data());
    const auto* end = begin + text.size();
    if (is_ascii(text)) {
        PyObject* str = PyUnicode_New(static_cast<Py_ssize_t>(text.size()), 127);
        if (str && !text.empty()) std::memcpy(PyUnicode_1BYTE_DATA(str), text.data(), text.size());
        return str;
    }
    size_t count = 0;
    unsigned char widest = 0;
    for (const unsigned char* p = begin; p < end; ++p) {
        count += (*p & 0xC0) != 0x80;
        widest = *p > widest ? *p : widest;
    }
    Py_UCS4 max_char = widest < 0xC4 ? 0xFF : widest < 0xF0 ? 0xFFFF : 0x10FFFF;
    PyObject* str = PyUnicode_New(static_cast<Py_ssize_t>(count), max_char);
    if (!str) return nullptr;
    switch (PyUnicode_KIND(str)) {
        case PyUnicode_1BYTE_KIND: decode_utf8(begin, end, PyUnicode_1BYTE_DATA(str)); break;
        case PyUnicode_2BYTE_KIND: decode_utf8(begin, end, PyUnicode_2BYTE_DATA(str)); break;
        default: decode_utf8(begin, end, PyUnicode_4BYTE_DATA(str)); break;
    }
    return str;
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

// Whether one of the characters of a str kind is a lone surrogate, which has
// no UTF-8 form. An OR over the whole text, which the compiler vectorises.
template <class Char>
bool has_surrogate(const Char* chars, size_t length) {
    uint32_t found = 0;
    for (size_t i = 0; i < length; ++i) found |= static_cast<uint32_t>(chars[i]) - 0xD800u < 0x800u;
    return found != 0;
}

// The UTF-8 length of the characters of one str kind, free of surrogates.
// The extra bytes are counted in 32 bits, a block at a time, so that the loop
// runs on vector lanes of the characters' own width.
template <class Char>
size_t utf8_length(const Char* chars, size_t length) {
    constexpr size_t BLOCK = size_t{1} << 28;  // at most three extra bytes each: no 32-bit overflow
    size_t bytes = length;
    for (size_t at = 0; at < length; at += BLOCK) {
        const size_t stop = length - at < BLOCK ? length : at + BLOCK;
        uint32_t extra = 0;
        for (size_t i = at; i < stop; ++i) {
            const uint32_t cp = chars[i];
            extra += (cp >= 0x80) + (cp >= 0x800) + (cp >= 0x10000);
        }
        bytes += extra;
    }
    return bytes;
}

template <class Char>
void encode_utf8(const Char* chars, size_t length, char* write) {
    for (size_t i = 0; i < length; ++i) {
        const uint32_t cp = chars[i];
        if (cp < 0x80) {
            *write++ = static_cast<char>(cp);
        } else if (cp < 0x800) {
            *write++ = static_cast<char>(0xC0 | (cp >> 6));
            *write++ = static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            *write++ = static_cast<char>(0xE0 | (cp >> 12));
            *write++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            *write++ = static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            *write++ = static_cast<char>(0xF0 | (cp >> 18));
            *write++ = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            *write++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            *write++ = static_cast<char>(0x80 | (cp & 0x3F));
        }
    }
}

// Calls visit(chars, length) with the characters of a str in their own width.
template <class Visit>
auto visit_str_chars(PyObject* str, Visit visit) {
    const size_t length = static_cast<size_t>(PyUnicode_GET_LENGTH(str));
    switch (PyUnicode_KIND(str)) {
        case PyUnicode_1BYTE_KIND: return visit(PyUnicode_1BYTE_DATA(str), length);
        case PyUnicode_2BYTE_KIND: return visit(PyUnicode_2BYTE_DATA(str), length);
        default: return visit(PyUnicode_4BYTE_DATA(str), length);
    }
}

// Whether a str has a UTF-8 form: it holds no lone surrogate.
inline bool has_utf8_form(PyObject* str) {
    if (PyUnicode_IS_COMPACT_ASCII(str) || PyUnicode_KIND(str) == PyUnicode_1BYTE_KIND) return true;
    return !visit_str_chars(str, [](const auto* chars, size_t length) { return has_surrogate(chars, length); });
}

// The UTF-8 of a str appended to `out`, failing with the interpreter's error
// set where str_utf8 fails (a lone surrogate). Unlike str_utf8 it leaves no
// UTF-8 copy cached in a non-ASCII str, which would live as long as the str:
// converting a large input would otherwise grow the input itself.
inline bool append_str_utf8(PyObject* str, std::string& out) {
    if (PyUnicode_IS_COMPACT_ASCII(str)) {
        out.append(static_cast<const char*>(PyUnicode_DATA(str)), static_cast<size_t>(PyUnicode_GET_LENGTH(str)));
        return true;
    }
    return visit_str_chars(str, [&](const auto* chars, size_t length) {
        if (sizeof(*chars) > 1 && has_surrogate(chars, length)) {
            std::string_view text;
            if (!str_utf8(str, text)) return false;
            out.append(text);
            return true;
        }
        const size_t at = out.size();
        out.resize(at + utf8_length(chars, length));
        encode_utf8(chars, length, out.data() + at);
        return true;
    });
}

}  // namespace velkin::python
