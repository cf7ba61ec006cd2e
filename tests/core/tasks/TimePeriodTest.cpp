#include "core/tasks/UnitTime.h"

#include "platform/Exceptions.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

// 2026-12-07 is a Monday.
TDateTime Day(int year, int month, int day) {
    return EncodeDate(year, month, day);
}

TDateTime At(TDateTime day, int h, int m, int s, int ms = 0) {
    return day + EncodeTime(h, m, s, ms);
}

// A rule whose day tests all pass from a start day long ago, so that each test looks at one rule only.
TTimePeriod Rule(std::uint8_t type, TDateTime at) {
    TTimePeriod rule;
    rule.Type = type;
    rule.StartDate = Day(2000, 1, 1);
    rule.EndDate = Day(2000, 1, 1);
    rule.At = at;
    rule.DailyEveryN = 1;
    return rule;
}

const TDateTime monday = Day(2026, 12, 7);

TEST(TimePeriod, NewRuleDefaults) {
    const ScopedClock clock([] { return At(Day(2026, 12, 8), 13, 14, 15); });
    const TTimePeriod rule;
    EXPECT_EQ(rule.Type, 0);
    EXPECT_EQ(rule.DailyEveryN, 0);
    EXPECT_EQ(rule.WeeklyEveryN, 0);
    EXPECT_EQ(rule.MonthDay, 0);
    EXPECT_TRUE(rule.WeekDays.empty());
    EXPECT_TRUE(rule.Months.empty());
    EXPECT_EQ(rule.StartDate, At(Day(2026, 12, 8), 13, 14, 15));
    EXPECT_EQ(rule.EndDate, rule.StartDate);
    EXPECT_EQ(rule.HasEndDate, 0);
    EXPECT_EQ(rule.At, 0);
    EXPECT_EQ(rule.EveryHours, 3);
    EXPECT_EQ(rule.Mode, 0);
    EXPECT_EQ(rule.LastRun, 0);
    EXPECT_EQ(rule.DeleteAfterStop, 0);
    EXPECT_EQ(rule.TypeName(), "Once");
}

TEST(TimePeriod, ModeZeroWindowIsTwentyFourSecondsEachSideIgnoringMilliseconds) {
    const TTimePeriod rule = Rule(TTimePeriod::Daily, EncodeTime(10, 0, 0));
    EXPECT_FALSE(rule.IsTimeToRun(At(monday, 9, 59, 35, 999)));
    EXPECT_TRUE(rule.IsTimeToRun(At(monday, 9, 59, 36)));
    EXPECT_TRUE(rule.IsTimeToRun(At(monday, 10, 0, 0)));
    EXPECT_TRUE(rule.IsTimeToRun(At(monday, 10, 0, 24, 999)));
    EXPECT_FALSE(rule.IsTimeToRun(At(monday, 10, 0, 25)));
}

TEST(TimePeriod, ModeZeroWindowDoesNotWrapAroundMidnight) {
    const TTimePeriod late = Rule(TTimePeriod::Daily, EncodeTime(23, 59, 50));
    EXPECT_TRUE(late.IsTimeToRun(At(monday, 23, 59, 59)));
    EXPECT_FALSE(late.IsTimeToRun(At(monday + 1, 0, 0, 0)));
    EXPECT_FALSE(late.IsTimeToRun(At(monday + 1, 0, 0, 10)));
    const TTimePeriod early = Rule(TTimePeriod::Daily, EncodeTime(0, 0, 5));
    EXPECT_FALSE(early.IsTimeToRun(At(monday, 23, 59, 59)));
    EXPECT_TRUE(early.IsTimeToRun(At(monday, 0, 0, 0)));
}

TEST(TimePeriod, RepeatGuardFiresOncePerWindowOnTheSameDayOnly) {
    TTimePeriod rule = Rule(TTimePeriod::Daily, EncodeTime(10, 0, 0));
    int fired = 0;
    for (int s = -24; s <= 24; s += 4) {
        const TDateTime now = At(monday, 10, 0, 0) + s / 86400.0;
        if (rule.IsTimeToRun(now)) {
            ++fired;
            rule.LastRun = now;
        }
    }
    EXPECT_EQ(fired, 1);
    // The next day the same window fires although LastRun's time of day lies inside it.
    EXPECT_TRUE(rule.IsTimeToRun(rule.LastRun + 1));
    // 80 s apart on the same day is no longer guarded (only reachable with a time-of-day far from At).
    rule.LastRun = At(monday, 9, 58, 40);
    EXPECT_TRUE(rule.IsTimeToRun(At(monday, 10, 0, 0)));
    rule.LastRun = At(monday, 9, 58, 41);
    EXPECT_FALSE(rule.IsTimeToRun(At(monday, 10, 0, 0)));
}

