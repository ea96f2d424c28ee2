// Common::Guid: the 16-byte GUID in the Windows layout (Data1, Data2 and Data3 little-endian on
// the wire, then eight bytes), and its text form XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX.
//
// Thread-safety: a plain value.
#pragma once

#include <compare>
#include <cstdint>
#include <cstring>

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
        if (a.Data1 != b.Data1) return a.Data1 <=> b.Data1;
        if (a.Data2 != b.Data2) return a.Data2 <=> b.Data2;
        if (a.Data3 != b.Data3) return a.Data3 <=> b.Data3;
        const int bytes = std::memcmp(a.Data4, b.Data4, sizeof a.Data4);
        return bytes < 0 ? std::strong_ordering::less
                         : bytes > 0 ? std::strong_ordering::greater : std::strong_ordering::equal;
    }
};

/// The system's GUID.
using Guid = GuidTemplate<LittleEndian>;

}  // namespace Common
