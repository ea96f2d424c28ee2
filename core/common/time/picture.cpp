#include "core/common/time/picture.h"

namespace Common {
namespace {

// Years written with two digits read as 1930 to 2029.
constexpr int32_t kTwoDigitYearPivot = 30;

char16_t FoldAscii(char16_t c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char16_t>(c + 32) : c;
}

bool StartsWithIgnoringAsciiCase(std::u16string_view text, std::u16string_view prefix) {
    if (prefix.size() > text.size()) {
        return false;
    }
    for (size_t i = 0; i < prefix.size(); ++i) {
        if (FoldAscii(text[i]) != FoldAscii(prefix[i])) {
            return false;
        }
    }
    return true;
}

void AppendNumber(uint32_t value, size_t minimumDigits, std::u16string& out) {
    char16_t digits[10];
    size_t count = 0;
    do {
        digits[count++] = static_cast<char16_t>(u'0' + value % 10);
        value /= 10;
    } while (value != 0);
    for (size_t i = count; i < minimumDigits; ++i) {
        out.push_back(u'0');
    }
    while (count > 0) {
        out.push_back(digits[--count]);
    }
}

// The reading position over the text.
class Reader {
  public:
    explicit Reader(std::u16string_view text) : text_(text) {}

    bool AtEnd() const { return position_ == text_.size(); }

    bool Literal(std::u16string_view literal) {
        if (text_.substr(position_, literal.size()) != literal) {
            return false;
        }
        position_ += literal.size();
        return true;
    }

    // Between `fewest` and `most` digits, as many as there are.
    bool Number(size_t fewest, size_t most, int32_t& value) {
        size_t count = 0;
        int32_t result = 0;
        while (count < most && position_ + count < text_.size()) {
            const char16_t c = text_[position_ + count];
            if (c < u'0' || c > u'9') {
                break;
            }
            result = result * 10 + (c - u'0');
            ++count;
        }
        if (count < fewest) {
            return false;
        }
        position_ += count;
        value = result;
        return true;
    }

    // The index of the longest non-empty name at the position, or -1.
    template <size_t N>
    int32_t LongestName(const std::u16string (&names)[N], size_t& length) const {
        int32_t best = -1;
        for (size_t i = 0; i < N; ++i) {
            if (!names[i].empty() && names[i].size() > length &&
                StartsWithIgnoringAsciiCase(text_.substr(position_), names[i])) {
                best = static_cast<int32_t>(i);
                length = names[i].size();
            }
        }
        return best;
    }

    void Skip(size_t length) { position_ += length; }

    std::u16string_view Rest() const { return text_.substr(position_); }

