// Common::DateTime: a point in time as seconds since 1970-01-01 00:00:00 UTC, nanoseconds and a
// kind word, and its calendar fields.
//
// Range: from 1601-01-01 00:00:00 UTC (DateTime::Min) to 0x793406FFF seconds and 999999999
// nanoseconds (DateTime::Max: 3001-01-01 07:59:59 UTC, the last second that is still in the year
// 3000 somewhere on Earth). The seconds value INT64_MIN marks the invalid date-time; every other
// value outside the range is rejected like it.
//
// The kind word names the time zone in which the calendar fields of a value are read: UTC, or
// the process's local zone (the TZ environment variable, else the system's zone). The seconds
// always count from the same UTC instant; the kind only changes how the value is shown and how
// calendar text is read back.
//
// Thread-safety: DateTime is a plain value; the conversions are safe on any thread.
#pragma once

#include <cstdint>

namespace Common {

/// The time zone in which a date-time's calendar fields are read.
enum class DateTimeKind : uint32_t { Utc = 0, Local = 1 };

/// Calendar fields in the proleptic Gregorian calendar.
struct CivilTime {
    int32_t year = 1970;
    uint32_t month = 1;      ///< 1 to 12
    uint32_t day = 1;        ///< 1 to the length of the month
    uint32_t hour = 0;       ///< 0 to 23
    uint32_t minute = 0;     ///< 0 to 59
    uint32_t second = 0;     ///< 0 to 59
    uint32_t dayOfWeek = 4;  ///< 0 Sunday to 6 Saturday; set by ToCivilTime, ignored as input
};

namespace Detail {

/// Days since 1970-01-01 of a proleptic Gregorian date.
constexpr int64_t DaysFromCivil(int64_t year, uint32_t month, uint32_t day) {
    year -= month <= 2 ? 1 : 0;
    const int64_t era = (year >= 0 ? year : year - 399) / 400;
    const int64_t yearOfEra = year - era * 400;
    const int64_t dayOfYear = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
    const int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + dayOfEra - 719468;
}

/// The day of the week (0 Sunday to 6 Saturday) of a count of days since 1970-01-01, a Thursday.
constexpr uint32_t DayOfWeek(int64_t days) {
    return static_cast<uint32_t>(((days % 7 + 7) % 7 + 4) % 7);
}

}  // namespace Detail

/// See the file comment.
struct DateTime {
    static constexpr int64_t kInvalidSeconds = INT64_MIN;
    static constexpr uint32_t kMaxNanoseconds = 999'999'999;
    static constexpr int64_t kMaxSeconds = 0x793406FFF;
    static constexpr int64_t kMinSeconds = Detail::DaysFromCivil(1601, 1, 1) * 86400;

    int64_t seconds = kInvalidSeconds;
    uint32_t nanoseconds = 0;
    DateTimeKind kind = DateTimeKind::Utc;

    /// The invalid date-time.
    static constexpr DateTime Invalid(DateTimeKind kind = DateTimeKind::Utc) {
        return {kInvalidSeconds, 0, kind};
    }
    /// The largest representable date-time.
    static constexpr DateTime Max(DateTimeKind kind = DateTimeKind::Utc) {
        return {kMaxSeconds, kMaxNanoseconds, kind};
    }
    /// The smallest representable date-time.
    static constexpr DateTime Min(DateTimeKind kind = DateTimeKind::Utc) {
        return {kMinSeconds, 0, kind};
    }
    /// The system clock, to the nanosecond.
    static DateTime Now(DateTimeKind kind);

    /// True when the value lies between Min and Max and its nanoseconds are below one second.
    constexpr bool IsValid() const {
        return seconds >= kMinSeconds && seconds <= kMaxSeconds && nanoseconds <= kMaxNanoseconds;
    }

    friend bool operator==(const DateTime&, const DateTime&) = default;
};

/// The calendar fields of `time` in the zone of its kind. False for a value that is not valid.
bool ToCivilTime(const DateTime& time, CivilTime& civil);

/// The date-time of `civil` read in the zone of `kind`, with zero nanoseconds. False when a field
/// is out of its range or the result is not valid; `time` is then unchanged.
bool FromCivilTime(const CivilTime& civil, DateTimeKind kind, DateTime& time);

/// The number of days of `month` (1 to 12) in `year`; 0 for another month.
uint32_t DaysInMonth(int64_t year, uint32_t month);

}  // namespace Common
