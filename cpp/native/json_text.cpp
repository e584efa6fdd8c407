#include "native/json_text.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
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
unsigned hidden_code(const unsigned char* lead, size_t left) {
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

// The escape of an ASCII character json.dumps writes escaped, or null.
const char* short_escape(unsigned char c) {
    switch (c) {
        case '"': return "\\\"";
        case '\\': return "\\\\";
        case '\n': return "\\n";
        case '\r': return "\\r";
        case '\t': return "\\t";
        case '\b': return "\\b";
        case '\f': return "\\f";
        default: return nullptr;
    }
}

enum class Look : uint8_t { None, Escape, Hidden };

// What a byte asks of the writer: an escape (controls, the quote, the backslash), a look at the character
// it starts (DEL, and the lead bytes of the C1 controls, U+061C and the bidi controls), or nothing.
constexpr std::array<Look, 256> LOOK = [] {
    std::array<Look, 256> look{};
    for (unsigned c = 0; c < 0x20; ++c) look[c] = Look::Escape;
    look['"'] = look['\\'] = Look::Escape;
    look[0x7f] = look[0xc2] = look[0xd8] = look[0xe2] = Look::Hidden;
    return look;
}();

// Whether one of eight bytes needs a look of its own: a control, the quote, the backslash, DEL or a byte
// of a non-ASCII character. Exact for the word as a whole, which is all that is asked.
bool needs_look(uint64_t word) {
    constexpr uint64_t ONES = 0x0101010101010101ull, HIGH = 0x8080808080808080ull;
    const auto zero_byte = [](uint64_t x) { return (x - ONES) & ~x; };
    const uint64_t control = (word - ONES * 0x20) & ~word;
    return ((control | zero_byte(word ^ (ONES * '"')) | zero_byte(word ^ (ONES * '\\')) |
             zero_byte(word ^ (ONES * 0x7f)) | word) &
            HIGH) != 0;
}

// Runs of characters written as they are go in one append each; eight bytes at a time are passed over
// while none needs a look.
void append_string(std::string& out, std::string_view text) {
    const auto* data = reinterpret_cast<const unsigned char*>(text.data());
    const size_t size = text.size();
    out.push_back('"');
    size_t plain = 0;  // start of the run not yet appended
    size_t i = 0;
    while (i < size) {
        if (i + 8 <= size) {
            uint64_t word;
            std::memcpy(&word, data + i, 8);
            if (!needs_look(word)) {
                i += 8;
                continue;
            }
        }
        for (const size_t stop = std::min(size, i + 8); i < stop; ++i) {
            const unsigned char c = data[i];
            if (LOOK[c] == Look::None) continue;
            const unsigned hidden = LOOK[c] == Look::Hidden ? hidden_code(data + i, size - i) : 0;
            if (c >= 0x7f && !hidden) continue;
            out.append(text.data() + plain, i - plain);
            if (const char* escape = short_escape(c)) {
                out += escape;
            } else {
                append_escape(out, hidden ? hidden : c);
                i += hidden < 0x80 ? 0 : hidden < 0x800 ? 1 : 2;
            }
            plain = i + 1;
        }
    }
    out.append(text.data() + plain, size - plain);
    out.push_back('"');
}

// The shortest digits that read back as the value, which float.__repr__ and std::to_chars both
// write, laid out as float.__repr__ lays them out: positional from 1e-4 up to below 1e16, else
// with an exponent of at least two digits.
void append_float_repr(std::string& out, double value) {
    std::array<char, 32> shortest;
    const auto written = std::to_chars(shortest.data(), shortest.data() + shortest.size(), value,
                                       std::chars_format::scientific);
    std::string_view text(shortest.data(), static_cast<size_t>(written.ptr - shortest.data()));
    if (text.front() == '-') {
        out.push_back('-');
        text.remove_prefix(1);
    }
    const size_t e = text.find('e');
    std::string digits(text.substr(0, e));
    if (digits.size() > 1) digits.erase(1, 1);  // the point after the first digit
    int exponent = 0;
    std::from_chars(text.data() + e + (text[e + 1] == '+' ? 2 : 1), text.data() + text.size(), exponent);
    const int point = exponent + 1;  // digits before the decimal point
    const int count = static_cast<int>(digits.size());
    if (point <= -4 || point > 16) {
        out.push_back(digits.front());
        if (count > 1) {
            out.push_back('.');
            out.append(digits, 1);
        }
        out += exponent < 0 ? "e-" : "e+";
        const int magnitude = exponent < 0 ? -exponent : exponent;
        if (magnitude < 10) out.push_back('0');
        out += std::to_string(magnitude);
    } else if (point <= 0) {
        out += "0.";
        out.append(static_cast<size_t>(-point), '0');
        out += digits;
    } else if (point >= count) {
        out += digits;
        out.append(static_cast<size_t>(point - count), '0');
        out += ".0";
    } else {
        out.append(digits, 0, static_cast<size_t>(point));
        out.push_back('.');
        out.append(digits, static_cast<size_t>(point));
    }
}

// A line break and the indentation of every depth a document reaches, appended as one piece.
const std::string LINE_BREAKS = "\n" + std::string(2 * (MAX_DEPTH + 1), ' ');

void newline(std::string& out, int depth) { out.append(LINE_BREAKS.data(), 1 + 2 * static_cast<size_t>(depth)); }

std::string_view utf8_of(PyObject* text) {
    Py_ssize_t size = 0;
    const char* bytes = PyUnicode_AsUTF8AndSize(text, &size);
    if (!bytes) throw python::PythonErrorSet{};
    return {bytes, static_cast<size_t>(size)};
}

void write_value(JsonText& out, PyObject* value, int depth) {
    if (depth > MAX_DEPTH) fail(PyExc_RecursionError, "a document nested too deeply (%.200s)", value);
    if (value == Py_None) {
        out.null();
    } else if (value == Py_True || value == Py_False) {
        out.boolean(value == Py_True);
    } else if (PyUnicode_CheckExact(value)) {
        out.text(utf8_of(value));
    } else if (PyLong_CheckExact(value)) {
        int overflow = 0;
        long long number = PyLong_AsLongLongAndOverflow(value, &overflow);
        if (overflow == 0 && !(number == -1 && PyErr_Occurred())) {
            out.number(static_cast<int64_t>(number));
        } else {
            PyErr_Clear();
            Ref text = python::checked(PyObject_Str(value));
            out.number_text(utf8_of(text.get()));
        }
    } else if (PyFloat_CheckExact(value)) {
        out.number(PyFloat_AS_DOUBLE(value));
    } else if (PyList_CheckExact(value) || PyTuple_CheckExact(value)) {
        // The items are read through a fast sequence, which a list or tuple is itself.
        const Py_ssize_t size = PySequence_Fast_GET_SIZE(value);
        out.begin_array(static_cast<size_t>(size));
        for (Py_ssize_t i = 0; i < size; ++i) write_value(out, PySequence_Fast_GET_ITEM(value, i), depth + 1);
        out.end_array();
    } else if (PyDict_CheckExact(value)) {
        out.begin_object();
        Py_ssize_t position = 0;
        PyObject *key = nullptr, *item = nullptr;
        // Borrowed references: a dict of exact types runs no code that could change it.
        while (PyDict_Next(value, &position, &key, &item)) {
            if (!PyUnicode_CheckExact(key)) fail(PyExc_TypeError, "a document key is a '%.200s', not a str", key);
            out.key(utf8_of(key));
            write_value(out, item, depth + 1);
        }
        out.end_object();
    } else {
        fail(PyExc_TypeError, "a document holds a '%.200s', which the report text does not write", value);
    }
}

std::string document_text(const char* function, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    constexpr std::array<const char*, 1> parameters{"document"};
    std::array<PyObject*, 1> bound{};
    python::bind_arguments(python::Signature{function, parameters, 1}, args, nargs, kwnames, bound);
    JsonText out;
    write_value(out, bound[0], 0);
    return std::move(out.take_pieces().front());
}

}  // namespace

