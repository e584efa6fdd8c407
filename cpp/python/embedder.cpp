#include "python/embedder.hpp"

#include "python/strings.hpp"

namespace velkin::python {

namespace {

// A sequence in the protocol's sense that is not a str (a str is a sequence of str).
bool is_vector_like(PyObject* object) { return PySequence_Check(object) && !PyUnicode_Check(object); }

// The lengths of other sequences come from their own __len__: room for them
// grows with what is actually read.
bool has_true_length(PyObject* object) { return PyList_CheckExact(object) || PyTuple_CheckExact(object); }

bool read_embedding(PyObject* row, diff::Embedding& out) {
    if (!is_vector_like(row)) return false;
    Py_ssize_t size = PySequence_Size(row);
    if (size < 0) return false;
    if (has_true_length(row)) out.reserve(static_cast<size_t>(size));
    for (Py_ssize_t i = 0; i < size; ++i) {
        Ref item = Ref::steal(PySequence_GetItem(row, i));
        if (!item) return false;
        double value = PyFloat_AsDouble(item.get());
        if (value == -1.0 && PyErr_Occurred()) return false;
        out.push_back(static_cast<float>(value));
    }
    return true;
}

// Any count but one embedding per text gives the empty statistic, so a result
// of another length is not read at all.
bool read_embeddings(PyObject* result, size_t expected, std::vector<diff::Embedding>& out) {
    if (!is_vector_like(result)) return false;
    Py_ssize_t size = PySequence_Size(result);
    if (size < 0 || static_cast<size_t>(size) != expected) return false;
    out.reserve(expected);
    for (Py_ssize_t i = 0; i < size; ++i) {
        Ref row = Ref::steal(PySequence_GetItem(result, i));
        if (!row) return false;
        out.emplace_back();
        if (!read_embedding(row.get(), out.back())) return false;
    }
    return true;
}

}  // namespace

std::vector<diff::Embedding> BoxedEmbedder::embed(const std::vector<std::string>& texts) {
    std::vector<diff::Embedding> embeddings;
    bool ok = false;
    if (Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(texts.size())))) {
        ok = true;
        for (size_t i = 0; i < texts.size() && ok; ++i) {
            PyObject* text = new_str(texts[i]);
            if (!text)
                ok = false;
            else
                PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), text);
        }
        if (ok) {
            Ref result = Ref::steal(PyObject_CallOneArg(callable_.get(), list.get()));
            ok = result && read_embeddings(result.get(), texts.size(), embeddings);
        }
    }
    if (ok) return embeddings;
    PyErr_Clear();
    return {};
}

}  // namespace velkin::python
