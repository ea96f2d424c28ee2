#include <gtest/gtest.h>
#include <locale.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <initializer_list>
#include <string>

#include "core/common/text.h"
#include "core/common/time/datetime.h"
#include "core/common/time/locale_time.h"
#include "core/common/time/picture.h"
#include "core/common/time/time_format.h"

namespace {

using Common::CivilTime;
using Common::DateTime;
using Common::DateTimeKind;
using Common::TimeFormatWin;

constexpr int64_t kRefused = INT64_MIN;
// 2024-03-05 13:05:07 UTC, a Tuesday.
constexpr int64_t kSample = 1709643907;
constexpr int64_t kTimeOfDay = 13 * 3600 + 5 * 60 + 7;
constexpr int64_t kMidnight = kSample - kTimeOfDay;
constexpr DateTimeKind kLocal = DateTimeKind::Local;

// Sets an environment variable for one scope and puts the old value back.
class ScopedEnvironment {
  public:
    ScopedEnvironment(const char* name, const char* value)
        : name_(name), old_(std::getenv(name) != nullptr ? std::getenv(name) : "") {
        setenv(name, value, 1);
        tzset();
    }
    ~ScopedEnvironment() {
        if (old_.empty())
            unsetenv(name_);
        else
            setenv(name_, old_.c_str(), 1);
        tzset();
    }

  private:
    const char* name_;
    std::string old_;
};

// "yyyy-mm-dd hh:mm:ss w" (w: the day of the week) of a value's calendar fields.
std::string CivilText(const DateTime& time) {
    CivilTime civil;
    if (!Common::ToCivilTime(time, civil))
        return "refused";
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02u-%02u %02u:%02u:%02u %u", civil.year, civil.month,
                  civil.day, civil.hour, civil.minute, civil.second, civil.dayOfWeek);
    return text;
}

// The seconds of the fields "yyyy-mm-dd hh:mm:ss"; a refusal must leave the value alone.
int64_t SecondsOf(const char* text, DateTimeKind kind = DateTimeKind::Utc) {
    CivilTime civil;
    EXPECT_EQ(std::sscanf(text, "%d-%u-%u %u:%u:%u", &civil.year, &civil.month, &civil.day,
                          &civil.hour, &civil.minute, &civil.second),
              6);
    const DateTime before{42, 7, kind};
    DateTime time = before;
    if (!Common::FromCivilTime(civil, kind, time)) {
        EXPECT_EQ(time, before) << text;
        return kRefused;
    }
    EXPECT_EQ(time.nanoseconds, 0u) << text;
    return time.seconds;
}

TEST(DateTime, ValidityAndLimits) {
    EXPECT_TRUE(DateTime::Max().IsValid() && DateTime::Min().IsValid());
    EXPECT_EQ(DateTime::Max().nanoseconds, 999999999u);
    const DateTime invalid[] = {DateTime::Invalid(),
                                DateTime{},
                                {DateTime::kMaxSeconds + 1, 0},
                                {DateTime::kMinSeconds - 1, 999999999},
                                {0, 1000000000}};
    for (const DateTime& time : invalid) {
        EXPECT_FALSE(time.IsValid()) << time.seconds;
        EXPECT_EQ(CivilText(time), "refused") << time.seconds;
    }
}