void JsonText::before_value() {
    if (after_key_) {
        after_key_ = false;
        return;
    }
    if (depth_ > 0) {
        if (!empty_) out_.push_back(',');
        newline(out_, depth_);
    }
    empty_ = false;
}

void JsonText::open(char bracket) {
    before_value();
    out_.push_back(bracket);
    ++depth_;
    empty_ = true;
}

void JsonText::close(char bracket) {
    --depth_;
    if (!empty_) newline(out_, depth_);
    out_.push_back(bracket);
    empty_ = false;
}

void JsonText::splice(std::vector<JsonText>& items) {
    pieces_.push_back(std::move(out_));
    for (JsonText& item : items) {
        for (std::string& piece : item.take_pieces()) pieces_.push_back(std::move(piece));
        empty_ = empty_ && item.empty_;
    }
    out_ = std::string();
}

std::vector<std::string> JsonText::take_pieces() {
    std::vector<std::string> pieces;
    pieces.swap(pieces_);
    pieces.push_back(std::move(out_));
    out_ = std::string();
    return pieces;
}

void JsonText::key(std::string_view name) {
    before_value();
    append_string(out_, name);
    out_ += ": ";
    after_key_ = true;
}

void JsonText::number(uint64_t value) {
    std::array<char, 24> digits;
    const auto written = std::to_chars(digits.data(), digits.data() + digits.size(), value);
    scalar(std::string_view(digits.data(), static_cast<size_t>(written.ptr - digits.data())));
}

void JsonText::number(int64_t value) {
    std::array<char, 24> digits;
    const auto written = std::to_chars(digits.data(), digits.data() + digits.size(), value);
    scalar(std::string_view(digits.data(), static_cast<size_t>(written.ptr - digits.data())));
}

void JsonText::number(double value) {
    if (value != value) return scalar("NaN");
    if (value == HUGE_VAL || value == -HUGE_VAL) return scalar(value > 0 ? "Infinity" : "-Infinity");
    before_value();
    append_float_repr(out_, value);
}

void JsonText::text(std::string_view utf8) {
    before_value();
    append_string(out_, utf8);
}

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
