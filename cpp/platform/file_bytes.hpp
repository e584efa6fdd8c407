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
#include <optional>
#include <string>
#include <string_view>

#include "platform/result.hpp"

namespace velkin::platform {

// What tells one state of a file from another: its size and modification time.
struct FileStamp {
    uint64_t size = 0;
    int64_t time = 0;  // in the system's own unit
    bool operator==(const FileStamp&) const = default;
};

// A regular file held open, to be read in ranges: its whole, or lines found by
// an earlier pass over it. Errors name the file as `name` when given (a path
// of any bytes shown as text), else by its path: "cannot read NAME: REASON"
// and "NAME changed while it was read (...): ...".
class OpenFile {
public:
    static Result<OpenFile> open(const std::string& path, std::string_view name = {});
    OpenFile(OpenFile&&) noexcept;
    OpenFile& operator=(OpenFile&&) noexcept;
    ~OpenFile();

    // Its size and time when opened.
    uint64_t size() const { return stamp_.size; }
    const FileStamp& stamp() const { return stamp_; }
    // Exactly `count` bytes from `offset` on; a file that ends sooner has shrunk.
    std::optional<Error> read_at(uint64_t offset, size_t count, char* out) const;
    // An error when its size or time now differ from `then` (by default, when it was opened).
    std::optional<Error> changed_since(const FileStamp& then) const;
    std::optional<Error> changed() const { return changed_since(stamp_); }

private:
    struct Handle;
    OpenFile(std::unique_ptr<Handle> handle, std::string name, FileStamp stamp);
    std::unique_ptr<Handle> handle_;
    std::string name_;
    FileStamp stamp_;
};

class FileBytes {
public:
    // At most `limit` bytes; the interrupt check (platform/interrupt.hpp) runs between chunks.
    static Result<FileBytes> read(const std::string& path, size_t limit = SIZE_MAX, std::string_view name = {});

    std::string_view text() const { return {data_.get(), size_}; }

private:
    FileBytes(std::unique_ptr<char[]> data, size_t size) : data_(std::move(data)), size_(size) {}
    std::unique_ptr<char[]> data_;
    size_t size_ = 0;
};

}  // namespace velkin::platform