TEST(DateTime, CalendarFieldsBothWays) {
    const std::pair<int64_t, const char*> known[] = {
        {0, "1970-01-01 00:00:00 4"},
        {-1, "1969-12-31 23:59:59 3"},
        {951782400, "2000-02-29 00:00:00 2"},
        {13574563200, "2400-02-29 00:00:00 2"},
        {1709211907, "2024-02-29 13:05:07 4"},
        {-2203891200, "1900-03-01 00:00:00 4"},
        {DateTime::kMaxSeconds, "3001-01-01 07:59:59 4"},
        {DateTime::kMinSeconds, "1601-01-01 00:00:00 1"}};
    for (const auto& [seconds, civil] : known) {
        EXPECT_EQ(CivilText({seconds, 0}), civil);
        EXPECT_EQ(SecondsOf(civil), seconds) << civil;
    }
    for (const char* refused :
         {"3001-01-01 08:00:00", "1600-12-31 23:59:59", "-2147483648-01-01 00:00:00",
          "1900-02-29 00:00:00", "2100-02-29 00:00:00", "2023-04-31 00:00:00",
          "2023-00-01 00:00:00", "2023-13-01 00:00:00", "2023-01-00 00:00:00",
          "2023-01-01 24:00:00", "2023-01-01 00:60:00", "2023-01-01 00:00:60"}) {
        EXPECT_EQ(SecondsOf(refused), kRefused) << refused;
    }
    // Every 997th day across the whole range, at a second that moves through the day.
    for (int64_t seconds = DateTime::kMinSeconds; seconds <= DateTime::kMaxSeconds;
         seconds += 997 * 86400 + 3607) {
        ASSERT_EQ(SecondsOf(CivilText({seconds, 0}).c_str()), seconds);
    }
}

TEST(DateTime, LocalKindFollowsTheTimeZone) {
    ScopedEnvironment zone("TZ", "CET-1CEST,M3.5.0,M10.5.0/3");
    // 2021-07-01 12:00:00 UTC is summer time, 2021-01-15 12:00:00 UTC winter time.
    EXPECT_EQ(CivilText({1625140800, 0, kLocal}), "2021-07-01 14:00:00 4");
    EXPECT_EQ(CivilText({1610712000, 0, kLocal}), "2021-01-15 13:00:00 5");
    EXPECT_EQ(SecondsOf("2021-07-01 14:00:00", kLocal), 1625140800);
    EXPECT_EQ(SecondsOf("2021-01-15 13:00:00", kLocal), 1610712000);
    // The minimum lies on the last day of 1600 to the west of Greenwich.
    ScopedEnvironment west("TZ", "EST5");
    EXPECT_EQ(CivilText(DateTime::Min(kLocal)), "1600-12-31 19:00:00 0");
    EXPECT_GT(DateTime::Now(kLocal).seconds, 1700000000);
    EXPECT_EQ(DateTime::Now(kLocal).kind, kLocal);
}

// The text of a value in a format; "refused" (and an empty text) when it cannot be shown.
std::string Formatted(const TimeFormatWin& format, const DateTime& time) {
    std::u16string text = u"left over";
    if (!format.Format(time, text)) {
        EXPECT_EQ(text, u"");
        return "refused";
    }
    return Common::ToUtf8(text);
}

// The seconds that `text` reads as; a refusal must leave the value alone.
int64_t Parsed(const TimeFormatWin& format, const std::string& text) {
    const DateTime before{77, 3, DateTimeKind::Utc};
    DateTime time = before;
    if (!format.Parse(Common::ToUtf16(text), time)) {
        EXPECT_EQ(time, before) << text;
        return kRefused;
    }
    return time.seconds;
}

struct TextCase {
    uint32_t dateKind, mode;
    const char* text;
    int64_t seconds;     // what the text reads as, or kRefused
    bool shown = false;  // also the text that the format writes for these seconds
};

void ExpectTexts(const char* locale, std::initializer_list<TextCase> cases) {
    for (const TextCase& c : cases) {
        const TimeFormatWin format(c.dateKind, c.mode, locale);
        EXPECT_EQ(Parsed(format, c.text), c.seconds)
            << c.dateKind << '/' << c.mode << ' ' << c.text;
        if (c.shown) {
            EXPECT_EQ(Formatted(format, {c.seconds, 0}), c.text);
        }
    }
}

