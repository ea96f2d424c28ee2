// The size of a reply before it is built: what a unit costs in a reply packet, and the sinks
// that collect a snapshot or report within the transport's limit.
//
// A unit travels as its binary form in base64 inside an "item" element; UnitReplyBytes counts
// that (the binary form measured by walking the unit, nothing copied) with a fixed allowance for
// the elements around it. BoundedUnits refuses the unit that would take a reply past its limit
// with kReplyTooLarge, whose message tells the user to ask for fewer objects with
// "LimitOptions"; the collection then stops, and no reply is built.
//
// Thread-safety: a BoundedUnits is used by one thread at a time.
#pragma once

#include <cstddef>

#include "enterprise/common/ipc/view_manager/records.h"

namespace KivoService {

/// The bytes that `unit` takes in a reply packet (see the file comment).
[[nodiscard]] size_t UnitReplyBytes(const Zaph::View::Unit& unit);

/// Collects units for one reply; see the file comment.
class BoundedUnits {
  public:
    /// Collects into `units` while the reply stays within `limit` bytes.
    BoundedUnits(Kivo::ViewManagement::UnitVector& units, size_t limit)
        : units_(units), limit_(limit) {}

    /// Adds `unit`, or throws kReplyTooLarge.
    void Add(const Zaph::View::SharedUnitPtr& unit);

  private:
    Kivo::ViewManagement::UnitVector& units_;
    const size_t limit_;
    size_t bytes_ = 0;
};

}  // namespace KivoService
