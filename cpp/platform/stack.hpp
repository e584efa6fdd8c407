#pragma once
// Where the calling thread's stack ends, so that deep walks can stop short of it.
#include <cstdint>

namespace velkin::platform {

// The lowest address of the calling thread's stack (stacks grow down on every
// supported target), 0 when the system cannot tell. Slow on some systems'
// main thread: ask once per thread.
uintptr_t stack_floor();

}  // namespace velkin::platform
