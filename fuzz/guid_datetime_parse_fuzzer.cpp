// Reads arbitrary text as a GUID, as a date-time of several formats of the C locale, and as a
// picture with a text to read through it. The first byte chooses the date-time format and, with
// bit 0x08, the picture path, where the rest is "picture\ntext".
//
// Whatever reads as a GUID must print as the same text in upper case; whatever reads as a
// date-time must format, and the formatted text must read back to the same value.

#include <cstdint>
#include <cstdlib>
#include <string>

#include "core/common/guid.h"
#include "core/common/text.h"
#include "core/common/time/picture.h"
#include "core/common/time/time_format.h"

namespace {

// Pictures longer than this only repeat what shorter ones reach.
constexpr size_t kMaxPictureLength = 64;

void CheckGuid(const std::string& text) {
    Common::Guid guid;
    if (!Common::GuidFromString(text.c_str(), guid)) {
        return;
    }
    // The text ends at its first NUL, as the reader sees it.
    std::string upper = text.substr(0, text.find('\0'));
    for (char& c : upper) {
        if (c >= 'a' && c <= 'f')
            c = static_cast<char>(c - 'a' + 'A');
    }
    if (Common::GuidToString(guid) != upper) {
        std::abort();
    }
    Common::Guid wide;
    if (!Common::GuidFromString(Common::GuidToWideString(guid).c_str(), wide) || wide != guid) {
        std::abort();
    }
}

void CheckTimeFormat(uint8_t selector, std::u16string_view text) {
    static const Common::TimeFormatWin formats[] = {
        {0, 0, "C"}, {0, 1, "C"}, {0, 2, "C"}, {1, 0, "C"}, {1, 2, "C"}, {7, 2, "C"},
    };
    const Common::TimeFormatWin& format = formats[selector % std::size(formats)];
    Common::DateTime time{0, 0, Common::DateTimeKind::Utc};
    if (!format.Parse(text, time)) {
        return;
    }
    std::u16string printed;
    if (!format.Format(time, printed)) {
        std::abort();
    }
    Common::DateTime again{0, 0, Common::DateTimeKind::Utc};
    if (!format.Parse(printed, again) || again != time) {
        std::abort();
    }
}

void CheckPicture(std::u16string_view input) {
    static const Common::TimeNames names = [] {
        Common::TimeNames n;
        const char16_t* const months[12] = {u"January",   u"February", u"March",    u"April",
                                            u"May",       u"June",     u"July",     u"August",
                                            u"September", u"October",  u"November", u"December"};
        for (int i = 0; i < 12; ++i) {
            n.months[i] = months[i];
            n.abbreviatedMonths[i] = n.months[i].substr(0, 3);
        }
        const char16_t* const days[7] = {u"Sunday",   u"Monday", u"Tuesday", u"Wednesday",
                                         u"Thursday", u"Friday", u"Saturday"};
        for (int i = 0; i < 7; ++i) {
            n.days[i] = days[i];
            n.abbreviatedDays[i] = n.days[i].substr(0, 3);
        }
        n.am = u"AM";
        n.pm = u"PM";
        return n;
    }();
    const size_t split = input.find(u'\n');
    const std::u16string_view pictureText = input.substr(0, split);
    if (pictureText.size() > kMaxPictureLength) {
        return;
    }
    const Common::TimePicture picture(pictureText);
    Common::CivilTime civil;
    civil.year = 2024;
    civil.month = 2;
    civil.day = 29;
    civil.hour = 13;
    civil.dayOfWeek = 4;
    std::u16string formatted;
    picture.Format(civil, names, formatted);
    Common::ParsedTime parsed;
    Common::CivilTime read;
    if (picture.Parse(formatted, names, parsed)) {
        parsed.ToCivilTime(read);
    }
    if (split != std::u16string_view::npos) {
        Common::ParsedTime other;
        if (picture.Parse(input.substr(split + 1), names, other)) {
            other.ToCivilTime(read);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    const uint8_t selector = data[0];
    const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
    CheckGuid(text);
    const std::u16string wide = Common::ToUtf16(text);
    if ((selector & 0x08) != 0) {
        CheckPicture(wide);
    } else {
        CheckTimeFormat(selector, wide);
    }
    return 0;
}
