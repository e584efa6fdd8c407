#pragma once
// The clocks and the median the C++ benchmarks report.
#include <algorithm>
#include <ctime>
#include <vector>

namespace velkin::bench {

// Whose processor time: the calling thread's, or the whole process's (all its threads).
enum class CpuClock { Thread, Process };

inline double cpu_seconds(CpuClock clock) {
    timespec now{};
    clock_gettime(clock == CpuClock::Thread ? CLOCK_THREAD_CPUTIME_ID : CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

inline double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

}  // namespace velkin::bench
