// What the Redis module uses where mod/redis/config.ini or a caller names nothing.
#pragma once

#include <cstddef>

namespace kestrum {

inline constexpr char kDefaultRedisHost[] = "127.0.0.1";  // also for an empty [sys] ip
inline constexpr int kDefaultRedisPort = 6379;            // also for a [sys] port of 0 or without a number
inline constexpr char kDefaultRedisApiUrl[] = "/api/redis";
inline constexpr int kDefaultRedisConnectTimeoutMs = 5000;
inline constexpr int kDefaultRedisReplyTimeoutMs = 5000;
inline constexpr size_t kDefaultRedisMaxAnswer = 64 * 1024 * 1024;  // [sys] max_answer, bytes

}  // namespace kestrum
