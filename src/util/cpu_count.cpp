#include "util/cpu_count.h"

#include <sched.h>

#include <algorithm>
#include <cerrno>
#include <thread>

namespace kestrum {

int usableCpuCount() {
    // A mask for more CPUs than the kernel knows is fine; one for fewer fails with EINVAL, so it grows.
    for (int cpus = 1024; cpus <= (1 << 20); cpus *= 4) {
        cpu_set_t* set = CPU_ALLOC(cpus);
        if (set == nullptr)
            break;
        const size_t size = CPU_ALLOC_SIZE(cpus);
        CPU_ZERO_S(size, set);
        const int result = sched_getaffinity(0, size, set);
        const int count = result == 0 ? CPU_COUNT_S(size, set) : 0;
        CPU_FREE(set);
        if (result == 0)
            return std::max(1, count);
        if (errno != EINVAL)
            break;
    }
    return static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
}

}  // namespace kestrum
