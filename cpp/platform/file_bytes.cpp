#include "platform/file_bytes.hpp"

#if defined(_WIN32)
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#endif

#include <algorithm>
#include <cstdint>

#include "platform/interrupt.hpp"

namespace velkin::platform {

namespace {

// Small enough that Ctrl-C is seen within a few milliseconds, large enough that the
// system calls cost nothing beside the copy.
constexpr size_t CHUNK = size_t{4} << 20;

Error not_regular(const std::string& name) {
    return Error{"cannot read " + name + ": not a regular file (a pipe or a device): save it to a file first"};
}

Error changed_error(const std::string& name, const std::string& how) {
    return Error{name + " changed while it was read (" + how + "): read it again once nothing writes to it"};
}

std::string sizes(uint64_t before, uint64_t after) {
    return "from " + std::to_string(before) + " to " + std::to_string(after) + " bytes";
}

}  // namespace

#if defined(_WIN32)

namespace {

Error os_error(const std::string& name) {
    char text[256] = "unknown error";
    FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, GetLastError(), 0, text,
                   sizeof text, nullptr);
    std::string message(text);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' || message.back() == '.'))
        message.pop_back();
    return Error{"cannot read " + name + ": " + message};
}

// Paths arrive as UTF-8; the system's wide calls read any name.
std::wstring wide_path(const std::string& path) {
    const int length = MultiByteToWideChar(CP_UTF8, 0, path.data(), static_cast<int>(path.size()), nullptr, 0);
    std::wstring wide(static_cast<size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, path.data(), static_cast<int>(path.size()), wide.data(), length);
    return wide;
}

bool stamp_of(HANDLE file, FileStamp& stamp) {
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(file, &info)) return false;
    stamp.size = (uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow;
    stamp.time = static_cast<int64_t>((uint64_t{info.ftLastWriteTime.dwHighDateTime} << 32) |
                                      info.ftLastWriteTime.dwLowDateTime);
    return true;
}

}  // namespace

struct OpenFile::Handle {
    HANDLE handle;
    ~Handle() { CloseHandle(handle); }
};

Result<OpenFile> OpenFile::open(const std::string& path, std::string_view name) {
    std::string shown(name.empty() ? std::string_view(path) : name);
    // Sharing writes and deletion lets others rotate the file, as on the other systems.
    HANDLE opened = CreateFileW(wide_path(path).c_str(), GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (opened == INVALID_HANDLE_VALUE) return os_error(shown);
    std::unique_ptr<Handle> handle(new Handle{opened});  // the one owner of the descriptor
    if (GetFileType(handle->handle) != FILE_TYPE_DISK) return not_regular(shown);
    FileStamp stamp;
    if (!stamp_of(handle->handle, stamp)) return os_error(shown);
    return OpenFile(std::move(handle), std::move(shown), stamp);
}

std::optional<Error> OpenFile::read_at(uint64_t offset, size_t count, char* out) const {
    for (size_t done = 0; done < count;) {
        OVERLAPPED at{};
        at.Offset = static_cast<DWORD>(offset + done);
        at.OffsetHigh = static_cast<DWORD>((offset + done) >> 32);
        DWORD got = 0;
        const DWORD wanted = static_cast<DWORD>(std::min(CHUNK, count - done));
        if (!ReadFile(handle_->handle, out + done, wanted, &got, &at) && GetLastError() != ERROR_HANDLE_EOF)
            return os_error(name_);
        if (got == 0) return changed_error(name_, "it shrank " + sizes(stamp_.size, offset + done));
        done += got;
    }
    return std::nullopt;
}

std::optional<Error> OpenFile::changed_since(const FileStamp& then) const {
    FileStamp now;
    if (!stamp_of(handle_->handle, now)) return os_error(name_);
    if (now.size != then.size) return changed_error(name_, "its size went " + sizes(then.size, now.size));
    if (now.time != then.time) return changed_error(name_, "it was written to");
    return std::nullopt;
}

#else

namespace {

Error os_error(const std::string& name) { return Error{"cannot read " + name + ": " + std::strerror(errno)}; }

bool stamp_of(int fd, struct stat& status, FileStamp& stamp) {
    if (::fstat(fd, &status) != 0) return false;
#if defined(__APPLE__)
    const struct timespec& time = status.st_mtimespec;
#else
    const struct timespec& time = status.st_mtim;
#endif
    stamp.size = static_cast<uint64_t>(status.st_size);
    stamp.time = static_cast<int64_t>(time.tv_sec) * 1000000000 + time.tv_nsec;
    return true;
}

}  // namespace

struct OpenFile::Handle {
    int fd;
    ~Handle() { ::close(fd); }
};

Result<OpenFile> OpenFile::open(const std::string& path, std::string_view name) {
    std::string shown(name.empty() ? std::string_view(path) : name);
    // Non-blocking: a FIFO opens at once instead of waiting for a writer, and is then refused.
    int opened;
    do {
        opened = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    } while (opened < 0 && errno == EINTR);
    if (opened < 0) return os_error(shown);
    std::unique_ptr<Handle> handle(new Handle{opened});  // the one owner of the descriptor
    struct stat status{};
    FileStamp stamp;
    if (!stamp_of(handle->fd, status, stamp)) return os_error(shown);
    if (!S_ISREG(status.st_mode)) return not_regular(shown);
    return OpenFile(std::move(handle), std::move(shown), stamp);
}

std::optional<Error> OpenFile::read_at(uint64_t offset, size_t count, char* out) const {
    for (size_t done = 0; done < count;) {
        const ssize_t got = ::pread(handle_->fd, out + done, std::min(CHUNK, count - done),
                                    static_cast<off_t>(offset + done));
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return os_error(name_);
        if (got == 0) return changed_error(name_, "it shrank " + sizes(stamp_.size, offset + done));
        done += static_cast<size_t>(got);
    }
    return std::nullopt;
}

std::optional<Error> OpenFile::changed_since(const FileStamp& then) const {
    struct stat status{};
    FileStamp now;
    if (!stamp_of(handle_->fd, status, now)) return os_error(name_);
    if (now.size != then.size) return changed_error(name_, "its size went " + sizes(then.size, now.size));
    if (now.time != then.time) return changed_error(name_, "it was written to");
    return std::nullopt;
}

#endif

OpenFile::OpenFile(std::unique_ptr<Handle> handle, std::string name, FileStamp stamp)
    : handle_(std::move(handle)), name_(std::move(name)), stamp_(stamp) {}
OpenFile::OpenFile(OpenFile&&) noexcept = default;
OpenFile& OpenFile::operator=(OpenFile&&) noexcept = default;
OpenFile::~OpenFile() = default;

Result<FileBytes> FileBytes::read(const std::string& path, size_t limit, std::string_view name) {
    Result<OpenFile> opened = OpenFile::open(path, name);
    if (!opened) return opened.take_error();
    const OpenFile& file = opened.value();
    const size_t size = static_cast<size_t>(std::min<uint64_t>(file.size(), limit));
    auto data = std::make_unique_for_overwrite<char[]>(size);
    for (size_t done = 0; done < size; done += std::min(CHUNK, size - done)) {
        check_interrupt();
        if (std::optional<Error> failed = file.read_at(done, std::min(CHUNK, size - done), data.get() + done))
            return std::move(*failed);
    }
    if (std::optional<Error> changed = file.changed()) return std::move(*changed);
    return FileBytes(std::move(data), size);
}

}  // namespace velkin::platform
