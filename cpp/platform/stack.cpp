#include "platform/stack.hpp"

#if defined(_WIN32)
#include <windows.h>
#else
#include <pthread.h>
#endif

#include <cstddef>

namespace velkin::platform {

uintptr_t stack_floor() {
#if defined(_WIN32)
    ULONG_PTR lowest = 0, highest = 0;
    GetCurrentThreadStackLimits(&lowest, &highest);
    return static_cast<uintptr_t>(lowest);
#elif defined(__APPLE__)
    // The system gives the stack's highest address and its size.
    const auto highest = reinterpret_cast<uintptr_t>(pthread_get_stackaddr_np(pthread_self()));
    const size_t size = pthread_get_stacksize_np(pthread_self());
    return highest > size ? highest - size : 0;
#else
    pthread_attr_t attributes;
    if (pthread_getattr_np(pthread_self(), &attributes) != 0) return 0;
    void* lowest = nullptr;
    size_t size = 0;
    const bool known = pthread_attr_getstack(&attributes, &lowest, &size) == 0;
    pthread_attr_destroy(&attributes);
    return known ? reinterpret_cast<uintptr_t>(lowest) : 0;
#endif
}

}  // namespace velkin::platform
