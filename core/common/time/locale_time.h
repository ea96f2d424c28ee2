// The date and time conventions of a locale: the names of months and days, the AM and PM
// designators, and its short date, long date and time layouts, translated from the C library's
// strftime layouts into pictures (picture.h).
//
// Only the locale's LC_TIME category is read, through a locale object of its own (newlocale and
// nl_langinfo_l); the process's global locale is neither read nor changed. Texts are decoded
// from UTF-8 when the locale's time texts are UTF-8, and byte by byte (Latin-1) otherwise.
//
// The long date is the date part of the locale's date(1) layout (_DATE_FMT, else D_T_FMT) with
// day and month names written in full: "dddd d. MMMM yyyy" for de_DE, "dddd MMMM d yyyy" for C.
//
// Thread-safety: pure functions.
#pragma once

#include <string>
#include <string_view>

#include "core/common/time/picture.h"

namespace Common {

/// What ReadLocaleTime finds.
struct LocaleTime {
    TimeNames names;
    std::u16string shortDatePicture;
    std::u16string longDatePicture;
    std::u16string timePicture;
};

/// Reads the conventions of the locale `name`; "" names the environment's locale (LC_ALL,
/// LC_TIME, then LANG). When that locale cannot be loaded, reads the "C" locale's and returns
/// false.
bool ReadLocaleTime(const char* name, LocaleTime& out);

/// The layouts that other strftime layouts may refer to (%x, %X, %c, %r), and the encoding of
/// the layouts' literal text.
struct StrftimeLayouts {
    std::string date;      ///< D_FMT
    std::string time;      ///< T_FMT
    std::string dateTime;  ///< D_T_FMT
    std::string time12;    ///< T_FMT_AMPM
    bool utf8 = false;
};

/// Which fields a translated picture keeps.
enum class PictureContent { Date, Time };

/// Translates the strftime layout `layout` into a picture of its date or time fields. Fields of
/// the other kind, time zones and fields that pictures cannot express (%j, %U, %C, ...) are left
/// out with the separators around them, keeping one separator where fields remain on both
/// sides. With `fullNames`, abbreviated day and month names become full names.
std::u16string PictureFromStrftime(std::string_view layout, PictureContent content, bool fullNames,
                                   const StrftimeLayouts& layouts);

}  // namespace Common
