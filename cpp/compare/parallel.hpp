#pragma once
// Index-parallel loops: each index writes only its own slot, so results do not
// depend on the number of threads or on scheduling.
#include <algorithm>
#include <atomic>
#include <cstddef>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/cores.hpp"
#include "platform/interrupt.hpp"

namespace velkin::compare {

// 0 means one thread per core the process may run on.
inline unsigned thread_count(unsigned requested) {
    if (requested != 0) return requested;
    return platform::usable_cores();
}

// Calls work(i) for every i in [0, count) on up to `threads` threads; the
// first exception thrown by any call is rethrown once all threads stop, as is
// platform::Interrupted when the caller's work is asked to stop.
template <class Work>
void parallel_for(size_t count, unsigned threads, Work&& work) {
    size_t workers = std::min<size_t>(thread_count(threads), count);
    if (workers <= 1) {
        for (size_t i = 0; i < count; ++i) {
            platform::check_interrupt();
            work(i);
        }
        return;
    }
    std::atomic<size_t> next{0};
    std::atomic<bool> failed{false};
    std::exception_ptr failure;
    std::mutex failure_lock;
    const platform::StopFlag* stop = platform::stop_flag();
    auto run = [&] {
        platform::StopScope scope(stop);
        for (size_t i; !failed.load(std::memory_order_relaxed) && (i = next.fetch_add(1)) < count;) {
            try {
                platform::check_interrupt();
                work(i);
            } catch (...) {
                std::lock_guard<std::mutex> guard(failure_lock);
                if (!failure) failure = std::current_exception();
                failed = true;
            }
        }
    };
    std::vector<std::thread> pool;
    pool.reserve(workers - 1);
    for (size_t t = 1; t < workers; ++t) pool.emplace_back(run);
    run();
    for (std::thread& thread : pool) thread.join();
    if (failure) std::rethrow_exception(failure);
}

}  // namespace velkin::compare
