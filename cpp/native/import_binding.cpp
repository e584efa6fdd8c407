// `velkin._native.import_traces`: the importers, run without the interpreter lock.
#include "native/import_binding.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "import/import.hpp"
#include "import/readable.hpp"
#include "native/binding.hpp"
#include "native/interruptible.hpp"
#include "platform/file_bytes.hpp"
#include "platform/memory.hpp"
#include "python/args.hpp"
#include "python/errors.hpp"
#include "python/result_dict.hpp"

namespace velkin::native {

namespace {

using python::checked;
using python::Ref;

std::string str_text(PyObject* text) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(text, &size);
    if (!data) throw python::PythonErrorSet{};
    return std::string(data, static_cast<size_t>(size));
}

// An input's name as messages show it: the bytes of a file name that are not UTF-8 as \\xNN.
std::string shown_name(PyObject* name) {
    Ref bytes = checked(PyUnicode_EncodeFSDefault(name));
    Ref shown = checked(
        PyUnicode_DecodeUTF8(PyBytes_AS_STRING(bytes.get()), PyBytes_GET_SIZE(bytes.get()), "backslashreplace"));
    return str_text(shown.get());
}

// A path as the system names the file: any bytes, as os.fsencode gives them.
std::string system_path(PyObject* path) {
    Ref bytes = checked(PyUnicode_EncodeFSDefault(path));
    return std::string(PyBytes_AS_STRING(bytes.get()), static_cast<size_t>(PyBytes_GET_SIZE(bytes.get())));
}

[[noreturn]] void bad_inputs() {
    PyErr_SetString(PyExc_TypeError, "argument 'inputs': expected a list of (name, bytes or path) pairs");
    throw python::PythonErrorSet{};
}

// The inputs as the Python side names them: paths are read once the lock is
// released, so that a slow or hung file system never holds the interpreter.
struct Sources {
    std::vector<std::string> names;
    std::vector<std::optional<std::string>> paths;  // per input: its path, or none for bytes
    std::vector<std::string_view> bytes;            // owned by the Python objects in `owners`
    bool owns_all() const {
        return std::all_of(paths.begin(), paths.end(), [](const auto& path) { return path; });
    }
};

Sources read_sources(PyObject* list, std::vector<Ref>& owners) {
    if (!PyList_Check(list)) bad_inputs();
    Sources sources;
    Py_ssize_t count = PyList_GET_SIZE(list);
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* pair = PyList_GET_ITEM(list, i);
        if (!PyTuple_Check(pair) || PyTuple_GET_SIZE(pair) != 2 || !PyUnicode_Check(PyTuple_GET_ITEM(pair, 0)))
            bad_inputs();
        sources.names.push_back(shown_name(PyTuple_GET_ITEM(pair, 0)));
        PyObject* source = PyTuple_GET_ITEM(pair, 1);
        if (PyBytes_Check(source)) {
            owners.push_back(Ref::borrow(source));
            sources.paths.emplace_back();
            sources.bytes.emplace_back(PyBytes_AS_STRING(source), static_cast<size_t>(PyBytes_GET_SIZE(source)));
        } else if (PyUnicode_Check(source)) {
            sources.paths.emplace_back(system_path(source));
            sources.bytes.emplace_back();
        } else {
            bad_inputs();
        }
    }
    return sources;
}

// Without the lock: the files read, then `use` called with every input; a file
// that cannot be read is its error, also kept in `unread` when given.
template <class Use>
auto with_inputs(const Sources& sources, std::optional<Error>* unread, Use&& use)
    -> decltype(use(std::vector<imports::Input>{})) {
    std::vector<platform::FileBytes> files;
    files.reserve(sources.names.size());
    std::vector<imports::Input> inputs;
    for (size_t i = 0; i < sources.names.size(); ++i) {
        std::string_view text = sources.bytes[i];
        if (sources.paths[i]) {
            Result<platform::FileBytes> file = platform::FileBytes::read(*sources.paths[i], SIZE_MAX, sources.names[i]);
            if (!file) {
                if (unread) *unread = file.error();
                return file.take_error();
            }
            files.push_back(std::move(file).value());
            text = files.back().text();
        }
        inputs.push_back(imports::Input{sources.names[i], text});
    }
    return use(inputs);
}

Ref summary_dict(const imports::Summary& summary) {
    using Dict = python::ResultDict<python::OnFailure::Raise>;
    Ref formats = checked(PyList_New(0));
    for (imports::Format format : summary.formats) {
        Ref text = checked(python::new_str(imports::format_name(format)));
        if (PyList_Append(formats.get(), text.get()) < 0) throw python::PythonErrorSet{};
    }
    // Kinds come from the input: each is a key with its whole text (a NUL included).
    Ref skipped = checked(PyDict_New());
    for (const auto& [kind, count] : summary.skipped) {
        Ref key = checked(PyUnicode_DecodeUTF8(kind.data(), static_cast<Py_ssize_t>(kind.size()), nullptr));
        Ref value = checked(PyLong_FromUnsignedLongLong(count));
        if (PyDict_SetItem(skipped.get(), key.get(), value.get()) < 0) throw python::PythonErrorSet{};
    }
    Ref warnings = checked(PyList_New(0));
    for (const std::string& message : summary.warnings.kept) {
        Ref text = checked(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
        if (PyList_Append(warnings.get(), text.get()) < 0) throw python::PythonErrorSet{};
    }
    return Dict()
        .set("formats", std::move(formats))
        .set("conversations", summary.conversations)
        .set("records", summary.records)
        .set("skipped", std::move(skipped))
        .set("responses_without_content", summary.responses_without_content)
        .set("responses_without_model", summary.responses_without_model)
        .set("warnings", std::move(warnings))
        .set("warning_count", summary.warnings.count)
        .take();
}

}  // namespace

