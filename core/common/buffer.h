// Growable byte buffers: the sink of the error byte form and of other binary writers.
//
// Thread-safety: a buffer is used by one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/common/noncopyable.h"

namespace Common {

/// A sink of bytes that can also patch bytes already written.
class ByteBuffer : private NonCopyable {
  public:
    virtual ~ByteBuffer() = default;
    /// Appends `length` bytes from `data`, or `length` zero bytes when `data` is null. Returns
    /// false when the storage could not grow; what the buffer held is then gone (see below).
    virtual bool Append(const void* data, size_t length) = 0;
    /// Overwrites bytes already written. A range past the end fails an assertion and writes
    /// nothing.
    virtual void WriteAt(size_t offset, const void* data, size_t length) = 0;
    /// The number of bytes written.
    virtual size_t Size() const = 0;
};

/// A ByteBuffer on the heap. Grows to the larger of one and a half times its capacity and the
/// size needed; when that allocation fails, it frees its storage, becomes empty and Append
/// returns false, so that a writer cannot carry on over a hole.
class DynamicBuffer final : public ByteBuffer {
  public:
    DynamicBuffer() = default;
    ~DynamicBuffer() override;

    bool Append(const void* data, size_t length) override;
    void WriteAt(size_t offset, const void* data, size_t length) override;
    size_t Size() const override { return size_; }

    /// The bytes written so far (null while empty).
    const uint8_t* Data() const { return data_; }

  private:
    uint8_t* data_ = nullptr;
    size_t size_ = 0;
    size_t capacity_ = 0;
};

}  // namespace Common
