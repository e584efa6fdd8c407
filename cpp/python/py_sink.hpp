#pragma once
// A Sink for the templated JSON reader that builds Python objects directly,
// so parse_agentlog never goes through json::Value. Object keys repeat on
// every line; a small direct-mapped cache hands out the same str objects
// again (their hashes are then computed only once).
#include <array>
#include <string_view>
#include <vector>

#include "python/errors.hpp"
#include "python/strings.hpp"

namespace velkin::python {

class PySink {
public:
    using Value = Ref;
    // Elements of the arrays being read wait on one shared stack, so reading
    // an array allocates nothing but its list.
    struct Array {
        size_t start;
    };
    using Object = Ref;

    Value make_null() { return Ref::borrow(Py_None); }
    Value make_bool(bool value) { return Ref::borrow(value ? Py_True : Py_False); }
    Value make_uint(uint64_t value) { return checked(PyLong_FromUnsignedLongLong(value)); }
    Value make_int(int64_t value) { return checked(PyLong_FromLongLong(value)); }
    Value make_double(double value) { return checked(PyFloat_FromDouble(value)); }
    Value make_string(std::string_view utf8) { return checked(new_str(utf8)); }

    Array begin_array() { return Array{elements_.size()}; }
    void array_push(Array&, Value&& value) { elements_.push_back(std::move(value)); }
    Value end_array(Array&& array) {
        const size_t count = elements_.size() - array.start;
        Ref list = checked(PyList_New(static_cast<Py_ssize_t>(count)));
        for (size_t i = 0; i < count; ++i)
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), elements_[array.start + i].release());
        elements_.resize(array.start);
        return list;
    }

    Object begin_object() { return checked(PyDict_New()); }
    void object_insert(Object& object, std::string_view key, Value&& value) {
        Ref text = key_str(key);
        if (PyDict_SetItem(object.get(), text.get(), value.get()) < 0) throw PythonErrorSet{};
    }
    Value end_object(Object&& object) { return std::move(object); }

    // A str for a key, from the cache when it is a short ASCII key seen before.
    Ref key_str(std::string_view key) {
        if (key.size() > MAX_CACHED_KEY) return checked(new_str(key));
        Ref& slot = key_cache_[slot_of(key)];
        if (PyObject* cached = slot.get()) {
            if (static_cast<size_t>(PyUnicode_GET_LENGTH(cached)) == key.size() &&
                std::memcmp(PyUnicode_1BYTE_DATA(cached), key.data(), key.size()) == 0)
                return Ref::borrow(cached);
        }
        Ref text = checked(new_str(key));
        if (PyUnicode_IS_ASCII(text.get())) {
            if (PyObject_Hash(text.get()) == -1) throw PythonErrorSet{};
            slot = Ref::borrow(text.get());
        }
        return text;
    }

private:
    static constexpr size_t MAX_CACHED_KEY = 32;
    static constexpr size_t KEY_CACHE_SLOTS = 512;

    static size_t slot_of(std::string_view key) {
        uint32_t hash = 2166136261u;
        for (char c : key) hash = (hash ^ static_cast<unsigned char>(c)) * 16777619u;
        return (hash ^ (hash >> 15)) & (KEY_CACHE_SLOTS - 1);
    }

    std::array<Ref, KEY_CACHE_SLOTS> key_cache_;
    std::vector<Ref> elements_;
};

}  // namespace velkin::python
