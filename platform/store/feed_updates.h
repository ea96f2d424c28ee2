// What one logged change means to a view: the rule that turns the change log into ViewUpdates.
//
// A change is decided against the view's pattern with the object's body before and after it:
//   not in the view before, in it after   Type 0 (created): Key = PackedUpdate = the new object
//   in it before and after                Type 1 (updated): Key = Kivo::GetObjectKey of the new
//                                         object, PackedUpdate = the logged diff
//   in it before, not after (or deleted)  Type 2 (deleted): Key = Kivo::GetObjectKey of the old
//                                         object, no PackedUpdate
//   in it neither before nor after        nothing
// A stored object that does not read back is in no view: writers log its replacement as a
// creation and its delete without the old body, which delivers nothing.
// So the keys of updates and deletes are the keys of the same object in reports and creations.
// A log entry that does not read back (a kind out of range, a damaged id, a body or diff beyond
// kMaxObjectBytes or not a unit, an update without its diff) throws kCorruptedChange naming the
// entry, with the reading error as its reason.
//
// Thread-safety: a pure function over units that nobody changes during the call.
#pragma once

#include <cstddef>
#include <optional>

#include "enterprise/common/ipc/view_manager/records.h"
#include "platform/store/engine.h"

namespace KivoStore {

/// The update a view of `pattern` gets from `change` (see the file comment), if any; `bytes`
/// receives the size of the bodies the update carries.
[[nodiscard]] std::optional<Kivo::ViewManagement::ViewUpdate> DecideUpdate(
    const ChangeCursor& change, const Zaph::View::Unit& pattern, size_t& bytes);

}  // namespace KivoStore
