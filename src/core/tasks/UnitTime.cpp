#include "UnitTime.h"

#include "platform/Exceptions.h"

#include <algorithm>
#include <cmath>

namespace {

template <typename T>
bool Holds(const std::vector<T>& list, int value) {
    return std::any_of(list.begin(), list.end(), [value](T item) { return item == value; });
}

template <typename T>
void AddOnce(std::vector<T>& list, int value) {
    if (!Holds(list, value)) {
        list.push_back(static_cast<T>(value));
    }
}

template <typename T>
void WriteList(TStream& stream, const std::vector<T>& list) {
    stream.WriteInt32(static_cast<std::int32_t>(list.size()));
    for (T item : list) {
        stream.WriteByte(static_cast<std::uint8_t>(item));
    }
}

template <typename T>
void ReadList(TStream& stream, std::vector<T>& list) {
    list.clear();
    const std::int32_t count = stream.ReadInt32();
    if (count > stream.Remaining()) {
        throw EReadError("Schedule record runs past the end of the data");
    }
    for (std::int32_t i = 0; i < count; ++i) {
        list.push_back(static_cast<T>(stream.ReadByte()));
    }
}

} // namespace

std::int32_t IntAbs(std::int32_t value) {
    return value < 0 ? -value : value;
}

TDateTime DateTimeDiff(TDateTime a, TDateTime b) {
    // Read as the date functions read them, so that a NaN or an infinity from a damaged file gives a number.
    return BoundedDateTime(a) - BoundedDateTime(b);
}

std::int64_t DayDifference(TDateTime a, TDateTime b) {
    return DayOf(a) - DayOf(b);
}

int TimeOfDayDifference(TDateTime a, TDateTime b) {
    return IntAbs(SecondsOfDay(a) - SecondsOfDay(b));
}

TTimePeriod::TTimePeriod() {
    const TDateTime now = Now();
    StartDate = now;
    EndDate = now;
}

bool TTimePeriod::IsTimeToRun(TDateTime now) const {
    if (DayDifference(StartDate, now) > 0) {
        return false;
    }
    if (HasEndDate != 0 && DayDifference(EndDate, now) < 0) {
        return false;
    }
    const bool ranToday = DayDifference(LastRun, now) == 0;
    if (Mode == 0) {
        // The window is At - 24 s .. At + 24 s of the same day; the guard, wider than the window, lets it fire once.
        if (TimeOfDayDifference(At, now) >= 25) {
            return false;
        }
        if (ranToday && IntAbs(SecondsOfDay(now) - SecondsOfDay(LastRun)) < 80) {
            return false;
        }
    } else {
        // The hour rhythm holds within one calendar day and starts over after midnight.
        if (ranToday && SecondsOfDay(now) - SecondsOfDay(LastRun) < static_cast<std::int64_t>(EveryHours) * 3600) {
            return false;
        }
        if (std::trunc(DateTimeDiff(now, LastRun)) == 0) {
            return true;
        }
    }
    switch (Type) {
    case Once:
        return DayDifference(now, StartDate) == 0;
    case Daily:
        return std::trunc(DateTimeDiff(now, LastRun)) >= DailyEveryN || DailyEveryN == 1;
    case Weekly: {
        const int weekDay = DayOfWeek(now) - 1;
        const std::int64_t weeks = (DayOf(now) - DayOf(LastRun)) / 7;
        if (weeks < WeeklyEveryN) {
            return false;
        }
        return HasWeekDay(weekDay);
    }
    case Monthly: {
        const DateParts date = DecodeDate(now);
        return date.day == MonthDay && HasMonth(date.month - 1);
    }
    default:
        return false;
    }
}

bool TTimePeriod::HasWeekDay(int day) const {
    return Holds(WeekDays, day);
}

bool TTimePeriod::HasMonth(int month) const {
    return Holds(Months, month);
}

void TTimePeriod::AddWeekDay(int day) {
    AddOnce(WeekDays, day);
}

void TTimePeriod::AddMonth(int month) {
    AddOnce(Months, month);
}

std::string TTimePeriod::TypeName() const {
    switch (Type) {
    case Once:
        return "Once";
    case Daily:
        return "Daily";
    case Weekly:
        return "Weekly";
    case Monthly:
        return "Monthly";
    default:
        return "";
    }
}

void TTimePeriod::SaveToStream(TStream& stream) const {
    stream.WriteByte(Type);
    stream.WriteInt32(DailyEveryN);
    stream.WriteInt32(WeeklyEveryN);
    stream.WriteInt32(MonthDay);
    stream.WriteDouble(StartDate);
    stream.WriteByte(HasEndDate);
    stream.WriteDouble(EndDate);
    stream.WriteDouble(At);
    stream.WriteDouble(LastRun);
    stream.WriteByte(DeleteAfterStop);
    stream.WriteByte(Mode);
    WriteList(stream, WeekDays);
    WriteList(stream, Months);
}

void TTimePeriod::LoadFromStream(TStream& stream) {
    Type = stream.ReadByte();
    DailyEveryN = stream.ReadInt32();
    WeeklyEveryN = stream.ReadInt32();
    MonthDay = stream.ReadInt32();
    StartDate = stream.ReadDouble();
    HasEndDate = stream.ReadByte();
    EndDate = stream.ReadDouble();
    At = stream.ReadDouble();
    LastRun = stream.ReadDouble();
    DeleteAfterStop = stream.ReadByte();
    Mode = stream.ReadByte();
    ReadList(stream, WeekDays);
    ReadList(stream, Months);
}
