// Field values and next-run computation with a pinned present moment.
#include <gtest/gtest.h>

#include <chrono>

#include "scheduler/cron.h"

namespace kestrum {
namespace {

std::tm at(int year, int month, int day, int hour, int minute, int second) {
    std::tm tm{};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_sec = second;
    return tm;
}

std::vector<int> span(int from, int to) {
    std::vector<int> values;
    for (int v = from; v <= to; ++v)
        values.push_back(v);
    return values;
}

TEST(FieldValues, Forms) {
    struct Case {
        const char* name;
        std::string field;
        int lowest, highest;
        std::vector<int> expected;
    };
    const Case cases[] = {
        {"step in minutes", "*/15", 0, 59, {0, 15, 30, 45}},
        {"step in days", "*/10", 1, 31, {10, 20, 30}},
        {"step 5 in months", "*/5", 1, 12, {5, 10}},
        {"step 4 in months", "*/4", 1, 12, {4, 8, 12}},
        {"step 2 in weekdays", "*/2", 1, 7, {2, 4, 6}},
        {"step 4 in weekdays", "*/4", 1, 7, {4}},
        {"list keeps written order", "30,10", 0, 59, {30, 10}},
        {"range ignores what follows", "0-30/10", 0, 59, span(0, 30)},
        {"range is not clipped", "20-25", 1, 12, span(20, 25)},
        {"empty range", "5-3", 0, 59, {}},
        {"range and number in a list", "10-12,3", 0, 59, {10, 11, 12, 3}},
        {"star", "*", 1, 7, span(1, 7)},
        {"empty field is 0", "", 0, 59, {0}},
        {"symbol reads 0", "?", 0, 59, {0}},
        {"number not compared with range", "75", 0, 59, {75}},
        {"repeats removed, first kept", "5,1,5,1,2", 0, 59, {5, 1, 2}},
        {"full-width digits", "\xA3\xB1\xA3\xB5", 0, 59, {15}},
        {"full-width list and range", "\xA3\xB3-\xA3\xB5,\xA3\xB1", 0, 59, {3, 4, 5, 1}},
        {"full-width space and sign", "\xA1\xA1\xA3\xAB\xA3\xB7", 0, 59, {7}},
        {"step 0 gives nothing", "*/0", 0, 59, {}},
        {"step that reads 0 gives nothing", "*/x", 0, 59, {}},
        {"empty step gives nothing", "*/", 1, 7, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(fieldValues(c.field, c.lowest, c.highest), c.expected);
    }
}

TEST(FieldValues, HugeRangeIsBounded) {
    EXPECT_EQ(fieldValues("0-2147483647", 0, 59).size(), kMaxFieldValues);
    EXPECT_EQ(fieldValues("99999999999999999999-5", 0, 59).size(), 0u);
}

TEST(ReadCronNumber, LenientForms) {
    EXPECT_EQ(readCronNumber("  42abc"), 42);
    EXPECT_EQ(readCronNumber("-7"), -7);
    EXPECT_EQ(readCronNumber("\xA3\xAD\xA3\xB9"), -9);  // full-width minus nine
    EXPECT_EQ(readCronNumber("abc"), 0);
    EXPECT_EQ(readCronNumber("99999999999999999999"), 2147483647);
    // A four-byte GB18030 character has ASCII digits as its 2nd and 4th bytes; they are no digits.
    EXPECT_EQ(readCronNumber("\x81\x30\x81\x30"), 0);
}

struct RunCase {
    const char* name;
    std::string expression;
    std::tm now;
    int count;
    bool result;
    std::vector<std::string> moments;
};

TEST(NextRunTimes, PinnedNow) {
    const RunCase cases[] = {
        {"heartbeat between its seconds",
         "1 * * * * * mysqlPoolHeart",
         at(2024, 3, 5, 10, 15, 30),
         3,
         true,
         {"2024-03-05 10:16:01", "2024-03-05 10:17:01", "2024-03-05 10:18:01"}},
        {"heartbeat at its second counts now",
         "1 * * * * * mysqlPoolHeart",
         at(2024, 3, 5, 10, 15, 1),
         3,
         true,
         {"2024-03-05 10:15:01", "2024-03-05 10:16:01", "2024-03-05 10:17:01"}},
        {"midnight rolls into the next month",
         "0 0 0 * * * t",
         at(2024, 1, 31, 0, 0, 5),
         2,
         true,
         {"2024-02-01 00:00:00", "2024-02-02 00:00:00"}},
        {"midnight rolls into the next year",
         "0 0 0 * * * t",
         at(2024, 12, 31, 23, 59, 59),
         1,
         true,
         {"2025-01-01 00:00:00"}},
        {"yearly first of January",
         "0 0 0 1 1 * t",
         at(2024, 6, 15, 12, 0, 0),
         3,
         true,
         {"2025-01-01 00:00:00", "2026-01-01 00:00:00", "2027-01-01 00:00:00"}},
        {"29 February stops at the fourth fruitless year, keeping what it found",
         "0 0 0 29 2 * t",
         at(2025, 3, 1, 0, 0, 0),
         3,
         false,
         {"2028-02-29 00:00:00"}},
        {"weekday 7 is Sunday",
         "0 0 12 * * 7 t",
         at(2024, 3, 5, 10, 0, 0),  // a Tuesday
         3,
         true,
         {"2024-03-10 12:00:00", "2024-03-17 12:00:00", "2024-03-24 12:00:00"}},
        {"weekday 0 never matches", "0 0 12 * * 0 t", at(2024, 3, 5, 10, 0, 0), 3, false, {}},
        {"day and weekday must both match",
         "0 0 0 13 * 5 t",
         at(2024, 1, 1, 0, 0, 0),
         2,
         true,
         {"2024-09-13 00:00:00", "2024-12-13 00:00:00"}},
        {"list order is kept within the minute",
         "30,10 * * * * * t",
         at(2024, 3, 5, 10, 15, 5),
         3,
         true,
         {"2024-03-05 10:15:30", "2024-03-05 10:15:10", "2024-03-05 10:16:30"}},
        {"range with a step reads as the whole range",
         "0 0-30/10 8 * * * t",
         at(2024, 3, 5, 8, 29, 30),
         3,
         true,
         {"2024-03-05 08:30:00", "2024-03-06 08:00:00", "2024-03-06 08:01:00"}},
        {"day 31 of February never fires", "0 0 0 31 2 * t", at(2024, 1, 1, 0, 0, 0), 1, false, {}},
        {"day 31 of short months never fires",
         "0 0 0 31 4,6,9,11 * t",
         at(2024, 1, 1, 0, 0, 0),
         1,
         false,
         {}},
        {"out-of-range hour is skipped", "0 0 25 * * * t", at(2024, 1, 1, 0, 0, 0), 1, false, {}},
        {"out-of-range minute skipped, others kept",
         "0 60,5 3 * * * t",
         at(2024, 1, 1, 0, 0, 0),
         1,
         true,
         {"2024-01-01 03:05:00"}},
        {"step 0 never fires", "*/0 * * * * * t", at(2024, 1, 1, 0, 0, 0), 1, false, {}},
        {"count 0 is false at once", "* * * * * * t", at(2024, 1, 1, 0, 0, 0), 0, false, {}},
        {"six pieces are too few", "1 * * * * *", at(2024, 1, 1, 0, 0, 0), 1, false, {}},
    };
    for (const RunCase& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> moments{"stale"};
        CronFields fields;
        EXPECT_EQ(nextRunTimes(c.expression, c.count, moments, fields, c.now), c.result);
        EXPECT_EQ(moments, c.moments);
    }
}

TEST(NextRunTimes, FillsFields) {
    std::vector<std::string> moments;
    CronFields fields;
    ASSERT_TRUE(nextRunTimes("0 5 3 * 1 * backup extra", 1, moments, fields, at(2024, 1, 1, 0, 0, 0)));
    EXPECT_EQ(fields.second, "0");
    EXPECT_EQ(fields.minute, "5");
    EXPECT_EQ(fields.hour, "3");
    EXPECT_EQ(fields.day, "*");
    EXPECT_EQ(fields.month, "1");
    EXPECT_EQ(fields.year, "");
    EXPECT_EQ(fields.week, "*");
    EXPECT_EQ(fields.name, "backup");  // pieces after the seventh are ignored

    fields = CronFields{};
    EXPECT_FALSE(nextRunTimes("1 * * * *", 3, moments, fields, at(2024, 1, 1, 0, 0, 0)));
    EXPECT_EQ(fields.second, "");
    EXPECT_EQ(fields.name, "");
}

TEST(NextRunTimes, TwoSpacesShiftThePieces) {
    std::vector<std::string> moments;
    CronFields fields;
    // The minute becomes empty (0) and the sixth field takes the name's place.
    ASSERT_TRUE(nextRunTimes("1  2 * * * * t", 1, moments, fields, at(2024, 3, 5, 10, 0, 0)));
    EXPECT_EQ(fields.minute, "");
    EXPECT_EQ(fields.hour, "2");
    EXPECT_EQ(fields.week, "*");
    EXPECT_EQ(fields.name, "*");
    EXPECT_EQ(moments, std::vector<std::string>{"2024-03-06 02:00:01"});
}

TEST(NextRunTimes, WideFieldsStayCheap) {
    // Every second of every day with a far-away first match: the work is bounded by the pruning of past
    // dates.
    std::vector<std::string> moments;
    CronFields fields;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(nextRunTimes("* * * 31 12 * t", 3, moments, fields, at(2024, 1, 1, 0, 0, 0)));
    EXPECT_EQ(moments.front(), "2024-12-31 00:00:00");
    EXPECT_FALSE(
        nextRunTimes("0-100000 0-100000 0-100000 0 * * t", 3, moments, fields, at(2024, 1, 1, 0, 0, 0)));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
}

TEST(MomentToUnixMs, RoundTripsLocalTime) {
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    EXPECT_EQ(momentToUnixMs(text), static_cast<int64_t>(now) * 1000);
    EXPECT_EQ(momentToUnixMs("2024-03-05 10:15"), -1);
    EXPECT_EQ(momentToUnixMs("garbage"), -1);
}

}  // namespace
}  // namespace kestrum
