#include "core/common/text.h"

#include <cstdint>
#include <cstring>

namespace Common {
namespace {

constexpr char16_t kReplacement = 0xFFFD;

bool IsContinuation(unsigned char byte) {
    return (byte & 0xC0) == 0x80;
}

void AppendUtf8(char32_t cp, std::string& out) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

}  // namespace

bool Utf8ToUtf16(std::string_view in, std::u16string& out) {
    // Every byte gives at most one unit: write into room made up front, then trim.
    const size_t start = out.size();
    out.resize(start + in.size());
    char16_t* write = out.data() + start;
    bool clean = true;
    const auto* bytes = reinterpret_cast<const unsigned char*>(in.data());
    const size_t size = in.size();
    size_t i = 0;
    while (i < size) {
        // Runs of ASCII, eight bytes at a time.
        while (i + 8 <= size) {
            uint64_t chunk;
            std::memcpy(&chunk, bytes + i, sizeof chunk);
            if ((chunk & 0x8080808080808080ULL) != 0) {
                break;
            }
            for (size_t k = 0; k < 8; ++k) {
                write[k] = bytes[i + k];
            }
            write += 8;
            i += 8;
        }
        if (i >= size) {
            break;
        }
        const unsigned char lead = bytes[i];
        if (lead < 0x80) {
            *write++ = lead;
            ++i;
            continue;
        }
        size_t length = 0;
        char32_t cp = 0;
        char32_t smallest = 0;
        if (lead >= 0xC0 && lead <= 0xDF) {
            length = 2, cp = lead & 0x1F, smallest = 0x80;  // C0 and C1 are always overlong
        } else if ((lead & 0xF0) == 0xE0) {
            length = 3, cp = lead & 0x0F, smallest = 0x800;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4, cp = lead & 0x07, smallest = 0x10000;
        }
        if (length == 0) {
            *write++ = kReplacement;
            clean = false;
            ++i;
            continue;
        }
        size_t taken = 1;
        while (taken < length && i + taken < size && IsContinuation(bytes[i + taken])) {
            cp = (cp << 6) | (bytes[i + taken] & 0x3F);
            ++taken;
        }
        i += taken;
        if (taken != length || cp < smallest || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
            *write++ = kReplacement;
            clean = false;
        } else if (cp < 0x10000) {
            *write++ = static_cast<char16_t>(cp);
        } else {
            cp -= 0x10000;
            *write++ = static_cast<char16_t>(0xD800 + (cp >> 10));
            *write++ = static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
        }
    }
    out.resize(static_cast<size_t>(write - out.data()));
    return clean;
}

bool Utf16ToUtf8(std::u16string_view in, std::string& out) {
    // The ASCII head of the text, the whole of most texts, goes one byte per unit into room made
    // up front.
    size_t ascii = 0;
    while (ascii < in.size() && in[ascii] < 0x80) {
        ++ascii;
    }
    const size_t start = out.size();
    out.resize(start + ascii);
    char* head = out.data() + start;
    for (size_t i = 0; i < ascii; ++i) {
        head[i] = static_cast<char>(in[i]);
    }
    if (ascii == in.size()) {
        return true;
    }
    bool clean = true;
    out.reserve(out.size() + in.size() - ascii);
    for (size_t i = ascii; i < in.size(); ++i) {
        char32_t cp = in[i];
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < in.size() && in[i + 1] >= 0xDC00 &&
            in[i + 1] <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (in[i + 1] - 0xDC00);
            ++i;
        } else if (cp >= 0xD800 && cp <= 0xDFFF) {
            cp = kReplacement;
            clean = false;
        }
        AppendUtf8(cp, out);
    }
    return clean;
}

std::u16string ToUtf16(std::string_view in) {
    std::u16string out;
    Utf8ToUtf16(in, out);
    return out;
}

std::string ToUtf8(std::u16string_view in) {
    std::string out;
    Utf16ToUtf8(in, out);
    return out;
}

std::u16string WidenBytes(std::string_view in) {
    std::u16string out;
    out.reserve(in.size());
    for (char c : in) {
        out.push_back(static_cast<unsigned char>(c));
    }
    return out;
}

std::string NarrowLowBytes(std::u16string_view in) {
    std::string out;
    out.reserve(in.size());
    for (char16_t c : in) {
        out.push_back(static_cast<char>(c & 0xFF));
    }
    return out;
}

}  // namespace Common