TEST(TimePeriod, StartAndEndDaysAreInclusive) {
    TTimePeriod rule = Rule(TTimePeriod::Daily, EncodeTime(10, 0, 0));
    rule.StartDate = At(monday, 23, 0, 0);
    EXPECT_FALSE(rule.IsTimeToRun(At(monday - 1, 10, 0, 0)));
    EXPECT_TRUE(rule.IsTimeToRun(At(monday, 10, 0, 0)));
    rule.HasEndDate = 1;
    rule.EndDate = At(monday + 1, 1, 0, 0);
    EXPECT_TRUE(rule.IsTimeToRun(At(monday + 1, 10, 0, 0)));
    EXPECT_FALSE(rule.IsTimeToRun(At(monday + 2, 10, 0, 0)));
    rule.HasEndDate = 0;
    EXPECT_TRUE(rule.IsTimeToRun(At(monday + 2, 10, 0, 0)));
}

TEST(TimePeriod, OnceFiresOnTheStartDayOnly) {
    TTimePeriod rule = Rule(TTimePeriod::Once, EncodeTime(8, 30, 0));
    rule.StartDate = monday;
    EXPECT_TRUE(rule.IsTimeToRun(At(monday, 8, 30, 0)));
    EXPECT_FALSE(rule.IsTimeToRun(At(monday + 1, 8, 30, 0)));
}

TEST(TimePeriod, DailyCountsElapsedTwentyFourHourPeriods) {
    TTimePeriod rule = Rule(TTimePeriod::Daily, EncodeTime(10, 0, 0));
    rule.DailyEveryN = 2;
    rule.LastRun = At(monday, 10, 0, 30);
    // Wednesday 10:00:00 is 1 day 23:59:30 later.
    EXPECT_FALSE(rule.IsTimeToRun(At(monday + 2, 10, 0, 0)));
    EXPECT_TRUE(rule.IsTimeToRun(At(monday + 3, 10, 0, 0)));
    // Every day means every day, however little time has passed.
    rule.DailyEveryN = 1;
    rule.LastRun = At(monday, 9, 0, 0);
    EXPECT_TRUE(rule.IsTimeToRun(At(monday, 10, 0, 0)));
    EXPECT_TRUE(rule.IsTimeToRun(At(monday + 1, 10, 0, 0)));
}

TEST(TimePeriod, WeeklyOnChosenDaysEveryNWeeks) {
    TTimePeriod rule = Rule(TTimePeriod::Weekly, EncodeTime(10, 0, 0));
    rule.AddWeekDay(1); // Monday
    rule.AddWeekDay(4); // Thursday
    rule.WeeklyEveryN = 1;
    rule.LastRun = At(monday, 10, 0, 0);
    EXPECT_FALSE(rule.IsTimeToRun(At(monday + 3, 10, 0, 0))); // Thursday: 0 weeks
    EXPECT_FALSE(rule.IsTimeToRun(At(monday + 5, 10, 0, 0))); // Saturday, not chosen
    EXPECT_TRUE(rule.IsTimeToRun(At(monday + 7, 10, 0, 0)));  // next Monday
    rule.WeeklyEveryN = 0;
    EXPECT_TRUE(rule.IsTimeToRun(At(monday + 3, 10, 0, 0)));
    EXPECT_FALSE(rule.IsTimeToRun(At(monday + 4, 10, 0, 0))); // Friday
    // Sunday is day 0.
    rule.ClearWeekDays();
    rule.AddWeekDay(0);
    EXPECT_TRUE(rule.IsTimeToRun(At(monday + 6, 10, 0, 0)));
}

