#include "DateTime.h"

#include "Exceptions.h"

#include "LocaleText.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <mutex>
#include <utility>

namespace {

std::mutex clockMutex;
ClockFunction currentClock;

// Days from 1970-01-01 to a civil date in the proleptic Gregorian calendar.
std::int64_t DaysFromCivil(std::int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

DateParts CivilFromDays(std::int64_t z) {
    z += 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const std::int64_t y = static_cast<std::int64_t>(yoe) + era * 400;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    const unsigned d = doy - (153 * mp + 2) / 5 + 1;
    const unsigned m = mp < 10 ? mp + 3 : mp - 9;
    return DateParts{static_cast<int>(y + (m <= 2)), static_cast<int>(m), static_cast<int>(d)};
}

// 1899-12-30 counted from 1970-01-01.
constexpr std::int64_t kEpochOffsetDays = -25569;
constexpr std::int64_t kMsPerDay = 86'400'000;

// Milliseconds into the day of a value; the fraction reads forwards for negative values too.
std::int64_t MillisecondsOfDay(TDateTime value) {
    double whole = 0;
    const double fraction = std::fabs(std::modf(BoundedDateTime(value), &whole));
    const auto ms = static_cast<std::int64_t>(std::llround(fraction * static_cast<double>(kMsPerDay)));
    return ms >= kMsPerDay ? kMsPerDay - 1 : ms;
}

} // namespace

TDateTime BoundedDateTime(TDateTime value) {
    if (std::isnan(value)) {
        return 0;
    }
    return std::clamp(value, MinDateTime, MaxDateTime);
}

TDateTime SystemNow() {
    using namespace std::chrono;
    const auto now = system_clock::now();
    const std::time_t seconds = system_clock::to_time_t(now);
    const auto ms = duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000;
    std::tm local{};
    localtime_r(&seconds, &local);
    return EncodeDateTime(DateParts{local.tm_year + 1900, local.tm_mon + 1, local.tm_mday},
                          TimeParts{local.tm_hour, local.tm_min, local.tm_sec, static_cast<int>(ms)});
}

TDateTime Now() {
    std::lock_guard lock(clockMutex);
    return currentClock ? currentClock() : SystemNow();
}

ScopedClock::ScopedClock(ClockFunction clock) {
    std::lock_guard lock(clockMutex);
    previous_ = std::exchange(currentClock, std::move(clock));
}

ScopedClock::~ScopedClock() {
    std::lock_guard lock(clockMutex);
    currentClock = std::move(previous_);
}

bool IsValidDate(int year, int month, int day) {
    return year >= 1 && year <= 9999 && month >= 1 && month <= 12 && day >= 1 && day <= DaysInMonth(year, month);
}

int DaysInMonth(int year, int month) {
    static constexpr int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return month == 2 && leap ? 29 : days[month - 1];
}

TDateTime EncodeDate(int year, int month, int day) {
    if (!IsValidDate(year, month, day)) {
        throw EConvertError("Invalid argument to date encode");
    }
    return static_cast<double>(DaysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) -
                               kEpochOffsetDays);
}

TDateTime EncodeTime(int hour, int minute, int second, int millisecond) {
    if (hour < 0 || hour > 23 || minute < 0 || minute > 59 || second < 0 || second > 59 || millisecond < 0 ||
        millisecond > 999) {
        throw EConvertError("Invalid argument to time encode");
    }
    const std::int64_t ms = ((hour * 60LL + minute) * 60 + second) * 1000 + millisecond;
    return static_cast<double>(ms) / static_cast<double>(kMsPerDay);
}

TDateTime EncodeDateTime(const DateParts& date, const TimeParts& time) {
    const TDateTime day = EncodeDate(date.year, date.month, date.day);
    const TDateTime fraction = EncodeTime(time.hour, time.minute, time.second, time.millisecond);
    // Before day 0 the fraction still counts forwards from midnight, so it is taken away from the whole day.
    return day < 0 ? day - fraction : day + fraction;
}

DateParts DecodeDate(TDateTime value) {
    return CivilFromDays(DayOf(value) + kEpochOffsetDays);
}

TimeParts DecodeTime(TDateTime value) {
    std::int64_t ms = MillisecondsOfDay(value);
    TimeParts parts;
    parts.millisecond = static_cast<int>(ms % 1000);
    ms /= 1000;
    parts.second = static_cast<int>(ms % 60);
    ms /= 60;
    parts.minute = static_cast<int>(ms % 60);
    parts.hour = static_cast<int>(ms / 60);
    return parts;
}

