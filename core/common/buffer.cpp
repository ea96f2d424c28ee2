#include "core/common/buffer.h"

#include <cstdlib>
#include <cstring>
#include <limits>

#include "core/common/assert.h"

namespace Common {

DynamicBuffer::~DynamicBuffer() {
    std::free(data_);
}

bool DynamicBuffer::Append(const void* data, size_t length) {
    if (length > std::numeric_limits<size_t>::max() - size_) {
        std::free(data_);
        data_ = nullptr;
        size_ = capacity_ = 0;
        return false;
    }
    const size_t needed = size_ + length;
    if (needed > capacity_) {
        const size_t grown = capacity_ + capacity_ / 2;
        const size_t capacity = grown > needed ? grown : needed;
        auto* bigger = static_cast<uint8_t*>(std::realloc(data_, capacity));
        if (bigger == nullptr) {
            std::free(data_);
            data_ = nullptr;
            size_ = capacity_ = 0;
            return false;
        }
        data_ = bigger;
        capacity_ = capacity;
    }
    if (length != 0) {
        if (data != nullptr) {
            std::memcpy(data_ + size_, data, length);
        } else {
            std::memset(data_ + size_, 0, length);
        }
    }
    size_ = needed;
    return true;
}

void DynamicBuffer::WriteAt(size_t offset, const void* data, size_t length) {
    COMMON_ASSERT(offset <= size_ && length <= size_ - offset);
    if (offset > size_ || length > size_ - offset || length == 0) {
        return;
    }
    std::memcpy(data_ + offset, data, length);
}

}  // namespace Common
