// Reads arbitrary bytes as a catalogue file. A block the check accepts must hold, for every
// message, a start inside the text area and a terminator inside the block (checked here again,
// independently), and each message must format without reading past its end.

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "core/common/catalog.h"
#include "core/common/message_format.h"

namespace {

constexpr size_t kTableEnd = 8 + 4 * size_t{Common::kCatalogMessageCount};

// The message of `index`; aborts when it does not lie wholly inside the block.
std::u16string_view MessageAt(const uint8_t* data, size_t size, uint32_t index) {
    const size_t position = 8 + 4 * size_t{index};
    uint32_t offset;
    std::memcpy(&offset, data + position, sizeof(offset));
    const uint64_t start = uint64_t{position} + offset;
    if (start < kTableEnd || start % 2 != 0 || start >= size) {
        std::abort();
    }
    for (uint64_t unit = start; unit + 1 < size; unit += 2) {
        if (data[unit] == 0 && data[unit + 1] == 0) {
            return {reinterpret_cast<const char16_t*>(data + start), (unit - start) / 2};
        }
    }
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (!Common::IsValidCatalogBlock(data, size)) {
        return 0;
    }
    // UTF-16 units must be aligned: work on an aligned copy.
    auto* block = static_cast<uint8_t*>(std::aligned_alloc(4, (size + 3) / 4 * 4));
    std::memcpy(block, data, size);
    for (uint32_t index = 0; index < Common::kCatalogMessageCount; ++index) {
        (void)Common::FormatCatalogMessage(MessageAt(block, size, index), {u"a", u"{0}"});
    }
    std::free(block);
    return 0;
}
