#include "platform/memory.hpp"

#include <cstdlib>  // defines __GLIBC__ where the C library is glibc

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace velkin::platform {

void return_free_memory() {
#if defined(__GLIBC__)
    malloc_trim(0);
#endif
}

}  // namespace velkin::platform
