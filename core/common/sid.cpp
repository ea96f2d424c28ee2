#include "core/common/sid.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>

#include "core/common/text.h"

namespace Common {
namespace {

constexpr size_t kHeaderSize = 8;
constexpr uint8_t kRevision = 1;

}  // namespace

bool SidToText(std::span<const uint8_t> sid, std::u16string& text) {
    if (sid.size() < kHeaderSize || sid[0] != kRevision || sid[1] > kMaxSidSubAuthorities ||
        sid.size() < kHeaderSize + 4 * size_t{sid[1]}) {
        errno = EINVAL;
        return false;
    }
    const uint8_t* authority = sid.data() + 2;
    // "S-1-" + authority (at most 14) + 15 * ("-" + 10 digits) + NUL.
    char buffer[4 + 14 + kMaxSidSubAuthorities * 11 + 1];
    int length = 0;
    if (authority[0] != 0 || authority[1] != 0) {
        length = std::snprintf(buffer, sizeof buffer, "S-%u-0x%02x%02x%02x%02x%02x%02x",
                               unsigned{kRevision}, authority[0], authority[1], authority[2],
                               authority[3], authority[4], authority[5]);
    } else {
        const uint32_t value = uint32_t{authority[2]} << 24 | uint32_t{authority[3]} << 16 |
                               uint32_t{authority[4]} << 8 | authority[5];
        length = std::snprintf(buffer, sizeof buffer, "S-%u-%" PRIu32, unsigned{kRevision}, value);
    }
    for (size_t i = 0; i < sid[1]; ++i) {
        const uint8_t* bytes = sid.data() + kHeaderSize + 4 * i;
        const uint32_t subAuthority = uint32_t{bytes[0]} | uint32_t{bytes[1]} << 8 |
                                      uint32_t{bytes[2]} << 16 | uint32_t{bytes[3]} << 24;
        length += std::snprintf(buffer + length, sizeof buffer - static_cast<size_t>(length),
                                "-%" PRIu32, subAuthority);
    }
    text = WidenBytes(std::string_view(buffer, static_cast<size_t>(length)));
    return true;
}

}  // namespace Common
