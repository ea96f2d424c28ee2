#include "core/common/guid.h"

#include <cinttypes>
#include <cstdio>

#include "core/common/assert.h"
#include "core/common/text.h"

namespace Common {
namespace {

// Positions of the '-' separators in the text form.
constexpr bool IsSeparatorPosition(size_t i) {
    return i == 8 || i == 13 || i == 18 || i == 23;
}

template <typename Char>
int HexDigitValue(Char c) {
    if (c >= '0' && c <= '9')
        return static_cast<int>(c - '0');
    if (c >= 'A' && c <= 'F')
        return static_cast<int>(c - 'A' + 10);
    if (c >= 'a' && c <= 'f')
        return static_cast<int>(c - 'a' + 10);
    return -1;
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

}  // namespace

std::string GuidToString(const Guid& guid) {
    char text[kGuidTextLength + 1];
    std::snprintf(text, sizeof text,
                  "%08" PRIX32 "-%04" PRIX16 "-%04" PRIX16 "-%02X%02X-%02X%02X%02X%02X%02X%02X",
                  guid.Data1, guid.Data2, guid.Data3, guid.Data4[0], guid.Data4[1], guid.Data4[2],
                  guid.Data4[3], guid.Data4[4], guid.Data4[5], guid.Data4[6], guid.Data4[7]);
    return std::string(text, kGuidTextLength);
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
