// Next-run computation for six-field time expressions.
//
// The search walks month, day, hour, minute and second lists in written order and compares each candidate
// with the present moment field by field, so no time conversion (and no time-zone or DST surprise) is
// involved: the only calendar work is the length of a month and the day of the week of a date. Values that
// can never form a valid time (hour 25, minute 60, day 0, month 13) are dropped before the loops, which also
// bounds the work.
#include "scheduler/cron.h"

#include <bitset>
#include <chrono>
#include <cstdio>
#include <unordered_set>

#include "util/config_value.h"

namespace kestrum {
namespace {

// Turns GB18030 text into plain ASCII for number reading: full-width digits, signs and spaces become their
// ASCII forms; every other multi-byte character becomes one '?' so that no trail byte can pass for a digit.
std::string asciiForm(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
            ++i;
            continue;
        }
        if (c >= 0x81 && c <= 0xFE && i + 1 < text.size()) {
            unsigned char t = static_cast<unsigned char>(text[i + 1]);
            if (t >= 0x30 && t <= 0x39) {  // four-byte sequence
                out.push_back('?');
                i += 4;
                continue;
            }
            if (c == 0xA3 && t >= 0xB0 && t <= 0xB9) {
                out.push_back(static_cast<char>('0' + (t - 0xB0)));
            } else if (c == 0xA3 && t == 0xAB) {
                out.push_back('+');
            } else if (c == 0xA3 && t == 0xAD) {
                out.push_back('-');
            } else if (c == 0xA1 && t == 0xA1) {
                out.push_back(' ');
            } else {
                out.push_back('?');
            }
            i += 2;
            continue;
        }
        out.push_back('?');
        ++i;
    }
    return out;
}

class ValueCollector {
  public:
    explicit ValueCollector(std::vector<int>& out) : out_(out) {}
    // False once the cap is reached.
    bool add(int64_t value) {
        if (out_.size() >= kMaxFieldValues)
            return false;
        int v = static_cast<int>(value);
        // Usual values are small: a bitmap keeps the common case free of allocations.
        bool fresh = (v >= 0 && v < kSmall) ? !small_.test(static_cast<size_t>(v)) : seen_.insert(v).second;
        if (v >= 0 && v < kSmall)
            small_.set(static_cast<size_t>(v));
        if (fresh)
            out_.push_back(v);
        return true;
    }

  private:
    static constexpr int kSmall = 128;
    std::vector<int>& out_;
    std::bitset<kSmall> small_;
    std::unordered_set<int> seen_;
};

void collectPart(std::string_view part, int lowest, int highest, ValueCollector& values) {
    size_t dash = part.find('-');
    if (dash != std::string_view::npos) {
        std::string_view rest = part.substr(dash + 1);
        int64_t first = readCronNumber(part.substr(0, dash));
        int64_t last = readCronNumber(rest.substr(0, rest.find('-')));
        for (int64_t v = first; v <= last; ++v) {
            if (!values.add(v))
                return;
        }
        return;
    }
    size_t step = part.find("*/");
    if (step != std::string_view::npos) {
        int64_t n = readCronNumber(part.substr(step + 2));
        if (n == 0)
            return;  // no step, no values (never a division by zero)
        for (int64_t v = lowest; v <= highest; ++v) {
            if (v % n == 0 && !values.add(v))
                return;
        }
        return;
    }
    if (part.find('*') != std::string_view::npos) {
        for (int64_t v = lowest; v <= highest; ++v) {
            if (!values.add(v))
                return;
        }
        return;
    }
    values.add(readCronNumber(part));
}

// Pieces split at every single space; one empty piece at the very end is dropped.
std::vector<std::string_view> splitPieces(std::string_view text) {
    std::vector<std::string_view> pieces;
    size_t start = 0;
    while (true) {
        size_t space = text.find(' ', start);
        if (space == std::string_view::npos) {
            pieces.push_back(text.substr(start));
            break;
        }
        pieces.push_back(text.substr(start, space - start));
        start = space + 1;
    }
    if (!pieces.empty() && pieces.back().empty())
        pieces.pop_back();
    return pieces;
}

std::vector<int> valuesWithin(std::string_view field, int lowest, int highest, int validLow, int validHigh) {
    std::vector<int> values = fieldValues(field, lowest, highest);
    std::vector<int> valid;
    for (int v : values) {
        if (v >= validLow && v <= validHigh)
            valid.push_back(v);
    }
    return valid;
}

bool isLeapYear(int year) {
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int daysInMonth(int month, int year) {
    static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (month < 1 || month > 12)
        return 0;
    if (month == 2 && isLeapYear(year))
        return 29;
    return kDays[month - 1];
}

// 1 = Monday ... 7 = Sunday (Gregorian calendar).
int isoWeekday(int year, int month, int day) {
    static const int kOffsets[12] = {0, 3, 2, 5, 0, 3, 5, 1, 4, 6, 2, 4};
    if (month < 3)
        year -= 1;
    int sundayBased = (year + year / 4 - year / 100 + year / 400 + kOffsets[month - 1] + day) % 7;
    return sundayBased == 0 ? 7 : sundayBased;
}

std::string momentText(int year, int month, int day, int hour, int minute, int second) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02d %02d:%02d:%02d", year, month, day, hour, minute,
                  second);
    return buffer;
}

}  // namespace

