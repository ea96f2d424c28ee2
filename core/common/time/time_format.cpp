#include "core/common/time/time_format.h"

#include "core/common/time/locale_time.h"

namespace Common {
namespace {

// The pictures tried before the locale's time when reading a time alone.
constexpr const char16_t* kTimeParsePictures[] = {u"HH:mm:ss tt", u"HH:mm tt", u"HH tt"};

// The form of each month's name that follows a day number, as the formatter writes it.
void MonthsAfterDay(TimeNames& names) {
    const TimePicture dayAndMonth(u"ddMMMM");
    for (uint32_t month = 1; month <= 12; ++month) {
        CivilTime civil;
        civil.month = month;
        std::u16string text;
        dayAndMonth.Format(civil, names, text);
        size_t digits = 0;
        while (digits < text.size() && text[digits] >= u'0' && text[digits] <= u'9') {
            ++digits;
        }
        names.months[month - 1] = text.substr(digits);
    }
}

}  // namespace

TimeFormatWin::TimeFormatWin(uint32_t dateKind, uint32_t mode)
    : TimeFormatWin(dateKind, mode, "") {}

TimeFormatWin::TimeFormatWin(uint32_t dateKind, uint32_t mode, const char* localeName)
    : dateKind_(dateKind), mode_(mode) {
    LocaleTime locale;
    ReadLocaleTime(localeName, locale);
    if (dateKind == kShortDate) {
        datePattern_ = locale.shortDatePicture;
    } else if (dateKind <= 3) {
        datePattern_ = locale.longDatePicture;
    }
    timePattern_ = locale.timePicture;
    names_ = locale.names;
    MonthsAfterDay(names_);
    date_ = TimePicture(datePattern_);
    time_ = TimePicture(timePattern_);
    if (mode_ == kTimeOnly) {
        for (const char16_t* picture : kTimeParsePictures) {
            parsePictures_.emplace_back(picture);
        }
        parsePictures_.push_back(time_);
    } else if (!date_.Empty()) {
        parsePictures_.push_back(date_);
        if (mode_ != kDateOnly) {
            parsePictures_.back().AppendLiteral(u" ");
            parsePictures_.back().Append(time_);
        }
    }
}

bool TimeFormatWin::FormatParts(const CivilTime& civil, std::u16string& text) const {
    const bool needsDate = mode_ != kTimeOnly;
    const bool needsTime = mode_ != kDateOnly;
    if ((needsDate && date_.Empty()) || (needsTime && time_.Empty())) {
        return false;
    }
    if (needsDate) {
        date_.Format(civil, names_, text);
    }
    if (needsDate && needsTime) {
        text += u' ';
    }
    if (needsTime) {
        time_.Format(civil, names_, text);
    }
    return true;
}

bool TimeFormatWin::Format(const DateTime& time, std::u16string& text) const {
    text.clear();
    CivilTime civil;
    if (!ToCivilTime(time, civil) || !FormatParts(civil, text)) {
        text.clear();
        return false;
    }
    return true;
}

bool TimeFormatWin::Parse(std::u16string_view text, DateTime& time) const {
    if (text.size() > kMaxParseLength) {
        return false;
    }
    for (const TimePicture& picture : parsePictures_) {
        ParsedTime parsed;
        CivilTime civil;
        if (picture.Parse(text, names_, parsed) && parsed.ToCivilTime(civil) &&
            FromCivilTime(civil, time.kind, time)) {
            return true;
        }
    }
    return false;
}

}  // namespace Common
