#include "import/mapped_file.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

namespace velkin::imports {

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

MappedFile::MappedFile(MappedFile&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)) {}

MappedFile::~MappedFile() {
    if (data_) ::munmap(data_, size_);
}

}  // namespace velkin::imports
