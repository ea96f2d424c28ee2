// CopyUnit: the deep copy of a read-only unit into a new construction unit.
//
// The copy is made with the given factory: a unit of the source's kind and value; for an array
// each element copied in order and appended; for a composite each property's value copied and
// set under the same name; then each trait's value copied and added under the same name. The
// copy shares nothing with the source. Sources nested deeper than kMaxUnitDepth raise
// Errors::kUnitTooDeep and leave nothing behind.
//
// Thread-safety: the source must not change during the call.
#pragma once

#include "enterprise/common/zaph/unit_factory.h"

namespace Zaph::Util {

Construction::UnitPtr CopyUnit(const View::Unit& source, Construction::UnitFactory& factory);

}  // namespace Zaph::Util
