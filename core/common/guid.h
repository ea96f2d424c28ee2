// Common::Guid: the 16-byte GUID in the Windows layout (Data1, Data2 and Data3 little-endian on
// the wire, then eight bytes), and its text form XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX.
//
// The text form is 36 characters: Data1 as 8, Data2 and Data3 as 4 hexadecimal digits, then the
// eight Data4 bytes as 4 and 12 digits, the groups joined by '-', upper case, no braces. Reading
// is strict: exactly that form in either case, with nothing before or after it (no blanks, signs,
// "0x" or braces).
//
// Thread-safety: a plain value; the functions are pure.
#pragma once

#include <compare>
#include <cstdint>
#include <cstring>
#include <string>

namespace Common {

/// Byte-order tag of GuidTemplate: the fields hold host numbers read from little-endian bytes.
struct LittleEndian {};

/// A GUID value; compared as its 16 bytes in field order.
template <typename ByteOrder>
struct GuidTemplate {
    uint32_t Data1 = 0;
    uint16_t Data2 = 0;
    uint16_t Data3 = 0;
    uint8_t Data4[8] = {};

    friend bool operator==(const GuidTemplate& a, const GuidTemplate& b) {
        return a.Data1 == b.Data1 && a.Data2 == b.Data2 && a.Data3 == b.Data3 &&
               std::memcmp(a.Data4, b.Data4, sizeof a.Data4) == 0;
    }
    friend std::strong_ordering operator<=>(const GuidTemplate& a, const GuidTemplate& b) {
        if (a.Data1 != b.Data1)
            return a.Data1 <=> b.Data1;
        if (a.Data2 != b.Data2)
            return a.Data2 <=> b.Data2;
        if (a.Data3 != b.Data3)
            return a.Data3 <=> b.Data3;
        const int bytes = std::memcmp(a.Data4, b.Data4, sizeof a.Data4);
        return bytes < 0   ? std::strong_ordering::less
               : bytes > 0 ? std::strong_ordering::greater
                           : std::strong_ordering::equal;
    }
};

/// The system's GUID.
using Guid = GuidTemplate<LittleEndian>;

/// The number of characters of the text form.
inline constexpr size_t kGuidTextLength = 36;

/// The upper-case text form of `guid`.
std::string GuidToString(const Guid& guid);

/// Writes the upper-case text form of `guid` to the kGuidTextLength characters at `text` (no
/// terminating NUL), for callers that compose text in a buffer of their own.
void WriteGuidText(const Guid& guid, char* text);

/// The text form of `guid` as wide text.
std::u16string GuidToWideString(const Guid& guid);

/// Reads the NUL-terminated text form `t` into `guid`. Returns false, leaving `guid` as it was,
/// when `t` is not exactly the text form; a null `t` also fails an assertion.
bool GuidFromString(const char* t, Guid& guid);

/// The same for wide text; any unit outside ASCII fails.
bool GuidFromString(const char16_t* t, Guid& guid);

}  // namespace Common
