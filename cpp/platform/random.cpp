#include "platform/random.hpp"

#if defined(_WIN32)
#include <bcrypt.h>
#include <windows.h>
#elif defined(__APPLE__)
#include <unistd.h>
#else
#include <sys/random.h>
#endif

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>

namespace velkin::platform {

#if defined(_WIN32)

std::optional<Error> fill_random(std::span<uint8_t> out) {
    const NTSTATUS status = BCryptGenRandom(nullptr, out.data(), static_cast<ULONG>(out.size()),
                                            BCRYPT_USE_SYSTEM_PREFERRED_RNG);
    if (status != 0) return Error{"BCryptGenRandom returned " + std::to_string(static_cast<long>(status))};
    return std::nullopt;
}

#else

std::optional<Error> fill_random(std::span<uint8_t> out) {
    size_t filled = 0;
    while (filled < out.size()) {
#if defined(__APPLE__)
        // getentropy gives at most 256 bytes a call, all of them or none.
        const size_t asked = std::min<size_t>(out.size() - filled, 256);
        const long got = getentropy(out.data() + filled, asked) == 0 ? static_cast<long>(asked) : -1;
#else
        const ssize_t got = getrandom(out.data() + filled, out.size() - filled, 0);
#endif
        if (got < 0) {
            if (errno == EINTR) continue;
            return Error{std::strerror(errno)};
        }
        filled += static_cast<size_t>(got);
    }
    return std::nullopt;
}

#endif

}  // namespace velkin::platform
