// Raising RLIMIT_NOFILE at start-up.
#include "app/descriptor_limit.h"

#include <sys/resource.h>

#include <fstream>

namespace kestrum {

namespace {

// The kernel's ceiling for a descriptor limit; RLIM_INFINITY is refused for RLIMIT_NOFILE.
uint64_t kernelCeiling() {
    std::ifstream file("/proc/sys/fs/nr_open");
    uint64_t value = 0;
    if (file >> value && value > 0)
        return value;
    return 1024 * 1024;
}

}  // namespace

DescriptorLimit raiseDescriptorLimit() {
    DescriptorLimit result;
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return result;
    uint64_t hard = limit.rlim_max == RLIM_INFINITY ? kernelCeiling() : limit.rlim_max;
    result.soft = limit.rlim_cur;
    result.hard = hard;
    if (limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur < hard) {
        rlimit wanted = limit;
        wanted.rlim_cur = static_cast<rlim_t>(hard);
        if (setrlimit(RLIMIT_NOFILE, &wanted) == 0) {
            result.soft = hard;
            result.raised = true;
        }
    }
    return result;
}

}  // namespace kestrum
