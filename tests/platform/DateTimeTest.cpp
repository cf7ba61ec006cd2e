#include "platform/DateTime.h"
#include "platform/Exceptions.h"

#include <QLocale>

#include <gtest/gtest.h>

#include <limits>
#include <utility>
#include <vector>

namespace {

TEST(DateTime, EncodesDaysSinceTheEpochOfThe30thOfDecember1899) {
    EXPECT_EQ(EncodeDate(1899, 12, 30), 0);
    EXPECT_EQ(EncodeDate(1900, 1, 1), 2);
    EXPECT_EQ(EncodeDate(2005, 5, 17), 38489);
    EXPECT_EQ(EncodeDate(1899, 12, 29), -1);
    EXPECT_DOUBLE_EQ(EncodeTime(18, 0, 0), 0.75);
    EXPECT_THROW(EncodeDate(2027, 2, 29), EConvertError);
    EXPECT_THROW(EncodeTime(24, 0, 0), EConvertError);
    EXPECT_NO_THROW(EncodeDate(2028, 2, 29));
}

TEST(DateTime, DecodesWhatItEncodes) {
    for (const auto& date : {DateParts{1899, 12, 30}, DateParts{1900, 3, 1}, DateParts{2000, 2, 29},
                             DateParts{2100, 12, 31}, DateParts{1850, 6, 15}}) {
        for (const auto& time : {TimeParts{0, 0, 0, 0}, TimeParts{23, 59, 59, 999}, TimeParts{6, 30, 0, 1}}) {
            const TDateTime value = EncodeDateTime(date, time);
            const DateParts d = DecodeDate(value);
            const TimeParts t = DecodeTime(value);
            EXPECT_EQ(d.year, date.year);
            EXPECT_EQ(d.month, date.month);
            EXPECT_EQ(d.day, date.day);
            EXPECT_EQ(t.hour, time.hour);
            EXPECT_EQ(t.minute, time.minute);
            EXPECT_EQ(t.second, time.second);
            EXPECT_EQ(t.millisecond, time.millisecond);
        }
    }
    // Before day 0 the fraction still reads forwards: -1.25 is 1899-12-29 06:00.
    EXPECT_EQ(DecodeTime(-1.25).hour, 6);
    EXPECT_EQ(DecodeDate(-1.25).day, 29);
}

TEST(DateTime, DayOfWeekAndSecondsOfDay) {
    EXPECT_EQ(DayOfWeek(0), 7);                       // a Saturday
    EXPECT_EQ(DayOfWeek(EncodeDate(2026, 12, 6)), 1); // a Sunday
    EXPECT_EQ(DayOfWeek(EncodeDate(2026, 12, 7) + 0.99), 2);
    EXPECT_EQ(DayOfWeek(-1), 6);
    EXPECT_EQ(SecondsOfDay(EncodeTime(10, 0, 24, 999)), 36024);
    EXPECT_EQ(DayOf(38489.99), 38489);
}

TEST(DateTime, EveryDoubleReadsAsANearestEndOrZero) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    // The ends are the last moments of the first and of the last day that the texts and pickers show.
    EXPECT_EQ(DecodeDate(MaxDateTime).year, 9999);
    EXPECT_EQ(DecodeTime(MaxDateTime).millisecond, 999);
    EXPECT_EQ(DecodeDate(MinDateTime).year, 1);
    EXPECT_EQ(DecodeTime(MinDateTime).hour, 23);
    for (const auto& [odd, meant] : std::vector<std::pair<double, double>>{{nan, 0},
                                                                           {-nan, 0},
                                                                           {inf, MaxDateTime},
                                                                           {-inf, MinDateTime},
                                                                           {9.3e18, MaxDateTime},
                                                                           {-9.3e18, MinDateTime},
                                                                           {1e300, MaxDateTime},
                                                                           {-1e300, MinDateTime},
                                                                           {2958466.0, MaxDateTime},
                                                                           {-693594.0, MinDateTime}}) {
        EXPECT_EQ(BoundedDateTime(odd), meant) << odd;
        EXPECT_EQ(DayOf(odd), DayOf(meant)) << odd;
        EXPECT_EQ(SecondsOfDay(odd), SecondsOfDay(meant)) << odd;
        EXPECT_EQ(DayOfWeek(odd), DayOfWeek(meant)) << odd;
        EXPECT_EQ(DecodeDate(odd).year, DecodeDate(meant).year) << odd;
        EXPECT_EQ(DateTimeToStr(odd), DateTimeToStr(meant)) << odd;
        EXPECT_EQ(FormatArchiveStamp(odd), FormatArchiveStamp(meant)) << odd;
        EXPECT_EQ(DateTimeToUnix(odd), DateTimeToUnix(meant)) << odd;
    }
    // Within the range nothing moves: the smallest numbers, and the whole first and last day.
    for (const double kept : {std::numeric_limits<double>::denorm_min(), -0.5, MinDateTime + 0.5, 2958465.25}) {
        EXPECT_EQ(BoundedDateTime(kept), kept);
    }
    EXPECT_EQ(StrToDateTime(DateTimeToStr(inf)), EncodeDate(9999, 12, 31) + EncodeTime(23, 59, 59));
}

TEST(DateTime, ArchiveStamp) {
    EXPECT_EQ(FormatArchiveStamp(EncodeDate(2005, 5, 17) + EncodeTime(10, 0, 0)), "05_17_05_10-00-00");
    EXPECT_EQ(FormatArchiveStamp(EncodeDate(2026, 1, 2) + EncodeTime(3, 4, 5, 678)), "26_02_01_03-04-05");
}