TEST(TimePeriod, MonthlyDayThirtyOneOnlyInLongMonths) {
    TTimePeriod rule = Rule(TTimePeriod::Monthly, EncodeTime(10, 0, 0));
    rule.MonthDay = 31;
    for (int month = 0; month < 12; ++month) {
        rule.AddMonth(month);
    }
    int dueDays = 0;
    for (TDateTime day = Day(2027, 1, 1); day < Day(2028, 1, 1); day += 1) {
        if (rule.IsTimeToRun(At(day, 10, 0, 0))) {
            ++dueDays;
            EXPECT_EQ(DecodeDate(day).day, 31);
        }
    }
    EXPECT_EQ(dueDays, 7);
    rule.ClearMonths();
    rule.AddMonth(11);
    EXPECT_TRUE(rule.IsTimeToRun(At(Day(2026, 12, 31), 10, 0, 0)));
    EXPECT_FALSE(rule.IsTimeToRun(At(Day(2027, 1, 31), 10, 0, 0)));
}

TEST(TimePeriod, EveryNHoursRestartsAtMidnightAndSkipsTheKindTest) {
    TTimePeriod rule = Rule(TTimePeriod::Monthly, EncodeTime(10, 0, 0)); // a kind that would never match
    rule.Mode = 1;
    rule.EveryHours = 3;
    rule.LastRun = At(monday, 9, 0, 0);
    EXPECT_FALSE(rule.IsTimeToRun(At(monday, 11, 59, 59)));
    EXPECT_TRUE(rule.IsTimeToRun(At(monday, 12, 0, 0)));
    rule.LastRun = At(monday - 1, 22, 0, 0);
    EXPECT_TRUE(rule.IsTimeToRun(At(monday, 0, 0, 2)));
    // 24 hours or more back, or never: the kind decides.
    rule.LastRun = At(monday - 2, 22, 0, 0);
    EXPECT_FALSE(rule.IsTimeToRun(At(monday, 12, 0, 0)));
    rule.Type = TTimePeriod::Daily;
    EXPECT_TRUE(rule.IsTimeToRun(At(monday, 12, 0, 0)));
    rule.LastRun = 0;
    EXPECT_TRUE(rule.IsTimeToRun(At(monday, 0, 0, 0)));
    // Any mode other than 0 behaves as mode 1.
    rule.Mode = 7;
    rule.LastRun = At(monday, 9, 0, 0);
    EXPECT_FALSE(rule.IsTimeToRun(At(monday, 10, 0, 0)));
}

TEST(TimePeriod, UnknownKindNeverRunsAndHasNoName) {
    TTimePeriod rule = Rule(7, EncodeTime(10, 0, 0));
    EXPECT_FALSE(rule.IsTimeToRun(At(monday, 10, 0, 0)));
    EXPECT_EQ(rule.TypeName(), "");
    const char* names[] = {"Once", "Daily", "Weekly", "Monthly"};
    for (std::uint8_t type = 0; type < 4; ++type) {
        rule.Type = type;
        EXPECT_EQ(rule.TypeName(), names[type]);
    }
}

TEST(TimePeriod, ListsKeepOneOfEachValue) {
    TTimePeriod rule;
    rule.AddWeekDay(3);
    rule.AddWeekDay(3);
    EXPECT_EQ(rule.WeekDays, std::vector<TDayOfWeek>{3});
    EXPECT_TRUE(rule.HasWeekDay(3));
    EXPECT_FALSE(rule.HasWeekDay(4));
    rule.AddMonth(0);
    rule.ClearMonths();
    EXPECT_FALSE(rule.HasMonth(0));
}

std::vector<std::uint8_t> Le(std::uint64_t value, int size) {
    std::vector<std::uint8_t> bytes;
    for (int i = 0; i < size; ++i) {
        bytes.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
    }
    return bytes;
}

std::vector<std::uint8_t> DoubleBytes(double value) {
    std::uint64_t bits = 0;
    std::memcpy(&bits, &value, 8);
    return Le(bits, 8);
}

