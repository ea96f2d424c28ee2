// The container interfaces of a unit, found in one visit: for algorithms that handle arrays and
// composites and pass every other kind on.
//
//   CompositeOf(unit)  the unit's composite value, or null when it holds another kind
//   ArrayOf(unit)      the unit's array value, or null when it holds another kind
//
// Each has an overload per layer (view, modification, construction).
//
// Thread-safety: as the units read.
#pragma once

#include "enterprise/common/zaph/construction.h"

namespace Zaph::Util::Detail {

const View::CompositeValue* CompositeOf(const View::Unit& unit);
Modification::CompositeValue* CompositeOf(Modification::Unit& unit);
Construction::CompositeValue* CompositeOf(Construction::Unit& unit);

const View::ArrayValue* ArrayOf(const View::Unit& unit);
Modification::ArrayValue* ArrayOf(Modification::Unit& unit);
Construction::ArrayValue* ArrayOf(Construction::Unit& unit);

/// True for Array and Composite units.
bool IsContainer(const View::Unit& unit);

}  // namespace Zaph::Util::Detail
