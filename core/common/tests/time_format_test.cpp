#include "core/common/time/time_format.h"

#include <gtest/gtest.h>
#include <locale.h>

#include <cstdlib>
#include <ctime>
#include <string>

#include "core/common/text.h"
#include "core/common/time/locale_time.h"
#include "core/common/time/picture.h"

namespace {

using Common::DateTime;
using Common::DateTimeKind;
using Common::TimeFormatWin;

// 2024-03-05 13:05:07 UTC, a Tuesday.
constexpr int64_t kSample = 1709643907;
constexpr int64_t kSampleMidnight = kSample - (13 * 3600 + 5 * 60 + 7);
constexpr int64_t kSampleTimeOfDay = 13 * 3600 + 5 * 60 + 7;

std::string Formatted(const TimeFormatWin& format, int64_t seconds) {
    std::u16string text;
    EXPECT_TRUE(format.Format(DateTime{seconds, 0, DateTimeKind::Utc}, text)) << seconds;
    return Common::ToUtf8(text);
}

// The seconds that `text` reads as; INT64_MIN when it does not read.
int64_t Parsed(const TimeFormatWin& format, const std::string& text) {
    DateTime time = DateTime::Invalid();
    return format.Parse(Common::ToUtf16(text), time) ? time.seconds : INT64_MIN;
}

// Sets an environment variable for one test and puts the old value back.
class ScopedEnvironment {
  public:
    ScopedEnvironment(const char* name, const char* value) : name_(name) {
        const char* old = std::getenv(name);
        hadOld_ = old != nullptr;
        if (hadOld_)
            old_ = old;
        setenv(name, value, 1);
        tzset();
    }
    ~ScopedEnvironment() {
        if (hadOld_) {
            setenv(name_, old_.c_str(), 1);
        } else {
            unsetenv(name_);
        }
        tzset();
    }