  private:
    std::u16string_view text_;
    size_t position_ = 0;
};

// Stores a field; a field read twice must read the same both times.
bool Store(int32_t& field, int32_t value) {
    if (field != ParsedTime::kUnset && field != value) {
        return false;
    }
    field = value;
    return true;
}

int32_t FromTwoDigitYear(int32_t year) {
    return year < kTwoDigitYearPivot ? 2000 + year : 1900 + year;
}

bool ReadDesignator(Reader& reader, const TimeNames& names, bool firstCharacterOnly,
                    ParsedTime& parsed) {
    std::u16string_view am = names.am;
    std::u16string_view pm = names.pm;
    if (am.empty() && pm.empty()) {
        return true;
    }
    if (firstCharacterOnly) {
        am = am.substr(0, 1);
        pm = pm.substr(0, 1);
    }
    const std::u16string_view rest = reader.Rest();
    const bool isAm = !am.empty() && StartsWithIgnoringAsciiCase(rest, am);
    const bool isPm = !pm.empty() && StartsWithIgnoringAsciiCase(rest, pm);
    if (!isAm && !isPm) {
        return false;
    }
    const bool takePm = isPm && (!isAm || pm.size() > am.size());
    reader.Skip(takePm ? pm.size() : am.size());
    const auto half = takePm ? ParsedTime::HalfDay::Pm : ParsedTime::HalfDay::Am;
    if (parsed.halfDay != ParsedTime::HalfDay::Unknown && parsed.halfDay != half) {
        return false;
    }
    parsed.halfDay = half;
    return true;
}

bool ReadMonthName(Reader& reader, const TimeNames& names, ParsedTime& parsed) {
    size_t length = 0;
    const int32_t following = reader.LongestName(names.months, length);
    const int32_t standalone = reader.LongestName(names.standaloneMonths, length);
    const int32_t month = standalone >= 0 ? standalone : following;
    if (month < 0) {
        return false;
    }
    reader.Skip(length);
    return Store(parsed.month, month + 1);
}

template <size_t N>
bool ReadName(Reader& reader, const std::u16string (&names)[N], int32_t base, int32_t& field) {
    size_t length = 0;
    const int32_t index = reader.LongestName(names, length);
    if (index < 0) {
        return false;
    }
    reader.Skip(length);
    return Store(field, index + base);
}

}  // namespace

bool ParsedTime::ToCivilTime(CivilTime& civil) const {
    civil = CivilTime{};
    if (year != kUnset)
        civil.year = year;
    if (month != kUnset)
        civil.month = static_cast<uint32_t>(month);
    if (day != kUnset)
        civil.day = static_cast<uint32_t>(day);
    if (hour24 != kUnset) {
        civil.hour = static_cast<uint32_t>(hour24);
    } else if (hour12 != kUnset) {
        const uint32_t hour = static_cast<uint32_t>(hour12);
        civil.hour = halfDay == HalfDay::Pm   ? hour % 12 + 12
                     : halfDay == HalfDay::Am ? hour % 12
                                              : hour;
    }
    if (minute != kUnset)
        civil.minute = static_cast<uint32_t>(minute);
    if (second != kUnset)
        civil.second = static_cast<uint32_t>(second);
    if (dayOfWeek != kUnset) {
        const int64_t days = Detail::DaysFromCivil(civil.year, civil.month, civil.day);
        if (Detail::DayOfWeek(days) != static_cast<uint32_t>(dayOfWeek)) {
            return false;
        }
    }
    return true;
}

TimePicture::TimePicture(std::u16string_view picture) {
    size_t i = 0;
    while (i < picture.size()) {
        const char16_t c = picture[i];
        if (c == u'\'') {
            std::u16string literal;
            ++i;
            while (i < picture.size()) {
                if (picture[i] == u'\'') {
                    if (i + 1 < picture.size() && picture[i + 1] == u'\'') {
                        literal.push_back(u'\'');
                        i += 2;
                        continue;
                    }
                    ++i;
                    break;
                }
                literal.push_back(picture[i++]);
            }
            AppendLiteral(literal);
            continue;
        }
        size_t run = 1;
        while (i + run < picture.size() && picture[i + run] == c) {
            ++run;
        }
        const Field field = FieldOfRun(c, run);
        if (field == Field::Literal) {
            AppendLiteral(picture.substr(i, 1));
            ++i;
        } else {
            AddField(field);
            i += run;
        }
    }
}

TimePicture::Field TimePicture::FieldOfRun(char16_t letter, size_t length) {
    const bool two = length >= 2;
    switch (letter) {
        case u'd':
            return length == 1   ? Field::Day
                   : length == 2 ? Field::Day2
                   : length == 3 ? Field::DayAbbreviated
                                 : Field::DayFull;
        case u'M':
            return length == 1   ? Field::Month
                   : length == 2 ? Field::Month2
                   : length == 3 ? Field::MonthAbbreviated
                                 : Field::MonthFull;
        case u'y':
            return length == 1 ? Field::Year : length == 2 ? Field::Year2 : Field::Year4;
        case u'h':
            return two ? Field::Hour12Two : Field::Hour12;
        case u'H':
            return two ? Field::Hour24Two : Field::Hour24;
        case u'm':
            return two ? Field::Minute2 : Field::Minute;
        case u's':
            return two ? Field::Second2 : Field::Second;
        case u't':
            return two ? Field::Designator : Field::DesignatorFirst;
        case u'g':
            return Field::Era;
        default:
            return Field::Literal;
    }
}

void TimePicture::AddField(Field field) {
    items_.push_back(Item{field, {}});
}

void TimePicture::AppendLiteral(std::u16string_view text) {
    if (text.empty()) {
        return;
    }
    if (!items_.empty() && items_.back().field == Field::Literal) {
        items_.back().literal.append(text);
    } else {
        items_.push_back(Item{Field::Literal, std::u16string(text)});
    }
}

void TimePicture::Append(const TimePicture& other) {
    for (const Item& item : other.items_) {
        if (item.field == Field::Literal) {
            AppendLiteral(item.literal);
        } else {
            items_.push_back(item);
        }
    }
}

bool TimePicture::HasDayNumber() const {
    for (const Item& item : items_) {
        if (item.field == Field::Day || item.field == Field::Day2) {
            return true;
        }
    }
    return false;
}

void TimePicture::Format(const CivilTime& civil, const TimeNames& names,
                         std::u16string& out) const {
    const bool followsDay = HasDayNumber();
    const uint32_t month = (civil.month - 1) % 12;
    const uint32_t dayOfWeek = civil.dayOfWeek % 7;
    const int64_t signedYear = civil.year;
    const uint32_t year = static_cast<uint32_t>(signedYear < 0 ? -signedYear : signedYear);
    const uint32_t hour12 = civil.hour % 12 == 0 ? 12 : civil.hour % 12;
    const std::u16string& designator = civil.hour < 12 ? names.am : names.pm;
    for (const Item& item : items_) {
        switch (item.field) {
            case Field::Literal:
                out += item.literal;
                break;
            case Field::Day:
                AppendNumber(civil.day, 1, out);
                break;
            case Field::Day2:
                AppendNumber(civil.day, 2, out);
                break;
            case Field::DayAbbreviated:
                out += names.abbreviatedDays[dayOfWeek];
                break;
            case Field::DayFull:
                out += names.days[dayOfWeek];
                break;
            case Field::Month:
                AppendNumber(civil.month, 1, out);
                break;
            case Field::Month2:
                AppendNumber(civil.month, 2, out);
                break;
            case Field::MonthAbbreviated:
                out += names.abbreviatedMonths[month];
                break;
            case Field::MonthFull:
                out += followsDay || names.standaloneMonths[month].empty()
                           ? names.months[month]
                           : names.standaloneMonths[month];
                break;
            case Field::Year:
                AppendNumber(year % 100, 1, out);
                break;
            case Field::Year2:
                AppendNumber(year % 100, 2, out);
                break;
            case Field::Year4:
                AppendNumber(year, 4, out);
                break;
            case Field::Hour12:
                AppendNumber(hour12, 1, out);
                break;
            case Field::Hour12Two:
                AppendNumber(hour12, 2, out);
                break;
            case Field::Hour24:
                AppendNumber(civil.hour, 1, out);
                break;
            case Field::Hour24Two:
                AppendNumber(civil.hour, 2, out);
                break;
            case Field::Minute:
                AppendNumber(civil.minute, 1, out);
                break;
            case Field::Minute2:
                AppendNumber(civil.minute, 2, out);
                break;
            case Field::Second:
                AppendNumber(civil.second, 1, out);
                break;
            case Field::Second2:
                AppendNumber(civil.second, 2, out);
                break;
            case Field::DesignatorFirst:
                out += designator.substr(0, 1);
                break;
            case Field::Designator:
                out += designator;
                break;
            case Field::Era:
                break;
        }
    }
}

bool TimePicture::Parse(std::u16string_view text, const TimeNames& names,
                        ParsedTime& parsed) const {
    Reader reader(text);
    for (const Item& item : items_) {
        int32_t value = 0;
        bool ok = true;
        switch (item.field) {
            case Field::Literal:
                ok = reader.Literal(item.literal);
                break;
            case Field::Day:
            case Field::Day2:
                ok = reader.Number(1, 2, value) && Store(parsed.day, value);
                break;
            case Field::DayAbbreviated:
                ok = ReadName(reader, names.abbreviatedDays, 0, parsed.dayOfWeek);
                break;
            case Field::DayFull:
                ok = ReadName(reader, names.days, 0, parsed.dayOfWeek);
                break;
            case Field::Month:
            case Field::Month2:
                ok = reader.Number(1, 2, value) && Store(parsed.month, value);
                break;
            case Field::MonthAbbreviated:
                ok = ReadName(reader, names.abbreviatedMonths, 1, parsed.month);
                break;
            case Field::MonthFull:
                ok = ReadMonthName(reader, names, parsed);
                break;
            case Field::Year:
                ok = reader.Number(1, 2, value) && Store(parsed.year, FromTwoDigitYear(value));
                break;
            case Field::Year2:
                ok = reader.Number(2, 2, value) && Store(parsed.year, FromTwoDigitYear(value));
                break;
            case Field::Year4:
                ok = reader.Number(4, 4, value) && Store(parsed.year, value);
                break;
            case Field::Hour12:
            case Field::Hour12Two:
                ok = reader.Number(1, 2, value) && value >= 1 && value <= 12 &&
                     Store(parsed.hour12, value);
                break;
            case Field::Hour24:
            case Field::Hour24Two:
                ok = reader.Number(1, 2, value) && Store(parsed.hour24, value);
                break;
            case Field::Minute:
            case Field::Minute2:
                ok = reader.Number(1, 2, value) && Store(parsed.minute, value);
                break;
            case Field::Second:
            case Field::Second2:
                ok = reader.Number(1, 2, value) && Store(parsed.second, value);
                break;
            case Field::DesignatorFirst:
                ok = ReadDesignator(reader, names, true, parsed);
                break;
            case Field::Designator:
                ok = ReadDesignator(reader, names, false, parsed);
                break;
            case Field::Era:
                break;
        }
        if (!ok) {
            return false;
        }
    }
    return reader.AtEnd();
}

}  // namespace Common
