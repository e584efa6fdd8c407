#pragma once
// A document built as Python objects, written as a sink of the report
// builders: the dicts, lists and scalars a report's JSON text would show,
// each dict's keys interned once in the module state. What a failure of the
// interpreter becomes is the sink's parameter, as for ResultDict.
#include <cstdint>
#include <string_view>
#include <vector>

#include "python/module_state.hpp"
#include "python/result_dict.hpp"
#include "python/strings.hpp"

namespace velkin::python {

template <OnFailure policy>
class DictSink {
public:
    void begin_object() { open(made<policy>(PyDict_New()), false); }
    void end_object() { close(); }
    // A list is made at its final size and filled in order.
    void begin_array(size_t size) { open(made<policy>(PyList_New(static_cast<Py_ssize_t>(size))), true); }
    void end_array() { close(); }
    void key(KeyName name) {
        key_ = module_state()->key(name);
        if (!key_) fail("cannot fill a report dict: ");
    }

    void null() { put(Ref::borrow(Py_None)); }
    void boolean(bool value) { put(Ref::borrow(value ? Py_True : Py_False)); }
    void number(uint64_t value) { put(made<policy>(PyLong_FromUnsignedLongLong(value))); }
    void number(double value) { put(made<policy>(PyFloat_FromDouble(value))); }
    void text(std::string_view utf8) { put(made<policy>(new_str(utf8))); }

    // The document, once its outermost container is closed.
    Ref take() { return std::move(document_); }

private:
    struct Open {
        Ref container;
        PyObject* key;  // the member it is the value of, in the container around it
        bool list;
        Py_ssize_t filled = 0;
    };

    [[noreturn]] static void fail(const char* what) {
        if constexpr (policy == OnFailure::Panic) throw Panic(what + take_exception_text());
        throw PythonErrorSet{};
    }

    void open(Ref container, bool list) { open_.push_back(Open{std::move(container), key_, list}); }

    void close() {
        Open done = std::move(open_.back());
        open_.pop_back();
        key_ = done.key;
        put(std::move(done.container));
    }

    void put(Ref value) {
        if (open_.empty()) {
            document_ = std::move(value);
            return;
        }
        Open& into = open_.back();
        if (into.list) {
            PyList_SET_ITEM(into.container.get(), into.filled++, value.release());
        } else if (PyDict_SetItem(into.container.get(), key_, value.get()) < 0) {
            fail("cannot fill a report dict: ");
        }
    }

    std::vector<Open> open_;
    PyObject* key_ = nullptr;  // borrowed from the module state
    Ref document_;
};

}  // namespace velkin::python