  private:
    const char* name_;
    bool hadOld_ = false;
    std::string old_;
};

TEST(TimeFormatC, PatternsOfEachDateKind) {
    EXPECT_EQ(TimeFormatWin(0, 2, "C").DatePattern(), u"MM/dd/yy");
    EXPECT_EQ(TimeFormatWin(0, 2, "C").TimePattern(), u"HH:mm:ss");
    for (uint32_t kind : {1u, 2u, 3u}) {
        EXPECT_EQ(TimeFormatWin(kind, 2, "C").DatePattern(), u"dddd MMMM d yyyy") << kind;
    }
    EXPECT_EQ(TimeFormatWin(4, 2, "C").DatePattern(), u"");
    EXPECT_EQ(TimeFormatWin(7, 2, "C").TimePattern(), u"HH:mm:ss");
}

TEST(TimeFormatC, FormatsAndParsesEachMode) {
    const TimeFormatWin both(0, 2, "C");
    const TimeFormatWin dateOnly(0, 0, "C");
    const TimeFormatWin timeOnly(0, 1, "C");
    const TimeFormatWin longBoth(1, 5, "C");
    EXPECT_EQ(Formatted(both, kSample), "03/05/24 13:05:07");
    EXPECT_EQ(Formatted(dateOnly, kSample), "03/05/24");
    EXPECT_EQ(Formatted(timeOnly, kSample), "13:05:07");
    EXPECT_EQ(Formatted(longBoth, kSample), "Tuesday March 5 2024 13:05:07");

    EXPECT_EQ(Parsed(both, "03/05/24 13:05:07"), kSample);
    EXPECT_EQ(Parsed(dateOnly, "03/05/24"), kSampleMidnight);
    EXPECT_EQ(Parsed(timeOnly, "13:05:07"), kSampleTimeOfDay);
    EXPECT_EQ(Parsed(longBoth, "Tuesday March 5 2024 13:05:07"), kSample);
    EXPECT_EQ(Parsed(longBoth, "tUESDAY mARCH 05 2024 13:5:7"), kSample);
}

TEST(TimeFormatC, TimeAloneTriesTheFixedPicturesFirst) {
    const TimeFormatWin timeOnly(0, 1, "C");
    EXPECT_EQ(Parsed(timeOnly, "13:05:07 PM"), kSampleTimeOfDay);
    EXPECT_EQ(Parsed(timeOnly, "13:05 pm"), 13 * 3600 + 5 * 60);
    EXPECT_EQ(Parsed(timeOnly, "13 PM"), 13 * 3600);
    // The 24-hour fields stand as written; the designator only has to be one.
    EXPECT_EQ(Parsed(timeOnly, "01:05:07 PM"), 3600 + 5 * 60 + 7);
    EXPECT_EQ(Parsed(timeOnly, "13 XM"), INT64_MIN);
    EXPECT_EQ(Parsed(timeOnly, "13"), INT64_MIN);
    EXPECT_EQ(Parsed(timeOnly, "24:00:00"), INT64_MIN);
    EXPECT_EQ(Parsed(timeOnly, "12:60:00"), INT64_MIN);
}

TEST(TimeFormatC, DateKindWithoutDate) {
    std::u16string text = u"left over";
    for (uint32_t mode : {0u, 2u}) {
        const TimeFormatWin format(7, mode, "C");
        EXPECT_FALSE(format.Format(DateTime{kSample, 0, DateTimeKind::Utc}, text)) << mode;
        EXPECT_EQ(text, u"");
        DateTime time{5, 0, DateTimeKind::Utc};
        EXPECT_FALSE(format.Parse(u"03/05/24 13:05:07", time));
        EXPECT_EQ(time.seconds, 5);
    }
    EXPECT_EQ(Formatted(TimeFormatWin(7, 1, "C"), kSample), "13:05:07");
}

TEST(TimeFormatC, LimitsAndInvalidValues) {
    const TimeFormatWin format(1, 2, "C");
    EXPECT_EQ(Formatted(format, DateTime::kMaxSeconds), "Thursday January 1 3001 07:59:59");
    EXPECT_EQ(Formatted(format, DateTime::kMinSeconds), "Monday January 1 1601 00:00:00");
    EXPECT_EQ(Parsed(format, "Thursday January 1 3001 07:59:59"), DateTime::kMaxSeconds);
    EXPECT_EQ(Parsed(format, "Monday January 1 1601 00:00:00"), DateTime::kMinSeconds);
    EXPECT_EQ(Parsed(format, "Thursday January 1 3001 08:00:00"), INT64_MIN);
    EXPECT_EQ(Parsed(format, "Sunday December 31 1600 23:59:59"), INT64_MIN);

    std::u16string text = u"left over";
    EXPECT_FALSE(format.Format(DateTime::Invalid(), text));
    EXPECT_EQ(text, u"");
    EXPECT_FALSE(format.Format(DateTime{DateTime::kMaxSeconds + 1, 0, DateTimeKind::Utc}, text));
    EXPECT_FALSE(format.Format(DateTime{0, 1000000000, DateTimeKind::Utc}, text));
}

TEST(TimeFormatC, RejectsMalformedText) {
    const TimeFormatWin both(0, 2, "C");
    const char* const rejected[] = {
        "",
        "03/05/24",
        "03/05/24 13:05:07 ",
        " 03/05/24 13:05:07",
        "03/05/24  13:05:07",
        "03-05-24 13:05:07",
        "02/30/24 13:05:07",
        "13/05/24 13:05:07",
        "03/05/2024 13:05:07",
        "03/05/24 13:05:07x",
        "003/05/24 13:05:07",
        "03/05/24 13:05:",
        "+3/05/24 13:05:07",
    };
    for (const char* text : rejected) {
        EXPECT_EQ(Parsed(both, text), INT64_MIN) << '"' << text << '"';
    }
    const TimeFormatWin longDate(1, 0, "C");
    EXPECT_EQ(Parsed(longDate, "Monday March 5 2024"), INT64_MIN) << "wrong day name";
    EXPECT_EQ(Parsed(longDate, "Tuesday Marc 5 2024"), INT64_MIN);

    DateTime time{77, 3, DateTimeKind::Utc};
    EXPECT_FALSE(both.Parse(std::u16string(TimeFormatWin::kMaxParseLength + 1, u'0'), time));
    EXPECT_EQ(time, (DateTime{77, 3, DateTimeKind::Utc}));
}

TEST(TimeFormatC, TwoDigitYearsReadAs1930To2029) {
    const TimeFormatWin dateOnly(0, 0, "C");
    DateTime time;
    ASSERT_TRUE(dateOnly.Parse(u"01/01/29", time));
    EXPECT_EQ(Formatted(TimeFormatWin(1, 0, "C"), time.seconds), "Monday January 1 2029");
    ASSERT_TRUE(dateOnly.Parse(u"01/01/30", time));
    EXPECT_EQ(Formatted(TimeFormatWin(1, 0, "C"), time.seconds), "Wednesday January 1 1930");
}

TEST(TimeFormatC, LocalValuesShowAndReadLocalTime) {
    ScopedEnvironment zone("TZ", "CET-1CEST,M3.5.0,M10.5.0/3");
    const TimeFormatWin format(0, 2, "C");
    std::u16string text;
    ASSERT_TRUE(format.Format(DateTime{kSample, 0, DateTimeKind::Local}, text));
    EXPECT_EQ(text, u"03/05/24 14:05:07");
    DateTime time{0, 0, DateTimeKind::Local};
    ASSERT_TRUE(format.Parse(text, time));
    EXPECT_EQ(time, (DateTime{kSample, 0, DateTimeKind::Local}));
}

// The build makes the German locale with localedef into the folder that LOCPATH names. Where
// the system cannot make it these tests skip, unless KIVO_REQUIRE_TEST_LOCALES is set (scripts/test
// sets it, so there its absence is a failure).
class TimeFormatGerman : public testing::Test {
  protected:
    void SetUp() override {
        locale_t probe = newlocale(LC_TIME_MASK, "de_DE.UTF-8", nullptr);
        if (probe != nullptr) {
            freelocale(probe);
            return;
        }
        const char* path = std::getenv("LOCPATH");
        const std::string reason = std::string("de_DE.UTF-8 is missing; LOCPATH is ") +
                                   (path != nullptr ? path : "not set");
        if (std::getenv("KIVO_REQUIRE_TEST_LOCALES") != nullptr) {
            FAIL() << reason;
        }
        GTEST_SKIP() << reason;
    }
};

TEST_F(TimeFormatGerman, ShortDateAndTime) {
    const TimeFormatWin format(0, 2, "de_DE.UTF-8");
    EXPECT_EQ(format.DatePattern(), u"dd.MM.yyyy");
    EXPECT_EQ(format.TimePattern(), u"HH:mm:ss");
    EXPECT_EQ(Formatted(format, kSample), "05.03.2024 13:05:07");
    EXPECT_EQ(Parsed(format, "05.03.2024 13:05:07"), kSample);
    EXPECT_EQ(Parsed(format, "5.3.2024 13:05:07"), kSample);
    EXPECT_EQ(Parsed(format, "03/05/24 13:05:07"), INT64_MIN);

    const TimeFormatWin timeOnly(0, 1, "de_DE.UTF-8");
    EXPECT_EQ(Parsed(timeOnly, "13:05:07"), kSampleTimeOfDay);
    // German has no designators: "HH:mm tt" reads "13:05 " with an empty one.
    EXPECT_EQ(Parsed(timeOnly, "13:05 "), 13 * 3600 + 5 * 60);
    EXPECT_EQ(Parsed(timeOnly, "13:05:07 PM"), INT64_MIN);
}

TEST_F(TimeFormatGerman, LongDateWithMonthNames) {
    const TimeFormatWin format(1, 0, "de_DE.UTF-8");
    EXPECT_EQ(format.DatePattern(), u"dddd d. MMMM yyyy");
    EXPECT_EQ(Formatted(format, kSample), "Dienstag 5. März 2024");
    EXPECT_EQ(Parsed(format, "Dienstag 5. März 2024"), kSampleMidnight);
    EXPECT_EQ(Parsed(format, "dienstag 05. märz 2024"), kSampleMidnight);
    EXPECT_EQ(Parsed(format, "Dienstag 5. March 2024"), INT64_MIN);
    for (int64_t month = 0; month < 12; ++month) {
        // The 15th of every month of 2023 round-trips through its name.
        const int64_t seconds = 1673740800 + month * 30 * 86400 + (month > 0 ? 86400 : 0);
        DateTime time;
        ASSERT_TRUE(format.Parse(Common::ToUtf16(Formatted(format, seconds)), time));
        EXPECT_EQ(Formatted(format, time.seconds), Formatted(format, seconds));
    }
}

TEST_F(TimeFormatGerman, EnvironmentChoosesTheLocale) {
    {
        ScopedEnvironment all("LC_ALL", "de_DE.UTF-8");
        EXPECT_EQ(TimeFormatWin(0, 2).DatePattern(), u"dd.MM.yyyy");
    }
    {
        ScopedEnvironment all("LC_ALL", "xx_XX.UTF-8");
        EXPECT_EQ(TimeFormatWin(0, 2).DatePattern(), u"MM/dd/yy");
    }
}

// The picture engine on names of its own.
class TimePictureTest : public testing::Test {
  protected:
    TimePictureTest() {
        const char16_t* const months[12] = {u"Jan",  u"Feb", u"Mar", u"Apr", u"May", u"Jun",
                                            u"Juni", u"Aug", u"Sep", u"Oct", u"Nov", u"Dec"};
        for (int i = 0; i < 12; ++i) {
            names_.months[i] = std::u16string(months[i]) + u"-of";
            names_.standaloneMonths[i] = months[i];
            names_.abbreviatedMonths[i] = std::u16string(months[i]).substr(0, 3);
        }
        for (int i = 0; i < 7; ++i) {
            names_.days[i] = u"Day" + std::u16string(1, static_cast<char16_t>(u'0' + i));
            names_.abbreviatedDays[i] = names_.days[i].substr(0, 1) + names_.days[i].substr(3);
        }
        names_.am = u"am";
        names_.pm = u"pm";
    }

