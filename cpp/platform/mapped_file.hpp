#pragma once
// A file's bytes mapped read-only, so that a large export is read straight
// from the page cache instead of being copied into memory first.
#include <cstddef>
#include <string>
#include <string_view>

#include "platform/result.hpp"

namespace velkin::platform {

class MappedFile {
public:
    static Result<MappedFile> open(const std::string& path);
    MappedFile(MappedFile&& other) noexcept;
    MappedFile& operator=(MappedFile&&) = delete;
    MappedFile(const MappedFile&) = delete;
    ~MappedFile();

    std::string_view text() const { return {static_cast<const char*>(data_), size_}; }

private:
    MappedFile(void* data, size_t size) : data_(data), size_(size) {}
    void* data_ = nullptr;
    size_t size_ = 0;
};

}  // namespace velkin::platform
