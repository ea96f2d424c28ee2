#include "core/common/time/datetime.h"

#include <ctime>

namespace Common {
namespace {

constexpr int64_t kSecondsPerDay = 86400;

// Years far outside the range are refused before any arithmetic, so nothing can overflow.
constexpr int32_t kLowestYear = 1000;
constexpr int32_t kHighestYear = 4000;

bool IsLeapYear(int64_t year) {
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int64_t FloorDivide(int64_t value, int64_t divisor) {
    const int64_t quotient = value / divisor;
    return (value % divisor != 0 && value < 0) ? quotient - 1 : quotient;
}

void CivilFromDays(int64_t days, CivilTime& civil) {
    days += 719468;
    const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const int64_t dayOfEra = days - era * 146097;
    const int64_t yearOfEra =
        (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const int64_t shiftedMonth = (5 * dayOfYear + 2) / 153;
    civil.day = static_cast<uint32_t>(dayOfYear - (153 * shiftedMonth + 2) / 5 + 1);
    civil.month = static_cast<uint32_t>(shiftedMonth < 10 ? shiftedMonth + 3 : shiftedMonth - 9);
    civil.year = static_cast<int32_t>(yearOfEra + era * 400 + (civil.month <= 2 ? 1 : 0));
}

bool FieldsInRange(const CivilTime& civil) {
    return civil.year >= kLowestYear && civil.year <= kHighestYear && civil.day >= 1 &&
           civil.day <= DaysInMonth(civil.year, civil.month) && civil.hour < 24 &&
           civil.minute < 60 && civil.second < 60;
}

bool UtcToCivil(int64_t seconds, CivilTime& civil) {
    const int64_t days = FloorDivide(seconds, kSecondsPerDay);
    const int64_t secondOfDay = seconds - days * kSecondsPerDay;
    CivilFromDays(days, civil);
    civil.hour = static_cast<uint32_t>(secondOfDay / 3600);
    civil.minute = static_cast<uint32_t>(secondOfDay / 60 % 60);
    civil.second = static_cast<uint32_t>(secondOfDay % 60);
    civil.dayOfWeek = Detail::DayOfWeek(days);
    return true;
}

bool LocalToCivil(int64_t seconds, CivilTime& civil) {
    const time_t value = static_cast<time_t>(seconds);
    std::tm fields{};
    if (localtime_r(&value, &fields) == nullptr) {
        return false;
    }
    civil.year = fields.tm_year + 1900;
    civil.month = static_cast<uint32_t>(fields.tm_mon + 1);
    civil.day = static_cast<uint32_t>(fields.tm_mday);
    civil.hour = static_cast<uint32_t>(fields.tm_hour);
    civil.minute = static_cast<uint32_t>(fields.tm_min);
    civil.second = static_cast<uint32_t>(fields.tm_sec);
    civil.dayOfWeek = static_cast<uint32_t>(fields.tm_wday);
    return true;
}

// mktime leaves tm_wday alone when it fails, so a negative day of the week tells a failure from
// the valid result -1 (one second before 1970).
bool LocalFromCivil(const CivilTime& civil, int64_t& seconds) {
    std::tm fields{};
    fields.tm_year = civil.year - 1900;
    fields.tm_mon = static_cast<int>(civil.month) - 1;
    fields.tm_mday = static_cast<int>(civil.day);
    fields.tm_hour = static_cast<int>(civil.hour);
    fields.tm_min = static_cast<int>(civil.minute);
    fields.tm_sec = static_cast<int>(civil.second);
    fields.tm_isdst = -1;
    fields.tm_wday = -1;
    const time_t value = mktime(&fields);
    if (fields.tm_wday < 0) {
        return false;
    }
    seconds = static_cast<int64_t>(value);
    return true;
}

}  // namespace

DateTime DateTime::Now(DateTimeKind kind) {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return {static_cast<int64_t>(now.tv_sec), static_cast<uint32_t>(now.tv_nsec), kind};
}

uint32_t DaysInMonth(int64_t year, uint32_t month) {
    static constexpr uint8_t kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (month < 1 || month > 12) {
        return 0;
    }
    return kDays[month - 1] + (month == 2 && IsLeapYear(year) ? 1 : 0);
}

bool ToCivilTime(const DateTime& time, CivilTime& civil) {
    if (!time.IsValid()) {
        return false;
    }
    return time.kind == DateTimeKind::Local ? LocalToCivil(time.seconds, civil)
                                            : UtcToCivil(time.seconds, civil);
}

bool FromCivilTime(const CivilTime& civil, DateTimeKind kind, DateTime& time) {
    if (!FieldsInRange(civil)) {
        return false;
    }
    int64_t seconds = 0;
    if (kind == DateTimeKind::Local) {
        if (!LocalFromCivil(civil, seconds)) {
            return false;
        }
    } else {
        seconds = Detail::DaysFromCivil(civil.year, civil.month, civil.day) * kSecondsPerDay +
                  civil.hour * 3600 + civil.minute * 60 + civil.second;
    }
    const DateTime result{seconds, 0, kind};
    if (!result.IsValid()) {
        return false;
    }
    time = result;
    return true;
}

}  // namespace Common
