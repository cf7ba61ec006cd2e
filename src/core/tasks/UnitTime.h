#pragma once

#include "platform/DateTime.h"
#include "platform/Streams.h"

#include <cstdint>
#include <string>
#include <vector>

using TDayOfWeek = std::int8_t; // 0 = Sunday ... 6 = Saturday
using TMouths = std::int8_t;    // 0 = January ... 11 = December

// A task's schedule: on which days it may run and when on such a day, and the due test the timers ask.
class TTimePeriod {
public:
    enum Kind : std::uint8_t { Once = 0, Daily = 1, Weekly = 2, Monthly = 3 };

    TTimePeriod();

    std::uint8_t Type = Once;
    std::int32_t DailyEveryN = 0;
    std::vector<TDayOfWeek> WeekDays;
    std::int32_t WeeklyEveryN = 0;
    std::int32_t MonthDay = 0;
    std::vector<TMouths> Months;
    TDateTime StartDate = 0; // only its day counts
    std::uint8_t HasEndDate = 0;
    TDateTime EndDate = 0; // only its day counts
    TDateTime At = 0;      // only its time of day counts
    std::int32_t EveryHours = 3;
    std::uint8_t Mode = 0; // 0: once a day at At; otherwise every EveryHours hours
    TDateTime LastRun = 0; // 0: never
    std::uint8_t DeleteAfterStop = 0;

    // True when the task is due at `now`. Changes nothing: whoever starts the task sets LastRun.
    bool IsTimeToRun(TDateTime now) const;

    bool HasWeekDay(int day) const;
    bool HasMonth(int month) const;
    void AddWeekDay(int day);
    void AddMonth(int month);
    void ClearWeekDays() { WeekDays.clear(); }
    void ClearMonths() { Months.clear(); }

    // "Once", "Daily", "Weekly", "Monthly", or "" for an unknown kind.
    std::string TypeName() const;

    // The 56 + k + m byte record; EveryHours is not part of it.
    void SaveToStream(TStream& stream) const;
    void LoadFromStream(TStream& stream);
};

// Helpers of the due test, on whole days and on times of day in seconds. Every double gives an answer: dates are
// read as BoundedDateTime reads them.
std::int32_t IntAbs(std::int32_t value);
TDateTime DateTimeDiff(TDateTime a, TDateTime b);
std::int64_t DayDifference(TDateTime a, TDateTime b);
int TimeOfDayDifference(TDateTime a, TDateTime b);
