#pragma once
// A bytes object filled by appending. It grows in place through the
// interpreter's resize, which lets the allocator move large blocks without
// copying, so a large result is neither copied while it grows nor at the end.
#include <algorithm>
#include <cstring>
#include <string_view>

#include "python/errors.hpp"

namespace velkin::python {

class BytesBuilder {
public:
    explicit BytesBuilder(size_t capacity) : capacity_(std::max<size_t>(capacity, 1)) {
        bytes_ = checked(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(capacity_)));
    }

    void append(std::string_view data) {
        if (data.size() > capacity_ - size_) grow(size_ + data.size());
        std::memcpy(PyBytes_AS_STRING(bytes_.get()) + size_, data.data(), data.size());
        size_ += data.size();
    }

    Ref finish() {
        resize(size_);
        return std::move(bytes_);
    }

private:
    void grow(size_t needed) { resize(std::max(needed, capacity_ * 2)); }

    void resize(size_t capacity) {
        PyObject* object = bytes_.release();
        if (_PyBytes_Resize(&object, static_cast<Py_ssize_t>(capacity)) < 0) throw PythonErrorSet{};
        bytes_ = Ref::steal(object);
        capacity_ = capacity;
    }

    Ref bytes_;
    size_t size_ = 0;
    size_t capacity_;
};

}  // namespace velkin::python
