#include "core/common/time/datetime.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>

namespace {

using Common::CivilTime;
using Common::DateTime;
using Common::DateTimeKind;

CivilTime Civil(int32_t year, uint32_t month, uint32_t day, uint32_t hour = 0, uint32_t minute = 0,
                uint32_t second = 0) {
    CivilTime civil;
    civil.year = year;
    civil.month = month;
    civil.day = day;
    civil.hour = hour;
    civil.minute = minute;
    civil.second = second;
    return civil;
}

void ExpectCivil(const DateTime& time, const CivilTime& expected, uint32_t dayOfWeek) {
    CivilTime civil;
    ASSERT_TRUE(Common::ToCivilTime(time, civil)) << time.seconds;
    EXPECT_EQ(civil.year, expected.year);
    EXPECT_EQ(civil.month, expected.month);
    EXPECT_EQ(civil.day, expected.day);
    EXPECT_EQ(civil.hour, expected.hour);
    EXPECT_EQ(civil.minute, expected.minute);
    EXPECT_EQ(civil.second, expected.second);
    EXPECT_EQ(civil.dayOfWeek, dayOfWeek);
}

// Sets TZ for one test and puts the old value back.
class ScopedTimeZone {
  public:
    explicit ScopedTimeZone(const char* zone) {
        const char* old = std::getenv("TZ");
        hadOld_ = old != nullptr;
        if (hadOld_)
            old_ = old;
        setenv("TZ", zone, 1);
        tzset();
    }
    ~ScopedTimeZone() {
        if (hadOld_) {
            setenv("TZ", old_.c_str(), 1);
        } else {
            unsetenv("TZ");
        }
        tzset();
    }

