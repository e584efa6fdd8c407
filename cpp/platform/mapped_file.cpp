#include "platform/mapped_file.hpp"

#if defined(_WIN32)
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#endif

#include <utility>

namespace velkin::platform {

#if defined(_WIN32)

namespace {

Error os_error(const std::string& path) {
    char text[256] = "unknown error";
    FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, GetLastError(), 0, text,
                   sizeof text, nullptr);
    std::string message(text);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' || message.back() == '.'))
        message.pop_back();
    return Error{"cannot read " + path + ": " + message};
}

// Paths arrive as UTF-8; the system's wide calls read any name.
std::wstring wide_path(const std::string& path) {
    const int length = MultiByteToWideChar(CP_UTF8, 0, path.data(), static_cast<int>(path.size()), nullptr, 0);
    std::wstring wide(static_cast<size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, path.data(), static_cast<int>(path.size()), wide.data(), length);
    return wide;
}

}  // namespace

Result<MappedFile> MappedFile::open(const std::string& path) {
    HANDLE file = CreateFileW(wide_path(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (file == INVALID_HANDLE_VALUE) return os_error(path);
    LARGE_INTEGER size{};
    if (GetFileType(file) != FILE_TYPE_DISK || !GetFileSizeEx(file, &size)) {
        CloseHandle(file);
        return Error{"cannot read " + path + ": not a regular file"};
    }
    void* data = nullptr;
    if (size.QuadPart > 0) {
        HANDLE mapping = CreateFileMappingW(file, nullptr, PAGE_READONLY, 0, 0, nullptr);
        if (mapping) {
            data = MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0);
            CloseHandle(mapping);
        }
        if (!data) {
            Error error = os_error(path);
            CloseHandle(file);
            return error;
        }
    }
    CloseHandle(file);
    return MappedFile(data, static_cast<size_t>(size.QuadPart));
}

MappedFile::~MappedFile() {
    if (data_) UnmapViewOfFile(data_);
}

#else

namespace {

Error os_error(const std::string& path) { return Error{"cannot read " + path + ": " + std::strerror(errno)}; }

}  // namespace

Result<MappedFile> MappedFile::open(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return os_error(path);
    struct stat info {};
    if (::fstat(fd, &info) != 0) {
        Error error = os_error(path);
        ::close(fd);
        return error;
    }
    if (!S_ISREG(info.st_mode)) {
        ::close(fd);
        return Error{"cannot read " + path + ": not a regular file"};
    }
    size_t size = static_cast<size_t>(info.st_size);
    void* data = nullptr;
    if (size > 0) {
        data = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
        if (data == MAP_FAILED) {
            Error error = os_error(path);
            ::close(fd);
            return error;
        }
        ::madvise(data, size, MADV_SEQUENTIAL);
    }
    ::close(fd);
    return MappedFile(data, size);
}

MappedFile::~MappedFile() {
    if (data_) ::munmap(data_, size_);
}

#endif

MappedFile::MappedFile(MappedFile&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)) {}

}  // namespace velkin::platform
