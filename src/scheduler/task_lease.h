// Task leases: when several instances share one Redis, each due moment of a task file runs on one of them.
//
// Before a task-file task runs a due moment, the instance claims that moment with one atomic command; only
// the instance whose claim succeeds runs it, the others go on to the next moment. The moment is named by its
// scheduled second (not by the time the claim is sent), so instances whose clocks differ by up to a second
// still claim the same key. Tasks that modules register for themselves (the MySQL pool's keep-alive) take no
// lease: they keep each instance's own connections alive.
//
// The scheduler does not talk to Redis itself: the application hands it a LeaseClaimer.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace kestrum {

enum class LeaseClaim {
    Claimed,      // this instance runs the moment
    Refused,      // another instance has claimed it
    Unavailable,  // no answer (Redis down, no connection set, an error reply)
};

// Claims `key` with `value` for `ttlMs` milliseconds, only when the key does not exist. Called on the task's
// own thread; it may block for a round trip.
using LeaseClaimer =
    std::function<LeaseClaim(const std::string& key, const std::string& value, int64_t ttlMs)>;

// The lease settings: lease_db, lease_prefix and lease_fallback of mod/crontab/config.ini [sys], and
// instance_name of config.ini [sys].
struct LeaseSettings {
    bool on = false;  // lease_db is set
    int32_t db = 0;   // lease_db: the Redis database the claims go to
    std::string prefix = "kestrum:lease:";
    std::string instanceName;  // the claim's value; default "<host name>:<process id>"
    bool fallbackRun = false;  // lease_fallback=run: run the moment when no claim can be made
};

// Reads the settings of `runDir` (a missing file or key leaves the lease off).
LeaseSettings loadLeaseSettings(const std::string& runDir);

// "<prefix><task name>:<Unix second of the due moment>".
std::string leaseKey(std::string_view prefix, std::string_view task, int64_t dueUnixMs);

// A little longer than the task's period (so every instance, late or early by a clock second or a slow lend,
// still finds the claim), at most an hour.
int64_t leaseTtlMs(int64_t periodMs);

}  // namespace kestrum