std::int64_t DayOf(TDateTime value) {
    return static_cast<std::int64_t>(std::trunc(BoundedDateTime(value)));
}

int SecondsOfDay(TDateTime value) {
    return static_cast<int>(MillisecondsOfDay(value) / 1000);
}

int DayOfWeek(TDateTime value) {
    // Day 0 (1899-12-30) was a Saturday.
    const std::int64_t day = DayOf(value);
    return static_cast<int>(((day - 1) % 7 + 7) % 7) + 1;
}

TDateTime DateTimeFromUnix(std::time_t seconds) {
    std::tm local{};
    // A moment outside the years 1 to 9999 (file systems with 64-bit times keep such file times, after a bad clock
    // or a broken extractor) reads as the nearest end, as every other value here does; localtime_r itself fails for
    // one whose year does not fit its int.
    const bool converted = localtime_r(&seconds, &local) != nullptr;
    const long long year = converted ? local.tm_year + 1900LL : (seconds < 0 ? 0 : 10000);
    if (year > 9999) {
        return EncodeDateTime(DateParts{9999, 12, 31}, TimeParts{23, 59, 59, 0});
    }
    if (year < 1) {
        return EncodeDate(1, 1, 1);
    }
    return EncodeDateTime(DateParts{local.tm_year + 1900, local.tm_mon + 1, local.tm_mday},
                          TimeParts{local.tm_hour, local.tm_min, local.tm_sec, 0});
}

std::time_t DateTimeToUnix(TDateTime value) {
    const DateParts date = DecodeDate(value);
    const TimeParts time = DecodeTime(value);
    std::tm local{};
    local.tm_year = date.year - 1900;
    local.tm_mon = date.month - 1;
    local.tm_mday = date.day;
    local.tm_hour = time.hour;
    local.tm_min = time.minute;
    local.tm_sec = time.second;
    local.tm_isdst = -1;
    return std::mktime(&local);
}

namespace {

// The last text DateTimeToStr made on a thread, and what it was made of.
struct TLastDateTimeText {
    bool made = false;
    QLocale locale;
    DateParts date;
    TimeParts time;
    bool millisecondsShown = false;
    std::string text;

    bool Shows(const QLocale& other, const DateParts& d, const TimeParts& t) const {
        return made && d.year == date.year && d.month == date.month && d.day == date.day && t.hour == time.hour &&
               t.minute == time.minute && t.second == time.second &&
               (!millisecondsShown || t.millisecond == time.millisecond) && other == locale;
    }
};

} // namespace

std::string DateTimeToStr(TDateTime value) {
    const DateParts date = DecodeDate(value);
    const TimeParts time = DecodeTime(value);
    // A run logs thousands of lines a second, each with its moment's text: the last text serves again while the
    // locale and every part that it shows are the same.
    thread_local TLastDateTimeText last;
    const QLocale locale;
    if (!last.Shows(locale, date, time)) {
        // Midnight is written as the date alone.
        const bool withTime = time.hour != 0 || time.minute != 0 || time.second != 0;
        last.text = FormatLocaleDateTime(locale, value, withTime).toStdString();
        last.millisecondsShown = LocaleTextShowsMilliseconds(locale, withTime);
        last.locale = locale;
        last.date = date;
        last.time = time;
        last.made = true;
    }
    return last.text;
}

bool TryStrToDateTime(const std::string& text, TDateTime& value) {
    const QString input = QString::fromStdString(text).trimmed();
    const QLocale locale;
    return ParseLocaleDateTime(locale, input, true, value) || ParseLocaleDateTime(locale, input, false, value);
}

TDateTime StrToDateTime(const std::string& text) {
    TDateTime value = 0;
    if (!TryStrToDateTime(text, value)) {
        throw EConvertError("'" + text + "' is not a valid date and time");
    }
    return value;
}

std::string FormatArchiveStamp(TDateTime value) {
    const DateParts date = DecodeDate(value);
    const TimeParts time = DecodeTime(value);
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%02d_%02d_%02d_%02d-%02d-%02d", date.year % 100, date.day, date.month,
                  time.hour, time.minute, time.second);
    return buffer;
}
