#pragma once
// A regular file's bytes, read into memory in bounded chunks. A mapping would
// fault with SIGBUS on a page past the end of a file that shrinks while it is
// read (log rotation truncates files); a read sees the end and says so, and a
// file that changed in any other way while read is caught by its size and time
// after the last chunk. Pipes, devices and other non-regular files are refused
// without blocking: opening a FIFO would wait for a writer.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "platform/result.hpp"

namespace velkin::platform {

class FileBytes {
public:
    // At most `limit` bytes; the interrupt check (platform/interrupt.hpp) runs between chunks.
    // Errors: "cannot read NAME: REASON" and "NAME changed while it was read (...): ...", NAME
    // being `name` when given (a path of any bytes shown as text), else the path.
    static Result<FileBytes> read(const std::string& path, size_t limit = SIZE_MAX, std::string_view name = {});

    std::string_view text() const { return {data_.get(), size_}; }

private:
    FileBytes(std::unique_ptr<char[]> data, size_t size) : data_(std::move(data)), size_(size) {}
    std::unique_ptr<char[]> data_;
    size_t size_ = 0;
};

}  // namespace velkin::platform