TEST(TimeFormatC, ReadsAndWritesEachKindAndMode) {
    EXPECT_EQ(TimeFormatWin(0, 2, "C").DatePattern(), u"MM/dd/yy");
    ExpectTexts("C", {{0, 2, "03/05/24 13:05:07", kSample, true},
                      {0, 0, "03/05/24", kMidnight, true},
                      {0, 1, "13:05:07", kTimeOfDay, true},
                      {7, 1, "13:05:07", kTimeOfDay, true},
                      {1, 5, "Tuesday March 5 2024 13:05:07", kSample, true},
                      {3, 0, "Tuesday March 5 2024", kMidnight, true},
                      {1, 5, "tUESDAY mARCH 05 2024 13:5:7", kSample},
                      {1, 2, "Thursday January 1 3001 07:59:59", DateTime::kMaxSeconds, true},
                      {1, 2, "Monday January 1 1601 00:00:00", DateTime::kMinSeconds, true},
                      {1, 2, "Sunday December 31 1600 23:59:59", kRefused},
                      {1, 0, "Monday March 5 2024", kRefused},  // wrong day name
                      {1, 0, "Tuesday Marc 5 2024", kRefused},
                      // Two-digit years read as 1930 to 2029.
                      {0, 0, "01/01/29", 1861920000},
                      {0, 0, "01/01/30", -1262304000},
                      // A time alone tries fixed pictures with a designator first; the 24-hour
                      // fields stand as written, the designator only has to be one.
                      {0, 1, "13:05:07 PM", kTimeOfDay},
                      {0, 1, "13:05 pm", 13 * 3600 + 5 * 60},
                      {0, 1, "13 PM", 13 * 3600},
                      {0, 1, "01:05:07 PM", 3600 + 5 * 60 + 7},
                      {0, 1, "13 XM", kRefused},
                      {7, 2, "03/05/24 13:05:07", kRefused}});  // a date kind without a date
}

TEST(TimeFormatC, RefusesMalformedTextAndValuesOutOfRangeAndShowsLocalTime) {
    const TimeFormatWin both(0, 2, "C");
    for (const char* text :
         {"", "03/05/24", "03/05/24 13:05:07 ", " 03/05/24 13:05:07", "03/05/24  13:05:07",
          "03-05-24 13:05:07", "02/30/24 13:05:07", "13/05/24 13:05:07", "03/05/2024 13:05:07",
          "03/05/24 13:05:07x", "003/05/24 13:05:07", "03/05/24 13:05:", "+3/05/24 13:05:07"}) {
        EXPECT_EQ(Parsed(both, text), kRefused) << '"' << text << '"';
    }
    EXPECT_EQ(Parsed(both, std::string(TimeFormatWin::kMaxParseLength + 1, '0')), kRefused);

    for (const DateTime& time :
         {DateTime::Invalid(), DateTime{DateTime::kMaxSeconds + 1, 0}, DateTime{0, 1000000000}}) {
        EXPECT_EQ(Formatted(both, time), "refused") << time.seconds;
    }
    ScopedEnvironment zone("TZ", "CET-1CEST,M3.5.0,M10.5.0/3");
    EXPECT_EQ(Formatted(both, {kSample, 0, kLocal}), "03/05/24 14:05:07");
    DateTime local{0, 0, kLocal};
    ASSERT_TRUE(both.Parse(u"03/05/24 14:05:07", local));
    EXPECT_EQ(local, (DateTime{kSample, 0, kLocal}));
    for (uint32_t dateKind : {4u, 7u}) {
        EXPECT_EQ(Formatted(TimeFormatWin(dateKind, 0, "C"), {kSample, 0}), "refused");
        EXPECT_EQ(Formatted(TimeFormatWin(dateKind, 2, "C"), {kSample, 0}), "refused");
    }
}

