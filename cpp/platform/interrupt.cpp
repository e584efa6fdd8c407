#include "platform/interrupt.hpp"

namespace velkin::platform {

namespace {

thread_local const StopFlag* current = nullptr;

}  // namespace

const StopFlag* stop_flag() { return current; }

StopScope::StopScope(const StopFlag* flag) : previous_(current) { current = flag; }

StopScope::~StopScope() { current = previous_; }

void check_interrupt() {
    if (current && current->load(std::memory_order_relaxed)) throw Interrupted{};
}

}  // namespace velkin::platform