    std::u16string Format(std::u16string_view picture, const Common::CivilTime& civil) const {
        std::u16string out;
        Common::TimePicture(picture).Format(civil, names_, out);
        return out;
    }

    bool Parse(std::u16string_view picture, std::u16string_view text, Common::CivilTime& civil) {
        Common::ParsedTime parsed;
        return Common::TimePicture(picture).Parse(text, names_, parsed) &&
               parsed.ToCivilTime(civil);
    }

    Common::TimeNames names_;
};

TEST_F(TimePictureTest, TwelveHourClockAndDesignators) {
    Common::CivilTime civil;
    civil.hour = 0;
    civil.minute = 30;
    EXPECT_EQ(Format(u"h:mm tt|hh t|H", civil), u"12:30 am|12 a|0");
    civil.hour = 12;
    EXPECT_EQ(Format(u"h:mm tt|hh t|H", civil), u"12:30 pm|12 p|12");
    civil.hour = 23;
    EXPECT_EQ(Format(u"h:mm tt", civil), u"11:30 pm");

    Common::CivilTime read;
    ASSERT_TRUE(Parse(u"h:mm tt", u"12:30 AM", read));
    EXPECT_EQ(read.hour, 0u);
    ASSERT_TRUE(Parse(u"h:mm tt", u"12:30 PM", read));
    EXPECT_EQ(read.hour, 12u);
    ASSERT_TRUE(Parse(u"h:mm t", u"11:30 p", read));
    EXPECT_EQ(read.hour, 23u);
    EXPECT_FALSE(Parse(u"h:mm tt", u"13:30 pm", read));
    EXPECT_FALSE(Parse(u"h:mm tt", u"0:30 am", read));
}

TEST_F(TimePictureTest, QuotedLiteralsAndEra) {
    Common::CivilTime civil;
    civil.day = 5;
    civil.hour = 9;
    EXPECT_EQ(Format(u"'day' d 'o''clock' H gg'''", civil), u"day 5 o'clock 9 '");
    Common::CivilTime read;
    ASSERT_TRUE(Parse(u"'day' d 'o''clock' H gg", u"day 7 o'clock 21 ", read));
    EXPECT_EQ(read.day, 7u);
    EXPECT_EQ(read.hour, 21u);
    EXPECT_FALSE(Parse(u"'day' d", u"Day 7", read));
}

TEST_F(TimePictureTest, FullMonthNamesDependOnADayNumber) {
    Common::CivilTime civil;
    civil.month = 7;
    civil.day = 3;
    EXPECT_EQ(Format(u"MMMM yyyy", civil), u"Juni 1970");
    EXPECT_EQ(Format(u"d MMMM", civil), u"3 Juni-of");
    EXPECT_EQ(Format(u"ddd dddd MMM", civil), u"D4 Day4 Jun");

    // Both forms read, and the longest name wins ("Juni" over "Jun").
    Common::CivilTime read;
    ASSERT_TRUE(Parse(u"MMMM yyyy", u"Juni 1970", read));
    EXPECT_EQ(read.month, 7u);
    ASSERT_TRUE(Parse(u"MMMM yyyy", u"Jun-of 1970", read));
    EXPECT_EQ(read.month, 6u);
    ASSERT_TRUE(Parse(u"MMMM yyyy", u"jun 1970", read));
    EXPECT_EQ(read.month, 6u);
}

TEST_F(TimePictureTest, FieldsReadTwiceMustAgree) {
    Common::CivilTime read;
    EXPECT_TRUE(Parse(u"d/dd", u"5/05", read));
    EXPECT_FALSE(Parse(u"d/dd", u"5/06", read));
    EXPECT_FALSE(Parse(u"tt tt", u"am pm", read));
    EXPECT_FALSE(Parse(u"yyyy", u"197", read));
    EXPECT_FALSE(Parse(u"yy", u"7", read));
}

Common::StrftimeLayouts Layouts() {
    Common::StrftimeLayouts layouts;
    layouts.date = "%m/%d/%y";
    layouts.time = "%H:%M:%S";
    layouts.dateTime = "%a %b %e %H:%M:%S %Y";
    layouts.time12 = "%I:%M:%S %p";
    layouts.utf8 = true;
    return layouts;
}

std::u16string DatePicture(const char* layout, bool fullNames = false) {
    return Common::PictureFromStrftime(layout, Common::PictureContent::Date, fullNames, Layouts());
}

std::u16string TimePicture(const char* layout) {
    return Common::PictureFromStrftime(layout, Common::PictureContent::Time, false, Layouts());
}

TEST(PictureFromStrftime, TranslatesFieldsAndFlags) {
    EXPECT_EQ(DatePicture("%d.%m.%Y"), u"dd.MM.yyyy");
    EXPECT_EQ(DatePicture("%-d.%-m.%y"), u"d.M.yy");
    EXPECT_EQ(DatePicture("%Ey/%Om/%_d"), u"yy/MM/d");
    EXPECT_EQ(DatePicture("%F"), u"yyyy-MM-dd");
    EXPECT_EQ(DatePicture("%x"), u"MM/dd/yy");
    EXPECT_EQ(TimePicture("%T"), u"HH:mm:ss");
    EXPECT_EQ(TimePicture("%r"), u"hh:mm:ss tt");
    EXPECT_EQ(TimePicture("%l:%M %P"), u"h:mm tt");
    EXPECT_EQ(TimePicture("%k.%M"), u"H.mm");
    EXPECT_EQ(DatePicture("%d%e"), u"dd''d");
}

TEST(PictureFromStrftime, DropsTheOtherHalfWithItsSeparators) {
    EXPECT_EQ(DatePicture("%a %-d. %b %H:%M:%S %Z %Y", true), u"dddd d. MMMM yyyy");
    EXPECT_EQ(DatePicture("%a %b %e %H:%M:%S %Z %Y", true), u"dddd MMMM d yyyy");
    EXPECT_EQ(DatePicture("%c"), u"ddd MMM d yyyy");
    EXPECT_EQ(TimePicture("%c"), u"HH:mm:ss");
    EXPECT_EQ(DatePicture("%Y年%m月%d日 %H時%M分"), u"yyyy年MM月dd日");
    EXPECT_EQ(TimePicture("%Y年%m月%d日 %H時%M分"), u"HH時mm分");
    EXPECT_EQ(DatePicture("%j %Y"), u"yyyy");
    EXPECT_EQ(DatePicture("%H:%M"), u"");
}

TEST(PictureFromStrftime, QuotesLettersAndSurvivesBadLayouts) {
    EXPECT_EQ(DatePicture("%d de %B de %Y"), u"dd' de 'MMMM' de 'yyyy");
    EXPECT_EQ(TimePicture("%Hh%M"), u"HH'h'mm");
    EXPECT_EQ(DatePicture("%d. o'%m"), u"dd'. o'''MM");
    EXPECT_EQ(DatePicture("%d%"), u"dd%");
    EXPECT_EQ(DatePicture("%d%-"), u"dd%-");

    Common::StrftimeLayouts looping = Layouts();
    looping.date = "%x";
    EXPECT_EQ(Common::PictureFromStrftime("%x", Common::PictureContent::Date, false, looping), u"");
}

}  // namespace
