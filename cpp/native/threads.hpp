#pragma once
// The `threads` argument of the native entry points.
#include "python/refs.hpp"

namespace velkin::native {

inline constexpr long long MAX_THREADS = 1024;
// More threads than this per core only add switching: results do not depend on the count.
inline constexpr unsigned THREADS_PER_CORE = 4;

// None gives 0 (one per core); an int from 1 to MAX_THREADS gives that many, at most
// THREADS_PER_CORE per core; anything else raises TypeError or ValueError.
unsigned thread_count(PyObject* threads);

}  // namespace velkin::native
