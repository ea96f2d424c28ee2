// The order and the equality of units.
//
// CompareUnits is the unit order: values first (CompareValues), then traits (CompareTraits);
// results are -1 (left first), 0 or 1.
//
//   Kinds         by type index (Nil first, Composite last)
//   Scalars       numerically, signed or unsigned by kind; false before true
//   Double        -1 when right > left, 0 when equal, else 1: a NaN on either side gives 1
//   String, Blob  by UTF-16 code units or bytes (unsigned), a proper prefix first
//   Guid          Data1, Data2, Data3 as numbers, then the last eight bytes
//   Error         by code; equal non-success codes by their reasons, then by named fields
//   Array         the shorter first, else the first unequal pair of elements
//   Composite     when a property is unpaired, the first left-only name against the first
//                 right-only name (a side without one counts as the empty name): the left name
//                 smaller gives -1, otherwise 1; else the first unequal pair in name order
//   Traits        when traits are unpaired: only on the right -1, only on the left 1, on both
//                 sides the first unpaired trait of each side decides by name, then value
//
// That order is not a strict weak order: NaN orders after itself, and the composite and trait
// rules for differences on both sides are not transitive ({c} < {a, c} < {b} < {c}). A set
// sorted by it would misplace or duplicate entries. CompareUnitsTotal is the order the trait
// set keeps instead; it agrees with CompareUnits except that:
//   - a NaN orders after every number, and all NaNs are equivalent;
//   - composites: the smallest property name present on one side only decides, and the side
//     that has it orders last (a composite with fewer properties, all paired, orders first);
//   - trait sets: the smallest trait (by name, then value) present on one side only decides,
//     and the side that has it orders last;
// and it applies these rules at every depth, so a NaN or composite inside an array, a property
// or a trait value orders the same way.
//
// Equality: ValuesEqual (traits ignored; Double by ==, so NaN is never equal), UnitsEqual
// (values and traits), TraitsEqual (every trait has a partner of its name with a unit-equal
// value on the other side).
//
// All functions walk at most kMaxUnitDepth levels and raise Errors::kUnitTooDeep past that.
//
// Thread-safety: pure functions over units that nobody changes during the call.
#pragma once

#include <cstdint>

#include "enterprise/common/zaph/view.h"

namespace Zaph::Util {

int32_t CompareUnits(const View::Unit& left, const View::Unit& right);
int32_t CompareValues(const View::Unit& left, const View::Unit& right);
int32_t CompareTraits(const View::Unit& left, const View::Unit& right);
/// CompareUnits(left, right) == -1.
bool UnitLess(const View::Unit& left, const View::Unit& right);

/// The total order of the trait set; see the file comment.
int32_t CompareUnitsTotal(const View::Unit& left, const View::Unit& right);

bool ValuesEqual(const View::Unit& left, const View::Unit& right);
bool UnitsEqual(const View::Unit& left, const View::Unit& right);
bool TraitsEqual(const View::Unit& left, const View::Unit& right);

/// The error order used for Error values: see the file comment.
int32_t CompareErrors(const Common::Error& left, const Common::Error& right);

}  // namespace Zaph::Util
