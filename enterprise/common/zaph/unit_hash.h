// ComputeUnitHash: the MD5 digest (md5.h) of the binary form of a unit (binary_form.h), walked
// value first. Units that are unit-equal have the same hash; units that differ in kind, value,
// names, element order or traits hash differently (up to MD5 collisions).
//
// Thread-safety: the unit must not change during the call.
#pragma once

#include "enterprise/common/zaph/binary_form.h"
#include "enterprise/common/zaph/md5.h"

namespace Zaph::Util {

/// A consumer of a binary form that hashes it.
class MD5HashConsumer final : public BinaryDataConsumer {
  public:
    void Consume(const uint8_t* bytes, uint32_t size) override { md5_.Update(bytes, size); }
    /// The digest of everything consumed; the consumer then starts again.
    Md5Digest Finish() { return md5_.Finish(); }

  private:
    Md5 md5_;
};

Md5Digest ComputeUnitHash(const View::Unit& unit);

}  // namespace Zaph::Util
