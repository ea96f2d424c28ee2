// The diff of an update: what changed between two versions of one object.
//
// For two composites the diff is a composite that holds
//   - every property of the new version that the old one lacks, or whose value (with its
//     traits) differs, with its new value in full;
//   - every property of the old version that the new one lacks, as a Nil value carrying the
//     trait "KivoRemoved" (Nil);
// and, when the root traits differ (an "Is" added or dropped), all root traits of the new
// version. Properties that did not change are left out; nested composites are not diffed
// further, a changed one is given whole. When either version is not a composite the diff is
// the new version whole. Equal versions have no diff (null).
//
// Thread-safety: pure functions over units that nobody changes during the call.
#pragma once

#include "enterprise/common/zaph/unit_factory.h"

namespace KivoStore {

/// The trait that marks a removed property in a diff.
inline constexpr const char* kRemovedTrait = "KivoRemoved";

/// The diff from `before` to `after` (see the file comment); null when they are unit-equal.
Zaph::Construction::UnitPtr ComputeDiff(const Zaph::View::Unit& before,
                                        const Zaph::View::Unit& after,
                                        Zaph::Construction::UnitFactory& factory);

}  // namespace KivoStore
