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

Error changed(const std::string& name, const std::string& how) {
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

struct Handle {
    HANDLE handle;
    ~Handle() { CloseHandle(handle); }
};

struct Stamp {
    uint64_t size = 0;
    FILETIME written{};
};

bool stamp_of(HANDLE file, Stamp& stamp) {
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(file, &info)) return false;
    stamp.size = (uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow;
    stamp.written = info.ftLastWriteTime;
    return true;
}

}  // namespace

Result<FileBytes> FileBytes::read(const std::string& path, size_t limit, std::string_view name) {
    const std::string shown(name.empty() ? std::string_view(path) : name);
    // Sharing writes and deletion lets others rotate the file, as on the other systems.
    HANDLE opened = CreateFileW(wide_path(path).c_str(), GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (opened == INVALID_HANDLE_VALUE) return os_error(shown);
    Handle file{opened};
    if (GetFileType(file.handle) != FILE_TYPE_DISK) return not_regular(shown);
    Stamp before;
    if (!stamp_of(file.handle, before)) return os_error(shown);
    const size_t size = static_cast<size_t>(std::min<uint64_t>(before.size, limit));
    auto data = std::make_unique_for_overwrite<char[]>(size);
    for (size_t done = 0; done < size;) {
        check_interrupt();
        DWORD got = 0;
        const DWORD wanted = static_cast<DWORD>(std::min(CHUNK, size - done));
        if (!ReadFile(file.handle, data.get() + done, wanted, &got, nullptr)) return os_error(shown);
        if (got == 0) return changed(shown, "it shrank " + sizes(before.size, done));
        done += got;
    }
    Stamp after;
    if (!stamp_of(file.handle, after)) return os_error(shown);
    if (after.size != before.size) return changed(shown, "its size went " + sizes(before.size, after.size));
    if (CompareFileTime(&after.written, &before.written) != 0) return changed(shown, "it was written to");
    return FileBytes(std::move(data), size);
}

#else

namespace {

Error os_error(const std::string& name) { return Error{"cannot read " + name + ": " + std::strerror(errno)}; }

struct Descriptor {
    int fd;
    ~Descriptor() { ::close(fd); }
};

bool same_time(const struct stat& a, const struct stat& b) {
#if defined(__APPLE__)
    return a.st_mtimespec.tv_sec == b.st_mtimespec.tv_sec && a.st_mtimespec.tv_nsec == b.st_mtimespec.tv_nsec;
#else
    return a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
#endif
}

}  // namespace

Result<FileBytes> FileBytes::read(const std::string& path, size_t limit, std::string_view name) {
    const std::string shown(name.empty() ? std::string_view(path) : name);
    // Non-blocking: a FIFO opens at once instead of waiting for a writer, and is then refused.
    int opened;
    do {
        opened = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    } while (opened < 0 && errno == EINTR);
    if (opened < 0) return os_error(shown);
    Descriptor file{opened};
    struct stat before{};
    if (::fstat(file.fd, &before) != 0) return os_error(shown);
    if (!S_ISREG(before.st_mode)) return not_regular(shown);
    const size_t size = static_cast<size_t>(std::min<uint64_t>(static_cast<uint64_t>(before.st_size), limit));
    auto data = std::make_unique_for_overwrite<char[]>(size);
    for (size_t done = 0; done < size;) {
        check_interrupt();
        const ssize_t got = ::read(file.fd, data.get() + done, std::min(CHUNK, size - done));
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return os_error(shown);
        if (got == 0) return changed(shown, "it shrank " + sizes(static_cast<uint64_t>(before.st_size), done));
        done += static_cast<size_t>(got);
    }
    struct stat after{};
    if (::fstat(file.fd, &after) != 0) return os_error(shown);
    if (after.st_size != before.st_size)
        return changed(shown, "its size went " +
                                  sizes(static_cast<uint64_t>(before.st_size), static_cast<uint64_t>(after.st_size)));
    if (!same_time(after, before)) return changed(shown, "it was written to");
    return FileBytes(std::move(data), size);
}

#endif

}  // namespace velkin::platform
