// Kivo::ViewSpec: the query of a view, a matching pattern and its options.
//
// In packets a view spec is a section holding two unit values (utils.h), "Pattern" then
// "Options"; a null unit is written with "is_empty" true. Reading is tolerant field by field:
// a field that is missing or cannot be read keeps the value it had.
//
// Thread-safety: a plain value; the units are shared read-only.
#pragma once

#include "enterprise/common/zaph/view.h"
#include "enterprise/serialize/serializer.h"

namespace Kivo {

/// The query of a view.
struct ViewSpec {
    /// The matching pattern.
    Zaph::View::SharedUnitPtr Pattern;
    /// The options; null for none.
    Zaph::View::SharedUnitPtr Options;
};

/// Writes `spec` as the section that `tag` names.
void WriteValue(Serialization::Serializer& out, const Serialization::SerializationTag& tag,
                const ViewSpec& spec);
/// Reads the section that `tag` names into `spec`, field by field. A missing section throws
/// Common::Error and leaves `spec` as it was.
void ReadValue(Serialization::Deserializer& in, const Serialization::SerializationTag& tag,
               ViewSpec& spec);

}  // namespace Kivo
