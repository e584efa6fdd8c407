#include "platform/memory.hpp"

#include <cstdlib>  // defines __GLIBC__ where the C library is glibc

#if defined(__GLIBC__)
#include <malloc.h>
#endif
#if defined(__linux__)
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#endif

namespace velkin::platform {

void return_free_memory() {
#if defined(__GLIBC__)
    malloc_trim(0);
#endif
}

void map_for_writing(char* data, size_t size) {
#if defined(__linux__) && defined(MADV_POPULATE_WRITE)
    static const uintptr_t PAGE = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
    uintptr_t begin = (reinterpret_cast<uintptr_t>(data) + PAGE - 1) & ~(PAGE - 1);
    uintptr_t end = (reinterpret_cast<uintptr_t>(data) + size) & ~(PAGE - 1);
    // Older kernels refuse the advice; the pages are then taken as they are written.
    if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_POPULATE_WRITE);
#else
    (void)data;
    (void)size;
#endif
}

}  // namespace velkin::platform
