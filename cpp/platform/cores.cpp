#include "platform/cores.hpp"

#include <algorithm>
#include <thread>

#if defined(__linux__)
#include <sched.h>
#endif

namespace velkin::platform {

unsigned usable_cores() {
#if defined(__linux__)
    // A fixed set covers up to 1024 cores; on larger machines the call fails and the count below serves.
    cpu_set_t allowed;
    CPU_ZERO(&allowed);
    if (sched_getaffinity(0, sizeof allowed, &allowed) == 0) {
        int count = CPU_COUNT(&allowed);
        if (count > 0) return static_cast<unsigned>(count);
    }
#endif
    return std::max(1u, std::thread::hardware_concurrency());
}

}  // namespace velkin::platform