TEST(DateTime, ClockCanBeReplacedForATest) {
    {
        const ScopedClock clock([] { return 1234.5; });
        EXPECT_EQ(Now(), 1234.5);
    }
    EXPECT_NEAR(Now(), SystemNow(), 1.0 / 86400);
}

TEST(DateTime, UnixTimesAreLocalAndThoseBeyondTheYears1To9999TakeTheNearestEnd) {
    const TDateTime value = EncodeDate(2024, 7, 1) + EncodeTime(12, 34, 56);
    EXPECT_EQ(DateTimeFromUnix(DateTimeToUnix(value)), value);
    // File systems with 64-bit times keep such moments; the last ones stand beyond what the system's local time
    // can tell at all.
    const TDateTime last = EncodeDate(9999, 12, 31) + EncodeTime(23, 59, 59);
    const TDateTime first = EncodeDate(1, 1, 1);
    EXPECT_EQ(DateTimeFromUnix(320'000'000'000), last);
    EXPECT_EQ(DateTimeFromUnix(std::numeric_limits<std::time_t>::max()), last);
    EXPECT_EQ(DateTimeFromUnix(-70'000'000'000), first);
    EXPECT_EQ(DateTimeFromUnix(std::numeric_limits<std::time_t>::min()), first);
}

class LocaleText : public ::testing::TestWithParam<QLocale> {
protected:
    void SetUp() override { QLocale::setDefault(GetParam()); }
    void TearDown() override { QLocale::setDefault(QLocale::system()); }
};

std::vector<TDateTime> SampleMoments() {
    return {0,
            EncodeTime(0, 0, 1),
            EncodeDate(2026, 12, 8),
            EncodeDate(2026, 12, 8) + EncodeTime(23, 59, 59),
            EncodeDate(1900, 1, 1) + EncodeTime(12, 0, 0),
            EncodeDate(2100, 12, 31) + EncodeTime(0, 0, 30),
            EncodeDate(2024, 3, 31) + EncodeTime(2, 30, 0), // skipped by daylight saving in much of Europe
            EncodeDate(1999, 11, 5) + EncodeTime(13, 7, 9, 600)};
}

TEST_P(LocaleText, GivesBackWhatItWroteToTheSecond) {
    for (const TDateTime value : SampleMoments()) {
        const std::string text = DateTimeToStr(value);
        TDateTime back = -99;
        ASSERT_TRUE(TryStrToDateTime(text, back)) << GetParam().name().toStdString() << ": " << text;
        const TDateTime wholeSeconds = EncodeDateTime(DecodeDate(value), [&] {
            TimeParts t = DecodeTime(value);
            t.millisecond = 0;
            return t;
        }());
        EXPECT_EQ(back, wholeSeconds) << GetParam().name().toStdString() << ": " << text;
    }
}

TEST_P(LocaleText, LeavesOutMidnightAndUsesFourDigitYears) {
    const std::string dayZero = DateTimeToStr(0);
    EXPECT_EQ(dayZero.find(' ') == std::string::npos || GetParam().dateFormat(QLocale::ShortFormat).contains(' '), true)
        << dayZero;
    const std::string withTime = DateTimeToStr(EncodeTime(0, 0, 1));
    EXPECT_GT(withTime.size(), dayZero.size());
    EXPECT_EQ(withTime.rfind(dayZero, 0), 0u) << withTime;
}

INSTANTIATE_TEST_SUITE_P(Locales, LocaleText,
                         ::testing::Values(QLocale::c(), QLocale(QStringLiteral("en_US")),
                                           QLocale(QStringLiteral("de_DE")), QLocale(QStringLiteral("ja_JP")),
                                           QLocale(QStringLiteral("fa_IR")), QLocale(QStringLiteral("ko_KR"))),
                         [](const auto& param) { return param.param.name().replace('_', "").toStdString(); });

TEST(LocaleTextEverywhere, EveryKnownLocaleRoundTrips) {
    const auto locales = QLocale::matchingLocales(QLocale::AnyLanguage, QLocale::AnyScript, QLocale::AnyTerritory);
    const TDateTime value = EncodeDate(1987, 10, 23) + EncodeTime(17, 45, 3);
    std::vector<std::string> failures;
    for (const QLocale& locale : locales) {
        QLocale::setDefault(locale);
        // Each locale starts with the moment the last one ended with: a text kept for that moment is not this
        // locale's.
        for (const TDateTime moment : {value, 0.0, EncodeDate(2100, 1, 2) + EncodeTime(9, 5, 0), value}) {
            TDateTime back = -99;
            const std::string text = DateTimeToStr(moment);
            if (!TryStrToDateTime(text, back) || back != moment) {
                failures.push_back(locale.name().toStdString() + ": " + text);
            }
        }
    }
    QLocale::setDefault(QLocale::system());
    for (const auto& failure : failures) {
        ADD_FAILURE() << failure;
    }
}

TEST(LocaleTextEverywhere, GarbageDoesNotConvert) {
    QLocale::setDefault(QLocale::c());
    TDateTime value = 5;
    EXPECT_FALSE(TryStrToDateTime("", value));
    EXPECT_FALSE(TryStrToDateTime("not a date", value));
    EXPECT_FALSE(TryStrToDateTime("32/13/2020", value));
    EXPECT_EQ(value, 5);
    EXPECT_THROW(StrToDateTime("31.12."), EConvertError);
    QLocale::setDefault(QLocale::system());
}

} // namespace
