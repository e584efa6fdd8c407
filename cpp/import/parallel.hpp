#pragma once
// Work split into parts run on their own threads. Callers join the parts'
// results in part order, so what they produce never depends on the thread count.
#include <algorithm>
#include <cstddef>
#include <exception>
#include <thread>
#include <vector>

#include "platform/cores.hpp"
#include "platform/interrupt.hpp"

namespace velkin::imports {

inline constexpr unsigned MAX_THREADS = 8;

// As many parts as the cores the process may use (at most MAX_THREADS), each of at least `per_part` items.
inline size_t part_count(size_t items, size_t per_part) {
    size_t cores = std::min(MAX_THREADS, platform::usable_cores());
    return std::max<size_t>(1, std::min(cores, items / std::max<size_t>(1, per_part)));
}

// Runs work(part) for every part, part 0 on the calling thread; every part's
// thread stops when the caller's work is asked to (platform/interrupt.hpp). The
// first part's exception, if any, is rethrown once all parts have ended.
template <class Work>
void run_parts(size_t parts, Work&& work) {
    if (parts == 0) return;
    std::vector<std::exception_ptr> failures(parts);
    const platform::StopFlag* stop = platform::stop_flag();
    auto run = [&work, &failures, stop](size_t part) {
        platform::StopScope scope(stop);
        try {
            work(part);
        } catch (...) {
            failures[part] = std::current_exception();
        }
    };
    std::vector<std::thread> threads;
    threads.reserve(parts);
    for (size_t part = 1; part < parts; ++part) threads.emplace_back(run, part);
    run(0);
    for (std::thread& thread : threads) thread.join();
    for (std::exception_ptr& failure : failures) {
        if (failure) std::rethrow_exception(failure);
    }
}

}  // namespace velkin::imports
