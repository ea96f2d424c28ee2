// Date and time pictures: the layout language of the time formats. One compiled picture both
// writes calendar fields as text (Format) and reads them back (Parse).
//
//   d  dd       day of the month, without / with a leading zero
//   ddd dddd    abbreviated / full day name (dddd also for longer runs)
//   M  MM       month number, without / with a leading zero
//   MMM MMMM    abbreviated / full month name; a full name is written in the form that follows
//               a day number when the picture has a d or dd, and in its standalone form otherwise
//   y  yy       year within its century, without / with a leading zero
//   yyyy        the full year (yyy and longer runs too)
//   h  hh       hour on the 12-hour clock (1 to 12), without / with a leading zero
//   H  HH       hour on the 24-hour clock, without / with a leading zero
//   m  mm       minute;  s  ss  second
//   t  tt       first character / whole of the AM or PM designator
//   g  gg       era: written as nothing, read as nothing
//   '...'       literal text; inside quotes, '' stands for one quote
//   any other character stands for itself.
//
// Reading: numbers take 1 or 2 ASCII digits (exactly 2 for yy, exactly 4 for yyyy); names and
// designators are compared ignoring ASCII case, the longest one that fits winning; literals must
// match exactly; the text must end where the picture ends. There is no backtracking, so reading
// is linear in the text. A two-digit year reads as 1930 to 2029. A designator sets the half of
// the day for the 12-hour fields only; 24-hour fields stand as written. A day name must agree
// with the date it is read with.
//
// Thread-safety: a compiled picture is immutable; Format and Parse may run on any thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/common/time/datetime.h"

namespace Common {

/// The names a locale gives to months, days and halves of the day.
struct TimeNames {
    std::u16string months[12];            ///< full names, in the form that follows a day number
    std::u16string standaloneMonths[12];  ///< full names standing alone (empty: as `months`)
    std::u16string abbreviatedMonths[12];
    std::u16string days[7];  ///< full names, Sunday first
    std::u16string abbreviatedDays[7];
    std::u16string am;
    std::u16string pm;
};

/// Calendar fields read from text; a field the picture did not hold stays unset (-1).
struct ParsedTime {
    static constexpr int32_t kUnset = -1;
    enum class HalfDay { Unknown, Am, Pm };

    int32_t year = kUnset;
    int32_t month = kUnset;
    int32_t day = kUnset;
    int32_t dayOfWeek = kUnset;
    int32_t hour24 = kUnset;
    int32_t hour12 = kUnset;
    int32_t minute = kUnset;
    int32_t second = kUnset;
    HalfDay halfDay = HalfDay::Unknown;

    /// Fills `civil` from the fields, unset ones taken from 1970-01-01 00:00:00. False when a
    /// day name disagrees with the date. Field ranges are checked by FromCivilTime.
    bool ToCivilTime(CivilTime& civil) const;
};

/// A compiled picture; see the file comment.
class TimePicture {
  public:
    TimePicture() = default;
    explicit TimePicture(std::u16string_view picture);

    /// Appends literal text.
    void AppendLiteral(std::u16string_view text);
    /// Appends the items of `other`.
    void Append(const TimePicture& other);

    /// True when the picture has no items.
    bool Empty() const { return items_.empty(); }

    /// Appends the text of `civil` to `out`.
    void Format(const CivilTime& civil, const TimeNames& names, std::u16string& out) const;

    /// Reads `text`, which must match the whole picture. `parsed` may be partly filled on
    /// failure.
    bool Parse(std::u16string_view text, const TimeNames& names, ParsedTime& parsed) const;

  private:
    enum class Field : uint8_t {
        Literal,
        Day,
        Day2,
        DayAbbreviated,
        DayFull,
        Month,
        Month2,
        MonthAbbreviated,
        MonthFull,
        Year,
        Year2,
        Year4,
        Hour12,
        Hour12Two,
        Hour24,
        Hour24Two,
        Minute,
        Minute2,
        Second,
        Second2,
        DesignatorFirst,
        Designator,
        Era,
    };

    struct Item {
        Field field;
        std::u16string literal;  // Field::Literal only
    };

    static Field FieldOfRun(char16_t letter, size_t length);
    void AddField(Field field);
    bool HasDayNumber() const;

    std::vector<Item> items_;
};

}  // namespace Common
