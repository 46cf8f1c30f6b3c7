// How many CPUs the process may use, for the thread counts that default to one per core.
#pragma once

namespace kestrum {

// The CPUs in the calling thread's affinity mask (as `taskset`, a cgroup cpuset or a service manager's
// CPUAffinity leave it), not the machine's: a process pinned to one core of eight gets 1. Read at the call;
// at least 1. Falls back to the online CPUs when the mask cannot be read.
int usableCpuCount();

}  // namespace kestrum
