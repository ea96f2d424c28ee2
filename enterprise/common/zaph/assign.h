// Assignment: giving an existing unit the value tree of another unit of the same shape.
//
// Assign(target, source, factory) is all or nothing: it first checks the whole target against
// the whole source (EnsureUnitsCanBeAssigned) and changes nothing when the check fails. The
// check, at every level of the source:
//   - every source trait must be on the target too: a trait of the same name whose value is
//     unit-equal (compare.h); the target may have more traits   -> Errors::kAssignDifferentTraits
//   - the two values must be of the same kind; there are no conversions between kinds
//                                                               -> Errors::kAssignDifferentTypes
//   - every source property must exist in the target composite; the target may have more
//                                                               ->
//                                                               Errors::kAssignDifferentProperties
//   - array elements are not compared: an array is replaced as a whole.
// Then scalars, strings, blobs, GUIDs and errors are set (an error is shared by reference), a
// target array is cleared and receives copies of the source elements made with `factory`, and
// each source property's value is assigned to the target property of the same name. Target
// properties that the source lacks, and the traits of every target unit, stay as they are.
//
// Source and target may overlap: the same unit, or one inside the other's tree. The source is
// then copied first, so that clearing a target array never destroys the data being assigned.
// Errors of the factory (allocation) during the change leave the target partly assigned.
//
// Thread-safety: the caller holds the only reference to the target during the call; the source
// is only read.
#pragma once

#include <cstdint>

#include "enterprise/common/zaph/unit_factory.h"

namespace Zaph {
namespace Errors {

/// A source property is missing from the target composite.
inline constexpr uint32_t kAssignDifferentProperties = 0xFA0010;
/// Values of different kinds at the same place.
inline constexpr uint32_t kAssignDifferentTypes = 0xFA0011;
/// A source trait is missing from the target.
inline constexpr uint32_t kAssignDifferentTraits = 0xFA0012;

}  // namespace Errors

namespace Util {

/// Raises the first reason, in walking order, why `source` cannot be assigned to `target`.
void EnsureUnitsCanBeAssigned(Modification::Unit& target, const View::Unit& source);

/// Assigns the value tree of `source` to `target`; see the file comment.
void Assign(Modification::Unit& target, const View::Unit& source,
            Construction::UnitFactory& factory);

}  // namespace Util
}  // namespace Zaph
