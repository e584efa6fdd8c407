#pragma once
// A report document as the command prints it: the text of
// json.dumps(document, indent=2, ensure_ascii=False), written natively, except that the
// characters a terminal acts on (DEL, C1 controls, bidi controls) are written as \u escapes.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "python/module_state.hpp"
#include "python/refs.hpp"

namespace velkin::native {

// The document's text, written as a sink of the report builders and of the walk over Python objects:
// values and members one by one, as nested containers open and close. Strings are well-formed UTF-8.
class JsonText {
public:
    void begin_object() { open('{'); }
    void end_object() { close('}'); }
    void begin_array(size_t) { open('['); }
    void end_array() { close(']'); }
    void key(python::KeyName name) { key(std::string_view(name.text(), name.size())); }
    void key(std::string_view name);

    JsonText() = default;
    // Items of a container open `depth` levels deep, written apart from the document (on another
    // thread) to be spliced into it; `first` when no item comes before them.
    JsonText(int depth, bool first) : depth_(depth), empty_(first) {}

    void null() { scalar("null"); }
    void boolean(bool value) { scalar(value ? "true" : "false"); }
    void number(uint64_t value);
    void number(int64_t value);
    // As float.__repr__ writes it (NaN and Infinity as json.dumps does).
    void number(double value);
    // An integer already written in decimal.
    void number_text(std::string_view digits) { scalar(digits); }
    void text(std::string_view utf8);

    // Appends the items written apart, in order, to the innermost open container.
    void splice(std::vector<JsonText>& items);
    // The text, in the pieces it was written in.
    std::vector<std::string> take_pieces();

private:
    void open(char bracket);
    void close(char bracket);
    void scalar(std::string_view text) {
        before_value();
        out_ += text;
    }
    // The comma and line before a value, unless it is a member's, which follows its key.
    void before_value();

    std::vector<std::string> pieces_;  // the text before out_
    std::string out_;
    int depth_ = 0;
    bool empty_ = true;  // nothing written yet in the innermost open container
    bool after_key_ = false;
};

PyObject* json_text(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* json_utf8(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

inline constexpr const char JSON_TEXT_DOC[] =
    "json_text(document)\n--\n\n"
    "The text json.dumps(document, indent=2, ensure_ascii=False) gives, for a document\n"
    "of dicts with str keys, lists, tuples, strs, ints, floats, bools and None (exact\n"
    "types), except that DEL, the C1 controls and the bidi controls (U+061C, U+200E,\n"
    "U+200F, U+202A-202E, U+2066-2069) are written as \\u escapes. Raises TypeError on\n"
    "anything else, ValueError on a str that is not valid Unicode text and\n"
    "RecursionError past 100 levels.";

// What a command writes to a UTF-8 output: the text never becomes a str.
inline constexpr const char JSON_UTF8_DOC[] =
    "json_utf8(document)\n--\n\n"
    "json_text(document) encoded as UTF-8, made without the str.";

}  // namespace velkin::native
