// The scheduler's task lease, claimed in Redis through the gateway's blocking command call.
#pragma once

#include <cstdint>
#include <string>

#include "scheduler/task_lease.h"

namespace kestrum {

class RedisGateway;

// SET key value NX PX ttl on database `db`: Claimed on "OK", Refused on a nil reply, Unavailable when the
// command fails (no connection set for `db`, Redis down, an error reply). Blocks the calling (task) thread.
LeaseClaim claimRedisLease(RedisGateway& gateway, int32_t db, const std::string& key,
                           const std::string& value, int64_t ttlMs);

// The command line for it: key and value travel as double-quoted words of \xHH escapes, so no byte of a task
// name or instance name (blanks, quotes, braces) can change the command. `utf8` converts them first, as the
// gateway does with the texts it sends when isUnicode is on.
std::string leaseCommand(const std::string& key, const std::string& value, int64_t ttlMs, bool utf8);

}  // namespace kestrum
