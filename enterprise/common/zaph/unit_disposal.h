// Destruction of unit trees without recursion.
//
// A unit owns its whole tree, and trees from outside may nest far deeper than the stack could
// follow. Every holder that owns units (array elements, property values, trait values) hands
// them to DisposeUnit when it is destroyed. The outermost DisposeUnit on a thread destroys its
// unit and then, one by one, the units that those destructions handed back, so the stack depth
// stays constant whatever the depth of the tree.
//
// Thread-safety: each thread has its own pending list.
#pragma once

#include <memory>

#include "enterprise/common/zaph/view.h"

namespace Zaph::Detail {

/// Destroys `unit` (which may be null) and everything below it; see the file comment.
void DisposeUnit(const View::Unit* unit) noexcept;

template <class U>
void DisposeUnit(std::unique_ptr<U>&& unit) noexcept {
    DisposeUnit(static_cast<const View::Unit*>(unit.release()));
}

}  // namespace Zaph::Detail
