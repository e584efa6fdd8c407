#pragma once
// Stopping long native work early, when the user presses Ctrl-C: whoever runs the
// work owns a flag; the work's threads poll it between chunks and unwind with
// Interrupted once it is set. Unwinding is the one way out that needs no exit
// path in every loop; nothing is reported from a stopped run.
#include <atomic>

namespace velkin::platform {

struct Interrupted {};

using StopFlag = std::atomic<bool>;

// The flag the calling thread's work polls; null when nothing can stop it.
const StopFlag* stop_flag();

// Gives the calling thread a flag while it lives. Threads that work for
// another take that thread's flag, so one request stops them all.
class StopScope {
public:
    explicit StopScope(const StopFlag* flag);
    ~StopScope();
    StopScope(const StopScope&) = delete;
    StopScope& operator=(const StopScope&) = delete;

private:
    const StopFlag* previous_;
};

// Throws Interrupted once the calling thread's work was asked to stop.
void check_interrupt();

}  // namespace velkin::platform
