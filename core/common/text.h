// Conversions between UTF-8 (narrow text: command line, files, terminals) and UTF-16 (the wide
// text of units and messages).
//
// Decoding is strict: an invalid byte, a truncated sequence, an overlong form, an encoded
// surrogate or a value above U+10FFFF becomes one U+FFFD per offending sequence and makes the
// call report false, while the rest of the text is still converted. An overlong form never yields
// NUL or any other character. Encoding replaces an unpaired UTF-16 surrogate by U+FFFD and
// reports false.
//
// Thread-safety: pure functions.
#pragma once

#include <string>
#include <string_view>

namespace Common {

/// Decodes UTF-8 into UTF-16, appending to `out`. Returns false when anything was replaced.
bool Utf8ToUtf16(std::string_view in, std::u16string& out);

/// Encodes UTF-16 as UTF-8, appending to `out`. Returns false when anything was replaced.
bool Utf16ToUtf8(std::u16string_view in, std::string& out);

/// The decoded text alone, for callers that accept replacement characters.
std::u16string ToUtf16(std::string_view in);

/// The encoded text alone, for callers that accept replacement characters.
std::string ToUtf8(std::u16string_view in);

/// Widens byte by byte: each byte becomes one UTF-16 unit (Latin-1 reading).
std::u16string WidenBytes(std::string_view in);

/// The lossy narrowing of trace output: keeps the low byte of each UTF-16 unit.
std::string NarrowLowBytes(std::u16string_view in);

/// The value of the hexadecimal digit `c` (either case, narrow or UTF-16); -1 for any other
/// character.
template <typename Char>
constexpr int HexDigitValue(Char c) {
    if (c >= '0' && c <= '9')
        return static_cast<int>(c - '0');
    if (c >= 'A' && c <= 'F')
        return static_cast<int>(c - 'A' + 10);
    if (c >= 'a' && c <= 'f')
        return static_cast<int>(c - 'a' + 10);
    return -1;
}

}  // namespace Common
