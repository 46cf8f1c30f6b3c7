#include "util/config_value.h"

#include <climits>

namespace kestrum {

namespace {

// Reads the sign and digits with the magnitude capped just past `limit`, so that neither sign overflows.
int64_t readLeading(std::string_view text, uint64_t limit) {
    size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r')))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    uint64_t magnitude = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        const uint64_t digit = static_cast<uint64_t>(text[i] - '0');
        magnitude = magnitude > (limit + 1 - digit) / 10 ? limit + 1 : magnitude * 10 + digit;
    }
    if (negative)
        return magnitude > limit ? -static_cast<int64_t>(limit) - 1 : -static_cast<int64_t>(magnitude);
    return magnitude > limit ? static_cast<int64_t>(limit) : static_cast<int64_t>(magnitude);
}

}  // namespace

int leadingInt(std::string_view text) {
    return static_cast<int>(readLeading(text, INT_MAX));
}

int64_t leadingInt64(std::string_view text) {
    return readLeading(text, INT64_MAX);
}

int64_t configNumber(std::string_view text, int64_t fallback, int64_t lowest, int64_t highest) {
    if (text.empty())
        return fallback;
    const int64_t value = leadingInt64(text);
    if (value < lowest)
        return fallback;
    return value > highest ? highest : value;
}

}  // namespace kestrum