// Skips without the German locale (made into LOCPATH), unless KIVO_REQUIRE_TEST_LOCALES is set.
TEST(TimeFormatGerman, ShortAndLongDatesWithMonthNamesAndTheLocaleOfTheEnvironment) {
    const char* const german = "de_DE.UTF-8";
    locale_t probe = newlocale(LC_TIME_MASK, german, nullptr);
    if (probe == nullptr) {
        const char* path = std::getenv("LOCPATH");
        const std::string reason = std::string("de_DE.UTF-8 is missing; LOCPATH is ") +
                                   (path != nullptr ? path : "not set");
        if (std::getenv("KIVO_REQUIRE_TEST_LOCALES") != nullptr)
            FAIL() << reason;
        GTEST_SKIP() << reason;
    }
    freelocale(probe);
    EXPECT_EQ(TimeFormatWin(0, 2, german).DatePattern(), u"dd.MM.yyyy");
    EXPECT_EQ(TimeFormatWin(0, 2, german).TimePattern(), u"HH:mm:ss");
    EXPECT_EQ(TimeFormatWin(1, 0, german).DatePattern(), u"dddd d. MMMM yyyy");
    ExpectTexts(german, {{0, 2, "05.03.2024 13:05:07", kSample, true},
                         {0, 2, "5.3.2024 13:05:07", kSample},
                         {0, 2, "03/05/24 13:05:07", kRefused},
                         {0, 1, "13:05:07", kTimeOfDay},
                         // No designators: "HH:mm tt" reads "13:05 " with an empty one.
                         {0, 1, "13:05 ", 13 * 3600 + 5 * 60},
                         {0, 1, "13:05:07 PM", kRefused},
                         {1, 0, "Dienstag 5. März 2024", kMidnight, true},
                         {1, 0, "dienstag 05. märz 2024", kMidnight},
                         {1, 0, "Dienstag 5. March 2024", kRefused}});
    const TimeFormatWin format(1, 0, german);
    for (int64_t month = 0; month < 12; ++month) {
        // The 15th of every month of 2023 round-trips through its name.
        const DateTime time{1673740800 + month * 30 * 86400 + (month > 0 ? 86400 : 0), 0};
        EXPECT_EQ(Parsed(format, Formatted(format, time)), time.seconds - time.seconds % 86400);
    }
    {
        ScopedEnvironment all("LC_ALL", "de_DE.UTF-8");
        EXPECT_EQ(TimeFormatWin(0, 2).DatePattern(), u"dd.MM.yyyy");
    }
    ScopedEnvironment all("LC_ALL", "xx_XX.UTF-8");
    EXPECT_EQ(TimeFormatWin(0, 2).DatePattern(), u"MM/dd/yy");
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

    std::u16string Format(std::u16string_view picture, uint32_t month, uint32_t day,
                          uint32_t hour) const {
        CivilTime civil;
        civil.month = month;
        civil.day = day;
        civil.hour = hour;
        civil.minute = 30;
        std::u16string out;
        Common::TimePicture(picture).Format(civil, names_, out);
        return out;
    }

    // "month/day hour" of what `text` reads as; "refused" when it does not read.
    std::string Parse(std::u16string_view picture, std::u16string_view text) const {
        Common::ParsedTime parsed;
        CivilTime civil;
        if (!Common::TimePicture(picture).Parse(text, names_, parsed) ||
            !parsed.ToCivilTime(civil)) {
            return "refused";
        }
        return std::to_string(civil.month) + "/" + std::to_string(civil.day) + " " +
               std::to_string(civil.hour);
    }

    Common::TimeNames names_;
};

TEST_F(TimePictureTest, TwelveHourClockLiteralsAndEra) {
    EXPECT_EQ(Format(u"h:mm tt|hh t|H", 1, 1, 0), u"12:30 am|12 a|0");
    EXPECT_EQ(Format(u"h:mm tt|hh t|H", 1, 1, 12), u"12:30 pm|12 p|12");
    EXPECT_EQ(Format(u"h:mm tt", 1, 1, 23), u"11:30 pm");
    EXPECT_EQ(Format(u"'day' d 'o''clock' H gg'''", 1, 5, 9), u"day 5 o'clock 9 '");
    EXPECT_EQ(Parse(u"h:mm tt", u"12:30 AM"), "1/1 0");
    EXPECT_EQ(Parse(u"h:mm tt", u"12:30 PM"), "1/1 12");
    EXPECT_EQ(Parse(u"h:mm t", u"11:30 p"), "1/1 23");
    EXPECT_EQ(Parse(u"h:mm tt", u"13:30 pm"), "refused");
    EXPECT_EQ(Parse(u"h:mm tt", u"0:30 am"), "refused");
    EXPECT_EQ(Parse(u"'day' d 'o''clock' H gg", u"day 7 o'clock 21 "), "1/7 21");
    EXPECT_EQ(Parse(u"'day' d", u"Day 7"), "refused");
}

