// SearchByLayers: a breadth-first search of a unit tree.
//
// The root is at depth 0; the values of a composite's properties (in name order) and the
// elements of an array (in order) are one level deeper than their container; traits are not
// searched. The units of depth 0, then of depth 1, and so on, are handed to the processor, until
// it returns true or a level holds no composite and no array.
//
//   {a: {b: 1}, c: 2}   ->   the root, the value of a, the value of c, the value of b
//
// The search holds the units of one level at a time, and never recurses.
//
// Thread-safety: the unit must not change during the search.
#pragma once

#include "enterprise/common/zaph/view.h"

namespace Zaph::Util {

/// Searches `unit`; true when the processor stopped the search.
bool SearchByLayers(const View::Unit& unit, ItemProcessor<const View::Unit>& processor);

}  // namespace Zaph::Util