TEST(TimePeriod, RecordLayoutByteForByte) {
    TTimePeriod rule;
    rule.Type = 2;
    rule.DailyEveryN = 5;
    rule.WeeklyEveryN = -2;
    rule.MonthDay = 31;
    rule.StartDate = 46000.5;
    rule.HasEndDate = 1;
    rule.EndDate = 46100.25;
    rule.At = 0.75;
    rule.LastRun = 46001.125;
    rule.DeleteAfterStop = 1;
    rule.Mode = 1;
    rule.EveryHours = 6;
    rule.AddWeekDay(1);
    rule.AddWeekDay(5);
    rule.AddMonth(11);

    std::vector<std::uint8_t> expected{2};
    auto append = [&expected](const std::vector<std::uint8_t>& bytes) {
        expected.insert(expected.end(), bytes.begin(), bytes.end());
    };
    append(Le(5, 4));
    append(Le(static_cast<std::uint32_t>(-2), 4));
    append(Le(31, 4));
    append(DoubleBytes(46000.5));
    append({1});
    append(DoubleBytes(46100.25));
    append(DoubleBytes(0.75));
    append(DoubleBytes(46001.125));
    append({1, 1});
    append(Le(2, 4));
    append({1, 5});
    append(Le(1, 4));
    append({11});

    TMemoryStream stream;
    rule.SaveToStream(stream);
    ASSERT_EQ(stream.Bytes().size(), 56u + 2 + 1);
    EXPECT_EQ(stream.Bytes(), expected);

    stream.SetPosition(0);
    TTimePeriod back;
    back.LoadFromStream(stream);
    EXPECT_EQ(back.EveryHours, 3); // not stored
    EXPECT_EQ(back.Type, 2);
    EXPECT_EQ(back.DailyEveryN, 5);
    EXPECT_EQ(back.WeeklyEveryN, -2);
    EXPECT_EQ(back.MonthDay, 31);
    EXPECT_EQ(back.StartDate, 46000.5);
    EXPECT_EQ(back.HasEndDate, 1);
    EXPECT_EQ(back.EndDate, 46100.25);
    EXPECT_EQ(back.At, 0.75);
    EXPECT_EQ(back.LastRun, 46001.125);
    EXPECT_EQ(back.DeleteAfterStop, 1);
    EXPECT_EQ(back.Mode, 1);
    EXPECT_EQ(back.WeekDays, (std::vector<TDayOfWeek>{1, 5}));
    EXPECT_EQ(back.Months, (std::vector<TMouths>{11}));
}

TEST(TimePeriod, ReaderKeepsDuplicatesAndSkipsNegativeCounts) {
    TMemoryStream stream;
    TTimePeriod rule;
    rule.SaveToStream(stream);
    auto bytes = stream.TakeBytes();
    // Week days: count 3 with a duplicate; months: a negative count, then one more byte that must stay unread.
    bytes.resize(48);
    for (auto b : Le(3, 4)) {
        bytes.push_back(b);
    }
    bytes.insert(bytes.end(), {2, 2, 6});
    for (auto b : Le(static_cast<std::uint32_t>(-4), 4)) {
        bytes.push_back(b);
    }
    bytes.push_back(0xAA);
    TMemoryStream in(bytes);
    TTimePeriod back;
    back.LoadFromStream(in);
    EXPECT_EQ(back.WeekDays, (std::vector<TDayOfWeek>{2, 2, 6}));
    EXPECT_TRUE(back.Months.empty());
    EXPECT_EQ(in.Remaining(), 1);
}

TEST(TimePeriod, EveryTruncationOfARecordIsAReadError) {
    TTimePeriod rule;
    rule.AddWeekDay(1);
    rule.AddMonth(2);
    TMemoryStream stream;
    rule.SaveToStream(stream);
    const auto whole = stream.Bytes();
    for (std::size_t cut = 0; cut < whole.size(); ++cut) {
        TMemoryStream in(std::vector<std::uint8_t>(whole.begin(), whole.begin() + cut));
        TTimePeriod back;
        EXPECT_THROW(back.LoadFromStream(in), EReadError) << "cut at " << cut;
    }
    // A huge count must fail at once rather than read byte after byte.
    auto damaged = whole;
    damaged[48] = 0xFF;
    damaged[49] = 0xFF;
    damaged[50] = 0xFF;
    damaged[51] = 0x7F;
    TMemoryStream in(damaged);
    TTimePeriod back;
    EXPECT_THROW(back.LoadFromStream(in), EReadError);
}

} // namespace
