// Feeds arbitrary bytes to the time-expression reader: the next moments of the expression from a present
// moment chosen by the input, the values of one field between bounds chosen by the input, the lenient number
// reader and the moment-text reader. Checks that the moments come in the promised form, lie at or after the
// present moment and read back as moments.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

#include "scheduler/cron.h"

namespace {

void check(bool condition) {
    if (!condition)
        std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 8)
        return 0;
    // Eight bytes choose the present moment (years 1970 .. 2225), the number of moments and the field bounds.
    std::tm now{};
    now.tm_year = 70 + data[0];
    now.tm_mon = data[1] % 12;
    now.tm_mday = 1 + data[2] % 28;
    now.tm_hour = data[3] % 24;
    now.tm_min = data[4] % 60;
    now.tm_sec = data[5] % 60;
    const int count = 1 + data[6] % 16;
    const int lowest = static_cast<int8_t>(data[7]);
    const int highest = lowest + data[7] % 64;
    std::string_view expression(reinterpret_cast<const char*>(data + 8), size - 8);

    std::vector<std::string> moments;
    kestrum::CronFields fields;
    bool complete = kestrum::nextRunTimes(expression, count, moments, fields, now);
    check(moments.size() <= static_cast<size_t>(count));
    check(!complete || moments.size() == static_cast<size_t>(count));
    char present[96];
    std::snprintf(present, sizeof present, "%04d-%02d-%02d %02d:%02d:%02d", now.tm_year + 1900,
                  now.tm_mon + 1, now.tm_mday, now.tm_hour, now.tm_min, now.tm_sec);
    for (const std::string& moment : moments) {
        check(moment.size() == 19 && moment[4] == '-' && moment[7] == '-' && moment[10] == ' ' &&
              moment[13] == ':' && moment[16] == ':');
        check(moment >= present);  // same fixed-width form: text order is time order
    }

    std::vector<int> values = kestrum::fieldValues(expression, lowest, highest);
    check(values.size() <= kestrum::kMaxFieldValues);
    (void)kestrum::readCronNumber(expression);
    (void)kestrum::momentToUnixMs(expression);
    return 0;
}
