#include "core/common/catalog.h"

#include <atomic>
#include <bit>
#include <cstring>
#include <memory>

namespace Common {
namespace {

static_assert(std::endian::native == std::endian::little, "catalogue words are little-endian");

// The generated block: u32 words are stored as two UTF-16 units, low unit first, so the whole
// block is an array of char16_t and every message is a char16_t object of its own.
alignas(4) constexpr char16_t kBuiltinBlock[] = {
#include "core/common/catalog_block.inc"
};

constexpr size_t kHeaderBytes = 8;
constexpr size_t kOffsetTableEnd = kHeaderBytes + 4 * size_t{kCatalogMessageCount};
constexpr size_t kBlockLimit = UINT32_MAX;

static_assert(sizeof(kBuiltinBlock) > kOffsetTableEnd, "the built-in block holds its table");

// The current catalogue; a file block replaces the built-in one at most once.
std::atomic<const char16_t*> current{kBuiltinBlock};

uint32_t WordAt(const void* block, size_t offset) {
    uint32_t word;
    std::memcpy(&word, static_cast<const uint8_t*>(block) + offset, sizeof(word));
    return word;
}

size_t BlockSize(const char16_t* block) {
    return WordAt(block, 0);
}

bool Inside(const void* pointer, const char16_t* block) {
    const auto address = reinterpret_cast<uintptr_t>(pointer);
    const auto begin = reinterpret_cast<uintptr_t>(block);
    return address >= begin && address - begin < BlockSize(block);
}

}  // namespace

const char16_t* GetCatalogMessage(uint32_t index) {
    if (index >= kCatalogMessageCount) {
        return u"";
    }
    const char16_t* block = current.load(std::memory_order_acquire);
    const size_t offsetPosition = kHeaderBytes + 4 * size_t{index};
    // Valid blocks have even offsets from 4-aligned positions (IsValidCatalogBlock).
    return block + (offsetPosition + WordAt(block, offsetPosition)) / sizeof(char16_t);
}

bool IsCatalogText(const void* pointer) {
    return Inside(pointer, kBuiltinBlock) ||
           Inside(pointer, current.load(std::memory_order_acquire));
}

bool IsValidCatalogBlock(const void* data, size_t size) {
    if (data == nullptr || size < kOffsetTableEnd || size > kBlockLimit || size % 2 != 0) {
        return false;
    }
    if (WordAt(data, 0) != size || WordAt(data, 4) != kCatalogMessageCount) {
        return false;
    }
    // A message is terminated exactly when a 0 unit lies at or after its start; the last 0 unit
    // of the text area answers that for every message in one pass.
    const auto* bytes = static_cast<const uint8_t*>(data);
    size_t lastTerminator = 0;
    for (size_t unit = kOffsetTableEnd; unit < size; unit += 2) {
        if (bytes[unit] == 0 && bytes[unit + 1] == 0) {
            lastTerminator = unit;
        }
    }
    for (size_t position = kHeaderBytes; position < kOffsetTableEnd; position += 4) {
        const uint64_t start = uint64_t{position} + WordAt(data, position);
        if (start < kOffsetTableEnd || start % 2 != 0 || start > lastTerminator) {
            return false;
        }
    }
    return true;
}

bool InstallCatalogFile(const void* data, size_t size) {
    if (!IsValidCatalogBlock(data, size)) {
        return false;
    }
    // Kept for the whole process: texts handed out point into it.
    std::unique_ptr<char16_t[]> copy(new char16_t[size / sizeof(char16_t)]);
    std::memcpy(copy.get(), data, size);
    const char16_t* expected = kBuiltinBlock;
    if (!current.compare_exchange_strong(expected, copy.get(), std::memory_order_acq_rel)) {
        return false;
    }
    copy.release();
    return true;
}

std::span<const uint8_t> BuiltinCatalogBlock() {
    return {reinterpret_cast<const uint8_t*>(kBuiltinBlock), sizeof(kBuiltinBlock)};
}

}  // namespace Common
