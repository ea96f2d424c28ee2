// Common::TimeFormat writes date-times as text and reads them back; Common::TimeFormatWin is its
// implementation over a locale's conventions (locale_time.h) and pictures (picture.h).
//
// A TimeFormatWin is made with a date kind and a mode:
//   date kind 0       the locale's short date ("MM/dd/yy" in C, "dd.MM.yyyy" in de_DE)
//   date kinds 1-3    the locale's long date
//   other date kinds  no date: Format and Parse fail in every mode that needs the date
//   mode 0            the date only
//   mode 1            the time only (the locale's time: "HH:mm:ss" in C and de_DE)
//   other modes       the date, one blank, the time
//
// Format writes the calendar fields of the value in the zone of its kind (datetime.h); an invalid
// value gives false and empty text. Parse reads calendar fields in the zone of the kind that
// `time` carries on entry and, on success, sets its seconds and zero nanoseconds. Fields the mode
// does not cover read as 1970-01-01 and 00:00:00. In mode 1, Parse tries the pictures
// "HH:mm:ss tt", "HH:mm tt" and "HH tt" before the locale's time, taking the first that reads the
// whole text into a valid date-time. Texts longer than kMaxParseLength units are refused.
//
// Month names are read in the form that the formatter writes after a day number: each is taken
// by formatting a day of that month with the picture "ddMMMM" and removing the day's digits.
//
// Only the date and time use the locale, read once when the format is made; numbers are always
// written with ASCII digits.
//
// Thread-safety: a TimeFormatWin does not change after it is made; Format and Parse may run on
// several threads at once.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/common/noncopyable.h"
#include "core/common/time/datetime.h"
#include "core/common/time/picture.h"

namespace Common {

/// Writes date-times as text and reads them back.
class TimeFormat : private NonCopyable {
  public:
    /// Sets `text` to the text of `time`; false (and empty text) when it cannot be written.
    virtual bool Format(const DateTime& time, std::u16string& text) const = 0;
    /// Reads `text` into `time`; false, leaving `time` as it was, when the text does not fit.
    virtual bool Parse(std::u16string_view text, DateTime& time) const = 0;
    virtual ~TimeFormat() = default;
};

/// See the file comment.
class TimeFormatWin final : public TimeFormat {
  public:
    static constexpr uint32_t kShortDate = 0;
    static constexpr uint32_t kLongDate = 1;
    static constexpr uint32_t kDateOnly = 0;
    static constexpr uint32_t kTimeOnly = 1;
    static constexpr uint32_t kDateAndTime = 2;
    static constexpr size_t kMaxParseLength = 256;

    /// A format in the environment's locale (LC_ALL, LC_TIME, then LANG; "C" when that locale
    /// is not installed).
    TimeFormatWin(uint32_t dateKind, uint32_t mode);
    /// A format in the locale `localeName` ("C" when it is not installed).
    TimeFormatWin(uint32_t dateKind, uint32_t mode, const char* localeName);

    bool Format(const DateTime& time, std::u16string& text) const override;
    bool Parse(std::u16string_view text, DateTime& time) const override;

    uint32_t DateKind() const { return dateKind_; }
    uint32_t Mode() const { return mode_; }
    /// The date picture; empty for a date kind without date.
    const std::u16string& DatePattern() const { return datePattern_; }
    /// The time picture.
    const std::u16string& TimePattern() const { return timePattern_; }

  private:
    bool FormatParts(const CivilTime& civil, std::u16string& text) const;

    uint32_t dateKind_;
    std::u16string datePattern_;
    std::u16string timePattern_;
    uint32_t mode_;
    TimeNames names_;
    TimePicture date_;
    TimePicture time_;
    std::vector<TimePicture> parsePictures_;
};

}  // namespace Common
