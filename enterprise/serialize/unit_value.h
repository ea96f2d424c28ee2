// Units in packets. A unit value is an element holding two values, in this order:
//   "is_empty"  a boolean, true for no unit (a null pointer);
//   "value"     only for a unit: its binary form (enterprise/common/zaph/binary_form.h) as a byte
//               vector, so base64 in the packet.
// A container of units is a container (container.h) whose "item" elements are unit values.
//
// Thread-safety: as the writer or reader used; the units are only read.
#pragma once

#include "enterprise/common/zaph/view.h"
#include "enterprise/serialize/serializer.h"

namespace Serialization {

/// Writes `unit` (null for none) as the element named by `tag`.
void WriteUnit(Serializer& serializer, const SerializationTag& tag,
               const Zaph::View::SharedUnitPtr& unit);

/// Reads the unit value named by `tag` into `unit` (null for none), building it with the
/// process-wide in-memory unit factory. A missing or malformed value, or a binary form that does
/// not read, throws its error and leaves `unit` as it was; the element is closed either way, so
/// that the caller can go on with the next value.
void ReadUnit(Deserializer& deserializer, const SerializationTag& tag,
              Zaph::View::SharedUnitPtr& unit);

}  // namespace Serialization
