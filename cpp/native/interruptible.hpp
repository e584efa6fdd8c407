#pragma once
// Long native work that Ctrl-C stops within a fraction of a second. Python runs
// its signal handlers only in the main thread and only while that thread holds
// the lock, so the work runs on a thread of its own while the calling thread
// waits with the lock released, taking it back every few milliseconds to run
// the handlers. When one raises (KeyboardInterrupt, or an exception of a
// handler of the program's own), the work is asked to stop and the handler's
// exception propagates.
#include <chrono>
#include <condition_variable>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <type_traits>

#include "native/binding.hpp"
#include "platform/interrupt.hpp"
#include "python/errors.hpp"

namespace velkin::native {

inline constexpr std::chrono::milliseconds SIGNAL_CHECK_INTERVAL{20};

enum class Ownership {
    // The work reads what the caller owns (Python objects among them): the caller waits until it has ended.
    Borrows,
    // The work owns all it reads: once stopped it may finish unwinding, and freeing what it built, after
    // the caller has gone on (freeing a large import's records takes longer than a user waits for Ctrl-C).
    Owns,
};

namespace detail {

template <class Value>
struct WorkState {
    platform::StopFlag stop{false};
    std::mutex lock;
    std::condition_variable finished;
    bool done = false;
    std::optional<Value> value;
    std::exception_ptr failure;
};

}  // namespace detail

// Runs work() without the interpreter lock and returns its value; work() never touches Python objects.
template <class Work>
std::invoke_result_t<Work&> interruptible(Work work, Ownership ownership) {
    using Value = std::invoke_result_t<Work&>;
    auto state = std::make_shared<detail::WorkState<Value>>();
    std::thread worker([state, work = std::move(work)]() mutable {
        platform::StopScope scope(&state->stop);
        try {
            state->value.emplace(work());
        } catch (...) {
            state->failure = std::current_exception();
        }
        std::lock_guard<std::mutex> guard(state->lock);
        state->done = true;
        state->finished.notify_all();
    });
    auto wait = [&](std::chrono::milliseconds interval) {
        LockReleased released;
        std::unique_lock<std::mutex> guard(state->lock);
        return state->finished.wait_for(guard, interval, [&] { return state->done; });
    };
    while (!wait(SIGNAL_CHECK_INTERVAL)) {
        if (PyErr_CheckSignals() < 0) {
            state->stop = true;
            if (ownership == Ownership::Owns) {
                worker.detach();
            } else {
                LockReleased released;
                worker.join();
            }
            throw python::PythonErrorSet{};
        }
    }
    {
        LockReleased released;
        worker.join();
    }
    if (state->failure) std::rethrow_exception(state->failure);
    return std::move(*state->value);
}

}  // namespace velkin::native
