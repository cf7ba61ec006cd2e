#pragma once

#include <cstdint>
#include <ctime>
#include <functional>
#include <string>

// Days since 1899-12-30 with the time of day in the fraction, in local time. A negative value counts whole days
// backwards while its fraction still reads as a time of day forwards (-1.25 is 1899-12-29 06:00).
//
// Values come from stored files, so every function here answers for every double: a value beyond the last moment
// of 9999-12-31 or before the last moment of 0001-01-01 (the ends of what the texts and the date pickers show)
// reads as that nearest end, infinities included, and NaN reads as 0 (1899-12-30 00:00).
using TDateTime = double;

// 0001-01-01 23:59:59.999 and 9999-12-31 23:59:59.999.
inline constexpr TDateTime MinDateTime = -693593.0 - 86'399'999.0 / 86'400'000.0;
inline constexpr TDateTime MaxDateTime = 2958465.0 + 86'399'999.0 / 86'400'000.0;
// The value as the functions here read it: NaN as 0, anything out of range as the nearest end.
TDateTime BoundedDateTime(TDateTime value);

// --- The current moment, through one clock that tests may replace ---

TDateTime Now();
using ClockFunction = std::function<TDateTime()>;
// Replaces the clock until the returned guard is destroyed; the previous clock comes back then.
class ScopedClock {
public:
    explicit ScopedClock(ClockFunction clock);
    ~ScopedClock();
    ScopedClock(const ScopedClock&) = delete;
    ScopedClock& operator=(const ScopedClock&) = delete;

private:
    ClockFunction previous_;
};
TDateTime SystemNow();

// --- Encoding and decoding ---

struct DateParts {
    int year = 0;
    int month = 0; // 1..12
    int day = 0;   // 1..31
};

struct TimeParts {
    int hour = 0;
    int minute = 0;
    int second = 0;
    int millisecond = 0;
};

bool IsValidDate(int year, int month, int day);
int DaysInMonth(int year, int month);
// Raise EConvertError for values out of range.
TDateTime EncodeDate(int year, int month, int day);
TDateTime EncodeTime(int hour, int minute, int second, int millisecond = 0);
TDateTime EncodeDateTime(const DateParts& date, const TimeParts& time);
DateParts DecodeDate(TDateTime value);
TimeParts DecodeTime(TDateTime value);

// The whole-day part, truncated toward zero.
std::int64_t DayOf(TDateTime value);
// Time of day in seconds, milliseconds dropped.
int SecondsOfDay(TDateTime value);
// 1 for Sunday ... 7 for Saturday.
int DayOfWeek(TDateTime value);

// Local time of a POSIX moment, and back. A moment after 9999 reads as 9999-12-31 23:59:59, one before year 1 as
// 0001-01-01 00:00:00.
TDateTime DateTimeFromUnix(std::time_t seconds);
std::time_t DateTimeToUnix(TDateTime value);

// --- Texts ---

// The user's standard date-and-time text: short date with a four-digit year, a blank, the long time without the
// time zone; the time is left out when it is 00:00:00. StrToDateTime gives back, to the second, what
// DateTimeToStr wrote, in the same locale. Both follow Qt's default locale (the user's unless a test sets another).
std::string DateTimeToStr(TDateTime value);
TDateTime StrToDateTime(const std::string& text); // raises EConvertError
bool TryStrToDateTime(const std::string& text, TDateTime& value);

// "yy_dd_mm_hh-nn-ss": two-digit year, day, month, 24-hour hour, minute, second, each zero-padded.
std::string FormatArchiveStamp(TDateTime value);
