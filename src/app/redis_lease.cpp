#include "app/redis_lease.h"

#include "redis/redis_gateway.h"
#include "util/encoding.h"

namespace kestrum {
namespace {

void appendQuoted(std::string& out, const std::string& bytes) {
    static constexpr char kHex[] = "0123456789abcdef";
    out += '"';
    for (unsigned char c : bytes) {
        out += "\\x";
        out += kHex[c >> 4];
        out += kHex[c & 15];
    }
    out += '"';
}

}  // namespace

std::string leaseCommand(const std::string& key, const std::string& value, int64_t ttlMs, bool utf8) {
    std::string command = "SET ";
    appendQuoted(command, utf8 ? gbkToUtf8(key) : key);
    command += ' ';
    appendQuoted(command, utf8 ? gbkToUtf8(value) : value);
    command += " NX PX " + std::to_string(ttlMs);
    return command;
}

LeaseClaim claimRedisLease(RedisGateway& gateway, int32_t db, const std::string& key,
                           const std::string& value, int64_t ttlMs) {
    std::string result;
    std::string error;
    if (!gateway.runOrder(db, leaseCommand(key, value, ttlMs, gateway.isUnicode()), result, error))
        return LeaseClaim::Unavailable;
    return result == "OK" ? LeaseClaim::Claimed : LeaseClaim::Refused;
}

}  // namespace kestrum
