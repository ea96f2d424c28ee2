#include "core/common/guid.h"

#include <array>

#include "core/common/assert.h"
#include "core/common/text.h"

namespace Common {
namespace {

// Positions of the '-' separators in the text form.
constexpr bool IsSeparatorPosition(size_t i) {
    return i == 8 || i == 13 || i == 18 || i == 23;
}

// Reads the 32 digits into 16 bytes in text order; stops at the first character that does not
// fit, so a short text never reads past its terminator.
template <typename Char>
bool ParseGuid(const Char* t, Guid& guid) {
    COMMON_ASSERT_TEXT(t != nullptr, "t");
    if (t == nullptr) {
        return false;
    }
    uint8_t bytes[16] = {};
    size_t digits = 0;
    for (size_t i = 0; i < kGuidTextLength; ++i) {
        if (IsSeparatorPosition(i)) {
            if (t[i] != '-')
                return false;
            continue;
        }
        const int value = HexDigitValue(t[i]);
        if (value < 0)
            return false;
        bytes[digits / 2] = static_cast<uint8_t>(bytes[digits / 2] << 4 | value);
        ++digits;
    }
    if (t[kGuidTextLength] != 0) {
        return false;
    }
    guid.Data1 = static_cast<uint32_t>(bytes[0]) << 24 | static_cast<uint32_t>(bytes[1]) << 16 |
                 static_cast<uint32_t>(bytes[2]) << 8 | bytes[3];
    guid.Data2 = static_cast<uint16_t>(bytes[4] << 8 | bytes[5]);
    guid.Data3 = static_cast<uint16_t>(bytes[6] << 8 | bytes[7]);
    std::memcpy(guid.Data4, bytes + 8, sizeof guid.Data4);
    return true;
}

// The two upper-case hexadecimal digits of each byte value.
constexpr std::array<char, 512> kHexPairs = [] {
    constexpr char kHexDigits[] = "0123456789ABCDEF";
    std::array<char, 512> pairs{};
    for (size_t byte = 0; byte < 256; ++byte) {
        pairs[2 * byte] = kHexDigits[byte >> 4];
        pairs[2 * byte + 1] = kHexDigits[byte & 0xF];
    }
    return pairs;
}();

// Writes the `digits` (even) low hexadecimal digits of `value`, upper case, at `out`; returns
// their end. The text form is printed once or twice per object of a report, so it goes a byte
// at a time through a table rather than through the printf machinery.
char* WriteHexDigits(char* out, uint32_t value, int digits) {
    for (int shift = (digits - 2) * 4; shift >= 0; shift -= 8) {
        const size_t byte = (value >> shift) & 0xFF;
        *out++ = kHexPairs[2 * byte];
        *out++ = kHexPairs[2 * byte + 1];
    }
    return out;
}

}  // namespace

void WriteGuidText(const Guid& guid, char* text) {
    // "%08lX-%04hX-%04hX-%02X%02X-%02X%02X%02X%02X%02X%02X"
    char* out = WriteHexDigits(text, guid.Data1, 8);
    *out++ = '-';
    out = WriteHexDigits(out, guid.Data2, 4);
    *out++ = '-';
    out = WriteHexDigits(out, guid.Data3, 4);
    *out++ = '-';
    out = WriteHexDigits(out, guid.Data4[0], 2);
    out = WriteHexDigits(out, guid.Data4[1], 2);
    *out++ = '-';
    for (int i = 2; i < 8; ++i)
        out = WriteHexDigits(out, guid.Data4[i], 2);
}

std::string GuidToString(const Guid& guid) {
    std::string text(kGuidTextLength, '-');
    WriteGuidText(guid, text.data());
    return text;
}

std::u16string GuidToWideString(const Guid& guid) {
    return WidenBytes(GuidToString(guid));
}

bool GuidFromString(const char* t, Guid& guid) {
    return ParseGuid(t, guid);
}

bool GuidFromString(const char16_t* t, Guid& guid) {
    return ParseGuid(t, guid);
}

}  // namespace Common
