// `velkin._native.import_traces`: the importers, run without the interpreter lock.
#include "native/import_binding.hpp"

#include <array>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "import/import.hpp"
#include "native/binding.hpp"
#include "platform/mapped_file.hpp"
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

[[noreturn]] void bad_inputs() {
    PyErr_SetString(PyExc_TypeError, "argument 'inputs': expected a list of (name, bytes or path) pairs");
    throw python::PythonErrorSet{};
}

// The inputs' bytes stay owned by their Python objects or mappings while the lock is released.
struct Sources {
    std::vector<Ref> owners;
    std::vector<platform::MappedFile> files;
    std::vector<imports::Input> inputs;
};

Sources read_sources(PyObject* list) {
    if (!PyList_Check(list)) bad_inputs();
    Sources sources;
    Py_ssize_t count = PyList_GET_SIZE(list);
    sources.files.reserve(static_cast<size_t>(count));
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* pair = PyList_GET_ITEM(list, i);
        if (!PyTuple_Check(pair) || PyTuple_GET_SIZE(pair) != 2 || !PyUnicode_Check(PyTuple_GET_ITEM(pair, 0)))
            bad_inputs();
        std::string name = str_text(PyTuple_GET_ITEM(pair, 0));
        PyObject* source = PyTuple_GET_ITEM(pair, 1);
        if (PyBytes_Check(source)) {
            sources.owners.push_back(Ref::borrow(source));
            std::string_view text(PyBytes_AS_STRING(source), static_cast<size_t>(PyBytes_GET_SIZE(source)));
            sources.inputs.push_back(imports::Input{std::move(name), text});
        } else if (PyUnicode_Check(source)) {
            Result<platform::MappedFile> file = platform::MappedFile::open(str_text(source));
            if (!file) python::throw_value_error(file.error().message);
            sources.files.push_back(std::move(file).value());
            sources.inputs.push_back(imports::Input{std::move(name), sources.files.back().text()});
        } else {
            bad_inputs();
        }
    }
    return sources;
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
        if (!format) python::throw_value_error("unknown format `" + name + "`: expected one of " + imports::format_names());
    }
    Sources sources = read_sources(inputs_arg);
    std::optional<Result<imports::Imported>> imported;
    {
        LockReleased unlocked;
        imported.emplace(imports::import_inputs(sources.inputs, format));
    }
    if (!*imported) python::throw_value_error(imported->error().message);
    return std::move(*imported).value();
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
        // Pages of the joined bytes are taken as they are written, while each piece is let go once copied.
        Ref data = checked(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(result.size())));
        char* at = PyBytes_AS_STRING(data.get());
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
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), checked(PyTuple_Pack(2, head.get(), body.get())).release());
        }
        Ref summary = summary_dict(result.summary);
        return checked(PyTuple_Pack(2, list.get(), summary.get())).release();
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
        Sources sources = read_sources(list.get());
        std::optional<Result<imports::Format>> detected;
        {
            LockReleased unlocked;
            detected.emplace(imports::detect_format(sources.inputs.front()));
        }
        if (!*detected) Py_RETURN_NONE;
        return checked(python::new_str(imports::format_name(detected->value()))).release();
    });
}

}  // namespace velkin::native
