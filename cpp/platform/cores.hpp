#pragma once
// The cores this process may run on.

namespace velkin::platform {

// The cores the process's affinity mask allows (taskset, cgroup cpusets, os.sched_setaffinity), at
// least 1; where the system has no such mask, the cores of the machine.
unsigned usable_cores();

}  // namespace velkin::platform