  private:
    bool hadOld_ = false;
    std::string old_;
};

constexpr const char* kCentralEurope = "CET-1CEST,M3.5.0,M10.5.0/3";

TEST(DateTimeLimits, MaximumMinimumAndInvalid) {
    EXPECT_EQ(DateTime::Max().seconds, 0x793406FFF);
    EXPECT_EQ(DateTime::Max().nanoseconds, 999999999u);
    EXPECT_TRUE(DateTime::Max().IsValid());
    EXPECT_TRUE(DateTime::Min().IsValid());
    EXPECT_EQ(DateTime::Invalid().seconds, INT64_MIN);
    EXPECT_FALSE(DateTime::Invalid().IsValid());
    EXPECT_FALSE(DateTime{}.IsValid());

    EXPECT_FALSE((DateTime{DateTime::kMaxSeconds + 1, 0, DateTimeKind::Utc}.IsValid()));
    EXPECT_FALSE((DateTime{DateTime::kMinSeconds - 1, 999999999, DateTimeKind::Utc}.IsValid()));
    EXPECT_FALSE((DateTime{0, 1000000000, DateTimeKind::Utc}.IsValid()));

    ExpectCivil(DateTime::Max(), Civil(3001, 1, 1, 7, 59, 59), 4);
    ExpectCivil(DateTime::Min(), Civil(1601, 1, 1), 1);
    CivilTime untouched = Civil(2000, 2, 3);
    EXPECT_FALSE(Common::ToCivilTime(DateTime::Invalid(), untouched));
    EXPECT_FALSE(Common::ToCivilTime(DateTime{DateTime::kMaxSeconds + 1, 0}, untouched));
}

TEST(DateTimeLimits, CalendarFieldsBeyondTheRangeAreRefused) {
    DateTime time{42, 7, DateTimeKind::Utc};
    EXPECT_FALSE(Common::FromCivilTime(Civil(3001, 1, 1, 8), DateTimeKind::Utc, time));
    EXPECT_FALSE(Common::FromCivilTime(Civil(1600, 12, 31, 23, 59, 59), DateTimeKind::Utc, time));
    EXPECT_FALSE(Common::FromCivilTime(Civil(-2147483647 - 1, 1, 1), DateTimeKind::Utc, time));
    EXPECT_EQ(time, (DateTime{42, 7, DateTimeKind::Utc}));

    ASSERT_TRUE(Common::FromCivilTime(Civil(3001, 1, 1, 7, 59, 59), DateTimeKind::Utc, time));
    EXPECT_EQ(time.seconds, DateTime::kMaxSeconds);
    EXPECT_EQ(time.nanoseconds, 0u);
    ASSERT_TRUE(Common::FromCivilTime(Civil(1601, 1, 1), DateTimeKind::Utc, time));
    EXPECT_EQ(time.seconds, DateTime::kMinSeconds);
}

TEST(DateTimeCalendar, KnownInstants) {
    ExpectCivil(DateTime{0, 0, DateTimeKind::Utc}, Civil(1970, 1, 1), 4);
    ExpectCivil(DateTime{-1, 0, DateTimeKind::Utc}, Civil(1969, 12, 31, 23, 59, 59), 3);
    ExpectCivil(DateTime{951782400, 0, DateTimeKind::Utc}, Civil(2000, 2, 29), 2);
    ExpectCivil(DateTime{1709211907, 0, DateTimeKind::Utc}, Civil(2024, 2, 29, 13, 5, 7), 4);
    ExpectCivil(DateTime{-2203891200, 0, DateTimeKind::Utc}, Civil(1900, 3, 1), 4);
}

TEST(DateTimeCalendar, FieldRangesAndLeapYears) {
    DateTime time;
    EXPECT_TRUE(Common::FromCivilTime(Civil(2000, 2, 29), DateTimeKind::Utc, time));
    EXPECT_TRUE(Common::FromCivilTime(Civil(2400, 2, 29), DateTimeKind::Utc, time));
    EXPECT_FALSE(Common::FromCivilTime(Civil(1900, 2, 29), DateTimeKind::Utc, time));
    EXPECT_FALSE(Common::FromCivilTime(Civil(2100, 2, 29), DateTimeKind::Utc, time));
    EXPECT_FALSE(Common::FromCivilTime(Civil(2023, 4, 31), DateTimeKind::Utc, time));
    EXPECT_FALSE(Common::FromCivilTime(Civil(2023, 0, 1), DateTimeKind::Utc, time));
    EXPECT_FALSE(Common::FromCivilTime(Civil(2023, 13, 1), DateTimeKind::Utc, time));
    EXPECT_FALSE(Common::FromCivilTime(Civil(2023, 1, 0), DateTimeKind::Utc, time));
    EXPECT_FALSE(Common::FromCivilTime(Civil(2023, 1, 1, 24), DateTimeKind::Utc, time));
    EXPECT_FALSE(Common::FromCivilTime(Civil(2023, 1, 1, 0, 60), DateTimeKind::Utc, time));
    EXPECT_FALSE(Common::FromCivilTime(Civil(2023, 1, 1, 0, 0, 60), DateTimeKind::Utc, time));
}

// Every 997th day across the whole range, at a second that moves through the day.
TEST(DateTimeCalendar, SecondsAndFieldsRoundTripAcrossTheRange) {
    for (int64_t seconds = DateTime::kMinSeconds; seconds <= DateTime::kMaxSeconds;
         seconds += 997 * 86400 + 3607) {
        const DateTime time{seconds, 0, DateTimeKind::Utc};
        CivilTime civil;
        ASSERT_TRUE(Common::ToCivilTime(time, civil)) << seconds;
        DateTime back;
        ASSERT_TRUE(Common::FromCivilTime(civil, DateTimeKind::Utc, back)) << seconds;
        ASSERT_EQ(back, time);
    }
}

TEST(DateTimeLocal, LocalKindFollowsTheTimeZone) {
    ScopedTimeZone zone(kCentralEurope);
    // 2021-07-01 12:00:00 UTC is summer time, 2021-01-15 12:00:00 UTC winter time.
    const DateTime summer{1625140800, 0, DateTimeKind::Local};
    const DateTime winter{1610712000, 0, DateTimeKind::Local};
    ExpectCivil(summer, Civil(2021, 7, 1, 14), 4);
    ExpectCivil(winter, Civil(2021, 1, 15, 13), 5);
    DateTime back;
    ASSERT_TRUE(Common::FromCivilTime(Civil(2021, 7, 1, 14), DateTimeKind::Local, back));
    EXPECT_EQ(back, summer);
    ASSERT_TRUE(Common::FromCivilTime(Civil(2021, 1, 15, 13), DateTimeKind::Local, back));
    EXPECT_EQ(back, winter);

    // The minimum lies on the last day of 1600 to the west of Greenwich.
    ScopedTimeZone west("EST5");
    ExpectCivil(DateTime::Min(DateTimeKind::Local), Civil(1600, 12, 31, 19), 0);
}

TEST(DateTimeNow, IsValidAndCarriesItsKind) {
    const DateTime now = DateTime::Now(DateTimeKind::Local);
    EXPECT_TRUE(now.IsValid());
    EXPECT_EQ(now.kind, DateTimeKind::Local);
    EXPECT_GT(now.seconds, 1700000000);
}

}  // namespace