namespace {

// The import the arguments ask for, run without the interpreter lock.
imports::Imported run_import(const char* function, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr std::array<const char*, 2> PARAMETERS{"inputs", "format"};
    std::array<PyObject*, 2> bound{};
    python::bind_arguments(python::Signature{function, PARAMETERS, 1}, args, nargs, kwnames, bound);
    auto [inputs_arg, format_arg] = bound;
    std::optional<imports::Format> format;
    if (format_arg && format_arg != Py_None) {
        if (!PyUnicode_Check(format_arg)) {
            PyErr_SetString(PyExc_TypeError, "argument 'format': expected a str or None");
            throw python::PythonErrorSet{};
        }
        std::string name = str_text(format_arg);
        format = imports::format_from_name(name);
        if (!format)
            python::throw_value_error("unknown format `" + name + "`: expected one of " + imports::format_names());
    }
    std::vector<Ref> owners;
    Sources sources = read_sources(inputs_arg, owners);
    const Ownership ownership = sources.owns_all() ? Ownership::Owns : Ownership::Borrows;
    Result<imports::Imported> imported = interruptible(
        [sources = std::move(sources), format] {
            return with_inputs(sources, nullptr, [&](const std::vector<imports::Input>& inputs) {
                return imports::import_inputs(inputs, format);
            });
        },
        ownership);
    if (!imported) python::throw_value_error(imported.error().message);
    return std::move(imported).value();
}

// A piece as bytes; the piece is let go at once, so the output is held about once, not twice.
Ref bytes_of(std::string& piece) {
    Ref bytes = checked(PyBytes_FromStringAndSize(piece.data(), static_cast<Py_ssize_t>(piece.size())));
    std::string().swap(piece);
    return bytes;
}

}  // namespace

PyObject* import_traces(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return python::guarded([&] {
        imports::Imported result = run_import("import_traces", args, nargs, kwnames);
        if (std::optional<std::string> too_large = imports::unreadable_trace(result.size()))
            python::throw_value_error("cannot import: " + *too_large +
                                      " (import the inputs in parts, each to a file of its own)");
        // The joined bytes' pages are mapped in one call before the copy; each piece is let go once copied.
        Ref data = checked(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(result.size())));
        char* at = PyBytes_AS_STRING(data.get());
        platform::map_for_writing(at, result.size());
        for (std::string& piece : result.pieces) {
            std::memcpy(at, piece.data(), piece.size());
            at += piece.size();
            std::string().swap(piece);
        }
        Ref summary = summary_dict(result.summary);
        return checked(PyTuple_Pack(2, data.get(), summary.get())).release();
    });
}

PyObject* import_conversations(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return python::guarded([&] {
        imports::Imported result = run_import("import_conversations", args, nargs, kwnames);
        size_t count = result.pieces.size() / 2;
        Ref list = checked(PyList_New(static_cast<Py_ssize_t>(count)));
        for (size_t i = 0; i < count; ++i) {
            Ref head = bytes_of(result.pieces[2 * i]);
            Ref body = bytes_of(result.pieces[2 * i + 1]);
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i),
                            checked(PyTuple_Pack(2, head.get(), body.get())).release());
        }
        Ref summary = summary_dict(result.summary);
        return checked(PyTuple_Pack(2, list.get(), summary.get())).release();
    });
}

PyObject* unreadable_trace(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return python::guarded([&] {
        static constexpr std::array<const char*, 1> PARAMETERS{"size"};
        std::array<PyObject*, 1> bound{};
        python::bind_arguments(python::Signature{"unreadable_trace", PARAMETERS, 1}, args, nargs, kwnames, bound);
        unsigned long long size = PyLong_AsUnsignedLongLong(bound[0]);
        if (size == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw python::PythonErrorSet{};
        std::optional<std::string> why = imports::unreadable_trace(size);
        if (!why) return Ref::borrow(Py_None).release();
        return checked(python::new_str(*why)).release();
    });
}

PyObject* detect_format(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return python::guarded([&] {
        static constexpr std::array<const char*, 1> PARAMETERS{"source"};
        std::array<PyObject*, 1> bound{};
        python::bind_arguments(python::Signature{"detect_format", PARAMETERS, 1}, args, nargs, kwnames, bound);
        Ref name = PyUnicode_Check(bound[0]) ? Ref::borrow(bound[0]) : checked(python::new_str("<input>"));
        Ref pair = checked(PyTuple_Pack(2, name.get(), bound[0]));
        Ref list = checked(PyList_New(0));
        if (PyList_Append(list.get(), pair.get()) < 0) throw python::PythonErrorSet{};
        std::vector<Ref> owners;
        Sources sources = read_sources(list.get(), owners);
        std::optional<Error> unread;
        Result<imports::Format> detected = interruptible(
            [&] {
                return with_inputs(sources, &unread, [](const std::vector<imports::Input>& inputs) {
                    return imports::detect_format(inputs.front());
                });
            },
            Ownership::Borrows);
        if (unread) python::throw_value_error(unread->message);
        if (!detected) Py_RETURN_NONE;
        return checked(python::new_str(imports::format_name(detected.value()))).release();
    });
}

}  // namespace velkin::native
