#include "python/recursion.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "platform/stack.hpp"

namespace velkin::python {

namespace {

// STACK_RESERVE is left untouched below the deepest level: room for the work
// done between two levels (a Python hook, ICU, the allocator, formatting an
// error) and for the frames between the entry and the recursive walks.
// STACK_PER_LEVEL bounds what any walk spends per level: measured at about
// 500 bytes in a release build and 7 KB with the sanitizers' instrumentation,
// with room to spare.
#if defined(__SANITIZE_ADDRESS__)
constexpr size_t STACK_RESERVE = 256 * 1024;
constexpr size_t STACK_PER_LEVEL = 12 * 1024;
#else
constexpr size_t STACK_RESERVE = 64 * 1024;
constexpr size_t STACK_PER_LEVEL = 1024;
#endif

// Asking the system is slow on the main thread (it reads the process's
// memory map), so each thread asks once.
thread_local const uintptr_t thread_stack_floor = platform::stack_floor();
thread_local int current_cap = MAX_CONVERSION_DEPTH;

int cap_from_here() {
    if (thread_stack_floor == 0) return MAX_CONVERSION_DEPTH;
    const auto here = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
    if (here <= thread_stack_floor + STACK_RESERVE) return 0;
    const size_t levels = (here - thread_stack_floor - STACK_RESERVE) / STACK_PER_LEVEL;
    return static_cast<int>(std::min<size_t>(levels, MAX_CONVERSION_DEPTH));
}

}  // namespace

NestingBudget::NestingBudget() noexcept : outer_cap_(current_cap) { current_cap = cap_from_here(); }

NestingBudget::~NestingBudget() { current_cap = outer_cap_; }

int nesting_cap() { return current_cap; }

}  // namespace velkin::python
