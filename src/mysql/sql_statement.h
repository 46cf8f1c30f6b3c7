// One statement as a caller asks for it: its text, and the values of its placeholders when it is to run as a
// prepared statement. Plain data, shared by the request parser, the pool and the scheduler's tasks.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kestrum {

// A value bound to one "?" of a prepared statement. It reaches the server in the binary protocol, never as
// SQL text.
struct SqlParam {
    enum class Kind {
        kNull,
        kInteger,   // signed 64-bit (JSON integers in range, true/false as 1/0)
        kUnsigned,  // an integer above the signed 64-bit range, up to 18446744073709551615
        kDouble,
        kText,  // UTF-8
    };
    Kind kind = Kind::kNull;
    int64_t integer = 0;  // kInteger; kUnsigned holds the bits of the unsigned value
    double number = 0.0;
    std::string text;

    static SqlParam null() { return {}; }
    static SqlParam signedInteger(int64_t value) { return {Kind::kInteger, value, 0.0, {}}; }
    static SqlParam unsignedInteger(uint64_t value) {
        return {Kind::kUnsigned, static_cast<int64_t>(value), 0.0, {}};
    }
    static SqlParam floating(double value) { return {Kind::kDouble, 0, value, {}}; }
    static SqlParam utf8(std::string value) { return {Kind::kText, 0, 0.0, std::move(value)}; }
};

struct SqlStatement {
    std::string text;       // UTF-8, sent unchanged
    bool prepared = false;  // run as a server-side prepared statement with `params`
    std::vector<SqlParam> params;
};

// Defaults of the pool's statement limits.
inline constexpr int kDefaultStatementCache = 64;
inline constexpr int kDefaultMaxBatch = 100;

}  // namespace kestrum
