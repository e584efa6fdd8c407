#pragma once
// The cyclic garbage collector paused while a reader builds many objects.
#include "python/refs.hpp"

namespace velkin::python {

// The cyclic garbage collector paused while it lives, and left as it was found
// (also when the parse fails). The objects being built cannot be garbage yet,
// and with the default thresholds the collector would walk them again and again.
class CollectorPaused {
public:
    CollectorPaused();
    ~CollectorPaused();
    CollectorPaused(const CollectorPaused&) = delete;
    CollectorPaused& operator=(const CollectorPaused&) = delete;

private:
    bool was_enabled_ = false;
};

}  // namespace velkin::python
