// Six-field time expressions: second, minute, hour, day of month, month, day of week.
//
// nextRunTimes enumerates the moments an expression is due at, from the present onwards, by walking the value
// lists of the fields in the order they were written (no sorting); day of month and day of week must both
// match. Days of the week are 1 = Monday ... 7 = Sunday; 0 never matches. The search gives up at the end of
// the fourth year that produced no moment. It keeps no state: safe from any thread. Texts are in the internal
// encoding.
#pragma once

#include <ctime>
#include <string>
#include <string_view>
#include <vector>

namespace kestrum {

// The pieces of an expression as texts. `year` is never filled.
struct CronFields {
    std::string second;
    std::string minute;
    std::string hour;
    std::string day;
    std::string month;
    std::string year;
    std::string week;
    std::string name;
};

// `expression` is the six fields followed by the task name, separated by single spaces. `moments` is emptied,
// then receives up to `count` moments as "YYYY-MM-DD hh:mm:ss" local time, in search order. True when `count`
// moments were found; false when count <= 0, when the expression has fewer than seven pieces (fields left
// empty) or when the search limit was reached (moments found so far are kept). `now` is the present moment in
// local time.
bool nextRunTimes(std::string_view expression, int count, std::vector<std::string>& moments,
                  CronFields& fields, const std::tm& now);
// Same, with the machine's current local time.
bool nextRunTimes(std::string_view expression, int count, std::vector<std::string>& moments,
                  CronFields& fields);

// The values of one field: lists ("30,10"), ranges ("0-30", not clipped to the field's range), steps ("*/15":
// the multiples of 15 within [lowest, highest]; a step of 0 gives nothing), "*" (the whole range) or a single
// number (an empty field is 0). Repeats are removed, keeping the first; the written order is kept. At most
// kMaxFieldValues values are produced, so an absurd range cannot exhaust memory.
constexpr size_t kMaxFieldValues = 65536;
std::vector<int> fieldValues(std::string_view field, int lowest, int highest);

// Reads an integer the lenient way: full-width digits, signs and spaces count as ASCII ones, leading blanks
// are skipped, then an optional sign and the digits up to the first other character; no digits reads 0.
// Saturates at the int range.
int readCronNumber(std::string_view text);

// The moment text's local time as Unix time in milliseconds; -1 when the text is no moment.
int64_t momentToUnixMs(std::string_view moment);

}  // namespace kestrum