TEST_F(TimePictureTest, MonthNamesAndFieldsReadTwice) {
    // A full month name takes its form after a day number, its standalone form otherwise.
    EXPECT_EQ(Format(u"MMMM yyyy", 7, 3, 0), u"Juni 1970");
    EXPECT_EQ(Format(u"d MMMM", 7, 3, 0), u"3 Juni-of");
    EXPECT_EQ(Format(u"ddd dddd MMM", 7, 3, 0), u"D4 Day4 Jun");
    // Both forms read, and the longest name wins ("Juni" over "Jun").
    EXPECT_EQ(Parse(u"MMMM yyyy", u"Juni 1970"), "7/1 0");
    EXPECT_EQ(Parse(u"MMMM yyyy", u"Jun-of 1970"), "6/1 0");
    EXPECT_EQ(Parse(u"MMMM yyyy", u"jun 1970"), "6/1 0");
    EXPECT_EQ(Parse(u"d/dd", u"5/05"), "1/5 0");
    EXPECT_EQ(Parse(u"d/dd", u"5/06"), "refused");
    EXPECT_EQ(Parse(u"tt tt", u"am pm"), "refused");
    EXPECT_EQ(Parse(u"yyyy", u"197"), "refused");
    EXPECT_EQ(Parse(u"yy", u"7"), "refused");
}

TEST(PictureFromStrftime, TranslatesKeepsOneHalfAndSurvivesBadLayouts) {
    Common::StrftimeLayouts layouts;
    layouts.date = "%m/%d/%y";
    layouts.time = "%H:%M:%S";
    layouts.dateTime = "%a %b %e %H:%M:%S %Y";
    layouts.time12 = "%I:%M:%S %p";
    layouts.utf8 = true;
    constexpr auto kDate = Common::PictureContent::Date;
    constexpr auto kTime = Common::PictureContent::Time;
    const struct {
        const char* layout;
        Common::PictureContent content;
        bool fullNames;
        std::u16string_view picture;
    } cases[] = {
        {"%d.%m.%Y", kDate, false, u"dd.MM.yyyy"},
        {"%-d.%-m.%y", kDate, false, u"d.M.yy"},
        {"%Ey/%Om/%_d", kDate, false, u"yy/MM/d"},
        {"%F", kDate, false, u"yyyy-MM-dd"},
        {"%x", kDate, false, u"MM/dd/yy"},
        {"%T", kTime, false, u"HH:mm:ss"},
        {"%r", kTime, false, u"hh:mm:ss tt"},
        {"%l:%M %P", kTime, false, u"h:mm tt"},
        {"%k.%M", kTime, false, u"H.mm"},
        {"%d%e", kDate, false, u"dd''d"},
        // The other half is dropped with its separators.
        {"%a %-d. %b %H:%M:%S %Z %Y", kDate, true, u"dddd d. MMMM yyyy"},
        {"%a %b %e %H:%M:%S %Z %Y", kDate, true, u"dddd MMMM d yyyy"},
        {"%c", kDate, false, u"ddd MMM d yyyy"},
        {"%c", kTime, false, u"HH:mm:ss"},
        {"%Y年%m月%d日 %H時%M分", kDate, false, u"yyyy年MM月dd日"},
        {"%Y年%m月%d日 %H時%M分", kTime, false, u"HH時mm分"},
        {"%j %Y", kDate, false, u"yyyy"},
        {"%H:%M", kDate, false, u""},
        // Letters are quoted; a layout cut short keeps its text.
        {"%d de %B de %Y", kDate, false, u"dd' de 'MMMM' de 'yyyy"},
        {"%Hh%M", kTime, false, u"HH'h'mm"},
        {"%d. o'%m", kDate, false, u"dd'. o'''MM"},
        {"%d%", kDate, false, u"dd%"},
        {"%d%-", kDate, false, u"dd%-"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Common::PictureFromStrftime(c.layout, c.content, c.fullNames, layouts), c.picture)
            << c.layout;
    }
    layouts.date = "%x";  // a layout that refers to itself
    EXPECT_EQ(Common::PictureFromStrftime("%x", kDate, false, layouts), u"");
}

}  // namespace