int readCronNumber(std::string_view text) {
    return leadingInt(asciiForm(text));
}

std::vector<int> fieldValues(std::string_view field, int lowest, int highest) {
    std::vector<int> out;
    ValueCollector values(out);
    if (field.find(',') != std::string_view::npos) {
        size_t start = 0;
        while (true) {
            size_t comma = field.find(',', start);
            collectPart(
                field.substr(start, comma == std::string_view::npos ? std::string_view::npos : comma - start),
                lowest, highest, values);
            if (comma == std::string_view::npos)
                break;
            start = comma + 1;
        }
    } else {
        collectPart(field, lowest, highest, values);
    }
    return out;
}

bool nextRunTimes(std::string_view expression, int count, std::vector<std::string>& moments,
                  CronFields& fields, const std::tm& now) {
    moments.clear();
    fields = CronFields{};
    if (count <= 0)
        return false;
    std::vector<std::string_view> pieces = splitPieces(expression);
    if (pieces.size() < 7)
        return false;
    fields.second = pieces[0];
    fields.minute = pieces[1];
    fields.hour = pieces[2];
    fields.day = pieces[3];
    fields.month = pieces[4];
    fields.year.clear();
    fields.week = pieces[5];
    fields.name = pieces[6];

    // Only values that can be part of a valid moment take part in the search.
    std::vector<int> seconds = valuesWithin(fields.second, 0, 59, 0, 59);
    std::vector<int> minutes = valuesWithin(fields.minute, 0, 59, 0, 59);
    std::vector<int> hours = valuesWithin(fields.hour, 0, 23, 0, 23);
    std::vector<int> days = valuesWithin(fields.day, 1, 31, 1, 31);
    std::vector<int> months = valuesWithin(fields.month, 1, 12, 1, 12);
    bool weekdays[8] = {};
    for (int w : valuesWithin(fields.week, 1, 7, 1, 7))
        weekdays[w] = true;

    const int nowYear = now.tm_year + 1900;
    const int today = (nowYear * 100 + now.tm_mon + 1) * 100 + now.tm_mday;
    int fruitlessYears = 0;
    for (int year = nowYear;; ++year) {
        const size_t before = moments.size();
        for (int month : months) {
            const int monthDays = daysInMonth(month, year);
            for (int day : days) {
                if (day > monthDays || !weekdays[isoWeekday(year, month, day)])
                    continue;
                const int date = (year * 100 + month) * 100 + day;
                if (date < today)
                    continue;
                const bool isToday = date == today;
                for (int hour : hours) {
                    if (isToday && hour < now.tm_hour)
                        continue;
                    const bool thisHour = isToday && hour == now.tm_hour;
                    for (int minute : minutes) {
                        if (thisHour && minute < now.tm_min)
                            continue;
                        const bool thisMinute = thisHour && minute == now.tm_min;
                        for (int second : seconds) {
                            if (thisMinute && second < now.tm_sec)
                                continue;
                            moments.push_back(momentText(year, month, day, hour, minute, second));
                            if (static_cast<int>(moments.size()) == count)
                                return true;
                        }
                    }
                }
            }
        }
        if (moments.size() == before && ++fruitlessYears >= 4)
            return false;
    }
}

bool nextRunTimes(std::string_view expression, int count, std::vector<std::string>& moments,
                  CronFields& fields) {
    // The precise clock, not time(): glibc's time() reads a coarse clock that can still show the previous
    // second for a few milliseconds after it ended, and the task threads measure their delays with the
    // precise one.
    std::time_t now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
    std::tm local{};
    localtime_r(&now, &local);
    return nextRunTimes(expression, count, moments, fields, local);
}

int64_t momentToUnixMs(std::string_view moment) {
    std::string text(moment);
    std::tm tm{};
    int consumed = 0;
    if (std::sscanf(text.c_str(), "%d-%d-%d %d:%d:%d%n", &tm.tm_year, &tm.tm_mon, &tm.tm_mday, &tm.tm_hour,
                    &tm.tm_min, &tm.tm_sec, &consumed) != 6 ||
        static_cast<size_t>(consumed) != text.size()) {
        return -1;
    }
    tm.tm_year -= 1900;
    tm.tm_mon -= 1;
    tm.tm_isdst = -1;
    std::time_t seconds = std::mktime(&tm);
    if (seconds == static_cast<std::time_t>(-1))
        return -1;
    return static_cast<int64_t>(seconds) * 1000;
}

}  // namespace kestrum
