#include "core/common/time/locale_time.h"

#include <langinfo.h>
#include <locale.h>

#include <cstring>
#include <utility>
#include <vector>

#include "core/common/text.h"

namespace Common {
namespace {

// %c, %x and %X may refer to one another; a locale whose layouts loop stops here.
constexpr int kMaxExpansionDepth = 4;

// One piece of a layout: literal text, or a field written as its picture.
struct Piece {
    enum class Kind { Literal, Date, Time, Other };
    Kind kind;
    std::u16string text;
};

std::u16string Decode(std::string_view text, bool utf8) {
    return utf8 ? ToUtf16(text) : WidenBytes(text);
}

void AddLiteral(std::string& pending, bool utf8, std::vector<Piece>& pieces) {
    if (pending.empty()) {
        return;
    }
    pieces.push_back(Piece{Piece::Kind::Literal, Decode(pending, utf8)});
    pending.clear();
}

void Expand(std::string_view layout, const StrftimeLayouts& layouts, int depth,
            std::vector<Piece>& pieces);

// Adds the pieces of one conversion; `unpadded` is true for the '-' and '_' flags.
void AddConversion(char conversion, bool unpadded, const StrftimeLayouts& layouts, int depth,
                   std::vector<Piece>& pieces) {
    const auto date = [&](const char16_t* padded, const char16_t* plain) {
        pieces.push_back(Piece{Piece::Kind::Date, unpadded ? plain : padded});
    };
    const auto time = [&](const char16_t* padded, const char16_t* plain) {
        pieces.push_back(Piece{Piece::Kind::Time, unpadded ? plain : padded});
    };
    switch (conversion) {
        case 'a':
            date(u"ddd", u"ddd");
            break;
        case 'A':
            date(u"dddd", u"dddd");
            break;
        case 'b':
        case 'h':
            date(u"MMM", u"MMM");
            break;
        case 'B':
            date(u"MMMM", u"MMMM");
            break;
        case 'd':
            date(u"dd", u"d");
            break;
        case 'e':
            date(u"d", u"d");
            break;
        case 'm':
            date(u"MM", u"M");
            break;
        case 'y':
        case 'g':
            date(u"yy", u"y");
            break;
        case 'Y':
        case 'G':
            date(u"yyyy", u"yyyy");
            break;
        case 'H':
            time(u"HH", u"H");
            break;
        case 'k':
            time(u"H", u"H");
            break;
        case 'I':
            time(u"hh", u"h");
            break;
        case 'l':
            time(u"h", u"h");
            break;
        case 'M':
            time(u"mm", u"m");
            break;
        case 'S':
            time(u"ss", u"s");
            break;
        case 'p':
        case 'P':
            time(u"tt", u"tt");
            break;
        case 'n':
            pieces.push_back(Piece{Piece::Kind::Literal, u"\n"});
            break;
        case 't':
            pieces.push_back(Piece{Piece::Kind::Literal, u"\t"});
            break;
        case '%':
            pieces.push_back(Piece{Piece::Kind::Literal, u"%"});
            break;
        case 'D':
            Expand("%m/%d/%y", layouts, depth + 1, pieces);
            break;
        case 'F':
            Expand("%Y-%m-%d", layouts, depth + 1, pieces);
            break;
        case 'T':
            Expand("%H:%M:%S", layouts, depth + 1, pieces);
            break;
        case 'R':
            Expand("%H:%M", layouts, depth + 1, pieces);
            break;
        case 'r':
            Expand(layouts.time12.empty() ? "%I:%M:%S %p" : layouts.time12, layouts, depth + 1,
                   pieces);
            break;
        case 'x':
            Expand(layouts.date, layouts, depth + 1, pieces);
            break;
        case 'X':
            Expand(layouts.time, layouts, depth + 1, pieces);
            break;
        case 'c':
            Expand(layouts.dateTime, layouts, depth + 1, pieces);
            break;
        default:
            pieces.push_back(Piece{Piece::Kind::Other, {}});
            break;
    }
}

void Expand(std::string_view layout, const StrftimeLayouts& layouts, int depth,
            std::vector<Piece>& pieces) {
    if (depth > kMaxExpansionDepth) {
        pieces.push_back(Piece{Piece::Kind::Other, {}});
        return;
    }
    std::string literal;
    size_t i = 0;
    while (i < layout.size()) {
        if (layout[i] != '%') {
            literal.push_back(layout[i++]);
            continue;
        }
        // %[flags][width][E|O]conversion
        size_t j = i + 1;
        bool unpadded = false;
        while (j < layout.size() && layout[j] != '\0' &&
               std::strchr("-_0^#", layout[j]) != nullptr) {
            unpadded = unpadded || layout[j] == '-' || layout[j] == '_';
            ++j;
        }
        while (j < layout.size() && layout[j] >= '0' && layout[j] <= '9') {
            ++j;
        }
        if (j < layout.size() && (layout[j] == 'E' || layout[j] == 'O')) {
            ++j;
        }
        if (j >= layout.size()) {
            literal.append(layout.substr(i));
            break;
        }
        AddLiteral(literal, layouts.utf8, pieces);
        AddConversion(layout[j], unpadded, layouts, depth, pieces);
        i = j + 1;
    }
    AddLiteral(literal, layouts.utf8, pieces);
}

bool NeedsQuotes(std::u16string_view literal) {
    for (char16_t c : literal) {
        if ((c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || c == u'\'') {
            return true;
        }
    }
    return false;
}

// Writes kept fields and literals as picture text.
class PictureWriter {
  public:
    explicit PictureWriter(bool fullNames) : fullNames_(fullNames) {}

    void Field(std::u16string_view code) {
        if (fullNames_ && (code == u"ddd" || code == u"MMM")) {
            Field(code == u"ddd" ? u"dddd" : u"MMMM");
            return;
        }
        // Two fields of one letter side by side would read as one longer field.
        if (lastFieldLetter_ == code[0]) {
            out_ += u"''";
        }
        out_ += code;
        lastFieldLetter_ = code[0];
    }

    void Literal(std::u16string_view text) {
        if (text.empty()) {
            return;
        }
        lastFieldLetter_ = 0;
        if (!NeedsQuotes(text)) {
            out_ += text;
            return;
        }
        out_ += u'\'';
        for (char16_t c : text) {
            out_ += c;
            if (c == u'\'')
                out_ += c;
        }
        out_ += u'\'';
    }

    std::u16string Take() { return std::move(out_); }

  private:
    bool fullNames_;
    char16_t lastFieldLetter_ = 0;
    std::u16string out_;
};

// The literal text of pieces [begin, end) up to the first field.
std::u16string LiteralsFrom(const std::vector<Piece>& pieces, size_t begin, size_t end) {
    std::u16string text;
    for (size_t i = begin; i < end && pieces[i].kind == Piece::Kind::Literal; ++i) {
        text += pieces[i].text;
    }
    return text;
}

// The literal text of pieces [begin, end) after the last field.
std::u16string LiteralsBefore(const std::vector<Piece>& pieces, size_t begin, size_t end) {
    size_t start = end;
    while (start > begin && pieces[start - 1].kind == Piece::Kind::Literal) {
        --start;
    }
    return LiteralsFrom(pieces, start, end);
}

// The separator kept from pieces [begin, end), which lie between two kept fields or between a
// kept field and the start or end of the layout. Text next to a dropped field is cut at a blank:
// what stands before the blank belongs to the field on the left ("%d日 %H時" keeps "日"), what
// stands after it to the field on the right.
std::u16string Separator(const std::vector<Piece>& pieces, size_t begin, size_t end, bool atStart,
                         bool atEnd) {
    bool dropped = false;
    for (size_t i = begin; i < end; ++i) {
        dropped = dropped || pieces[i].kind != Piece::Kind::Literal;
    }
    if (!dropped) {
        return LiteralsFrom(pieces, begin, end);
    }
    if (atStart) {
        const std::u16string text = LiteralsBefore(pieces, begin, end);
        const size_t blank = text.find_last_of(u" \t");
        return blank == std::u16string::npos ? std::u16string() : text.substr(blank + 1);
    }
    std::u16string text = LiteralsFrom(pieces, begin, end);
    if (atEnd) {
        return text.substr(0, text.find_first_of(u" \t"));
    }
    return text.empty() ? LiteralsBefore(pieces, begin, end) : text;
}

}  // namespace

std::u16string PictureFromStrftime(std::string_view layout, PictureContent content, bool fullNames,
                                   const StrftimeLayouts& layouts) {
    std::vector<Piece> pieces;
    Expand(layout, layouts, 0, pieces);
    const Piece::Kind kept =
        content == PictureContent::Date ? Piece::Kind::Date : Piece::Kind::Time;
    PictureWriter writer(fullNames);
    size_t segmentBegin = 0;
    bool anyKept = false;
    for (size_t i = 0; i < pieces.size(); ++i) {
        if (pieces[i].kind != kept) {
            continue;
        }
        writer.Literal(Separator(pieces, segmentBegin, i, !anyKept, false));
        writer.Field(pieces[i].text);
        segmentBegin = i + 1;
        anyKept = true;
    }
    if (anyKept) {
        writer.Literal(Separator(pieces, segmentBegin, pieces.size(), false, true));
    }
    return writer.Take();
}

bool ReadLocaleTime(const char* name, LocaleTime& out) {
    locale_t locale = newlocale(LC_TIME_MASK, name, nullptr);
    const bool found = locale != nullptr;
    if (!found) {
        locale = newlocale(LC_TIME_MASK, "C", nullptr);
        if (locale == nullptr) {
            return false;
        }
    }
    const auto item = [locale](nl_item what) { return nl_langinfo_l(what, locale); };
    StrftimeLayouts layouts{item(D_FMT), item(T_FMT), item(D_T_FMT), item(T_FMT_AMPM),
                            std::strcmp(item(_NL_TIME_CODESET), "UTF-8") == 0};
    const auto text = [&](nl_item what) { return Decode(item(what), layouts.utf8); };
    for (int i = 0; i < 12; ++i) {
        out.names.months[i] = text(MON_1 + i);
        out.names.standaloneMonths[i] = text(ALTMON_1 + i);
        out.names.abbreviatedMonths[i] = text(ABMON_1 + i);
    }
    for (int i = 0; i < 7; ++i) {
        out.names.days[i] = text(DAY_1 + i);
        out.names.abbreviatedDays[i] = text(ABDAY_1 + i);
    }
    out.names.am = text(AM_STR);
    out.names.pm = text(PM_STR);
    const std::string longLayout =
        *item(_DATE_FMT) != '\0' ? std::string(item(_DATE_FMT)) : layouts.dateTime;
    out.shortDatePicture = PictureFromStrftime(layouts.date, PictureContent::Date, false, layouts);
    out.longDatePicture = PictureFromStrftime(longLayout, PictureContent::Date, true, layouts);
    out.timePicture = PictureFromStrftime(layouts.time, PictureContent::Time, false, layouts);
    freelocale(locale);
    return found;
}

}  // namespace Common

#if defined(__SANITIZE_ADDRESS__)
#define KIVO_ADDRESS_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KIVO_ADDRESS_SANITIZER 1
#endif
#endif

#if defined(KIVO_ADDRESS_SANITIZER)
// glibc 2.36's newlocale builds a copy of LOCPATH with argz on every call that looks for locale
// files and never frees it. The leak is the C library's, so the leak checker is told to ignore it
// wherever this file's locale reading is linked in.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:__argz_create_sep\nleak:__argz_add_sep\n";
}
#endif
