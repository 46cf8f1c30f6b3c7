// The process's descriptor limit: every connection takes one, so the soft limit that a service manager
// usually sets (1024) would stop the listeners long before the connection limit does.
#pragma once

#include <cstdint>

namespace kestrum {

struct DescriptorLimit {
    uint64_t soft = 0;  // the soft limit in force after the call
    uint64_t hard = 0;
    bool raised = false;  // the soft limit was below the hard one and has been lifted to it
};

// Lifts the soft RLIMIT_NOFILE to the hard limit (to fs.nr_open when the hard limit is unlimited). On failure
// the limits stay as they were and `raised` is false. Call once at start-up, before threads open sockets.
DescriptorLimit raiseDescriptorLimit();

// Descriptors the process keeps for itself beside client connections: log file, listeners, event loops,
// back-end connections and the like.
constexpr uint64_t kReservedDescriptors = 256;

// How many client connections `limit` leaves room for.
inline uint64_t connectionsAllowedBy(const DescriptorLimit& limit) {
    return limit.soft > kReservedDescriptors ? limit.soft - kReservedDescriptors : 0;
}

}  // namespace kestrum
