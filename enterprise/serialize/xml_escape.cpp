#include "enterprise/serialize/xml_escape.h"

#include <charconv>
#include <cstdint>

#include "core/common/text.h"

namespace Serialization::Detail {
namespace {

// One character of a text: its code point, the units it takes, and whether it is an unpaired
// UTF-16 surrogate standing for itself.
struct Character {
    char32_t point;
    size_t width;
    bool loneSurrogate;
};

Character At(std::string_view text, size_t i) {
    return {static_cast<unsigned char>(text[i]), 1, false};
}

Character At(std::u16string_view text, size_t i) {
    const char16_t unit = text[i];
    const bool high = unit >= 0xD800 && unit <= 0xDBFF;
    if (high && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
        return {0x10000 + ((char32_t(unit) - 0xD800) << 10) + (text[i + 1] - 0xDC00), 2, false};
    }
    return {unit, 1, unit >= 0xD800 && unit <= 0xDFFF};
}

// Characters that only a numeric reference can carry through XML readers.
bool NeedsReference(const Character& c) {
    return c.point < 32 || c.loneSurrogate || c.point == 0xFFFE || c.point == 0xFFFF;
}

// Appends characters that need no escaping, in UTF-8.
void AppendPlain(std::string_view text, std::string& out) {
    size_t ascii = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte >= 0x80) {
            out.append(text.data() + ascii, i - ascii);
            out += static_cast<char>(0xC0 | (byte >> 6));
            out += static_cast<char>(0x80 | (byte & 0x3F));
            ascii = i + 1;
        }
    }
    out.append(text.data() + ascii, text.size() - ascii);
}

void AppendPlain(std::u16string_view text, std::string& out) {
    Common::Utf16ToUtf8(text, out);
}

void AppendReference(char32_t point, std::string& out) {
    char digits[16];
    const auto end = std::to_chars(digits, digits + sizeof digits, uint32_t{point}).ptr;
    out += "&#";
    out.append(digits, end);
    out += ';';
}

template <class CharT>
bool ClosesCdataEnd(std::basic_string_view<CharT> text, size_t i) {
    return text[i] == CharT('>') && i >= 2 && text[i - 1] == CharT(']') &&
           text[i - 2] == CharT(']');
}

// True when content text is better carried as CDATA: it has several lines, and nothing that
// CDATA cannot hold.
template <class CharT>
bool FitsCdata(std::basic_string_view<CharT> text) {
    bool lineFeed = false;
    for (size_t i = 0; i < text.size();) {
        const Character c = At(text, i);
        if (c.point == '\n') {
            lineFeed = true;
        } else if ((c.point != '\t' && NeedsReference(c)) || ClosesCdataEnd(text, i)) {
            return false;
        }
        i += c.width;
    }
    return lineFeed;
}

template <class CharT>
void AppendCdata(std::basic_string_view<CharT> text, std::string& out) {
    out += "<![CDATA[";
    size_t line = 0;
    for (size_t feed = text.find(CharT('\n')); feed != text.npos;
         feed = text.find(CharT('\n'), line)) {
        AppendPlain(text.substr(line, feed - line), out);
        out += "\r\n";
        line = feed + 1;
    }
    AppendPlain(text.substr(line), out);
    out += "]]>";
}

template <class CharT>
void AppendCharacters(std::basic_string_view<CharT> text, TextPlace place, std::string& out) {
    size_t plain = 0;  // start of the run of characters not yet appended
    for (size_t i = 0; i < text.size();) {
        const Character c = At(text, i);
        const char* entity = nullptr;
        bool reference = NeedsReference(c);
        if (c.point == '<') {
            entity = "&lt;";
        } else if (c.point == '&') {
            entity = "&amp;";
        } else if (c.point == '"' && place == TextPlace::Attribute) {
            entity = "&quot;";
        } else if (ClosesCdataEnd(text, i)) {
            entity = "&gt;";
        } else if (c.point == ' ') {
            reference = i == 0 || text[i - 1] == CharT(' ') || i + 1 == text.size();
        }
        if (entity != nullptr || reference) {
            AppendPlain(text.substr(plain, i - plain), out);
            if (entity != nullptr) {
                out += entity;
            } else {
                AppendReference(c.point, out);
            }
            plain = i + c.width;
        }
        i += c.width;
    }
    AppendPlain(text.substr(plain), out);
}

template <class CharT>
void Escape(std::basic_string_view<CharT> text, TextPlace place, std::string& out) {
    if (place == TextPlace::Content && FitsCdata(text)) {
        AppendCdata(text, out);
    } else {
        AppendCharacters(text, place, out);
    }
}

}  // namespace

void AppendEscaped(std::string_view text, TextPlace place, std::string& out) {
    Escape(text, place, out);
}

void AppendEscaped(std::u16string_view text, TextPlace place, std::string& out) {
    Escape(text, place, out);
}

}  // namespace Serialization::Detail
