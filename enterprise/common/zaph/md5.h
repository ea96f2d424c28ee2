// MD5 (RFC 1321): the 128-bit message digest over a stream of bytes.
//
//   Md5 md5;
//   md5.Update(data, size);  // any number of times
//   Md5Digest digest = md5.Finish();
//
// MD5 identifies units (object ids, cache keys); it is not used where an attacker's collisions
// would matter.
//
// Thread-safety: an Md5 object is used by one thread at a time.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace Zaph::Util {

/// The 16 bytes of an MD5 digest, in the order RFC 1321 prints them.
using Md5Digest = std::array<uint8_t, 16>;

class Md5 {
  public:
    Md5() { Reset(); }

    /// Adds `size` bytes to the message.
    void Update(const void* data, size_t size);
    /// The digest of the message so far; the object then starts a new, empty message.
    Md5Digest Finish();

  private:
    static constexpr size_t kBlockSize = 64;

    void Reset();
    // Runs the compression function over `count` whole blocks.
    void Compress(const uint8_t* blocks, size_t count);

    uint32_t state_[4];
    uint64_t length_;  // message bytes so far
    uint8_t pending_[kBlockSize];
    size_t pendingSize_;
};

}  // namespace Zaph::Util
