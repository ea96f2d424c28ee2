// Object identity: the key unit of an object and the 16-byte id of a key.
//
// The key of an object is the unit that carries its identity. GetObjectKey searches the object
// level by level (the root, then the values of its properties and elements, and so on; traits
// are not searched) for the first unit with a trait "PrimaryKey": the key is that trait's value,
// or the unit itself when the value is Nil.
//
// The id of a key:
//   - a key whose value is a GUID and that carries neither "PrimaryKey" nor "ForeignKey" is
//     identified by that GUID;
//   - any other key by the MD5 hash of its binary form with its "KivoTimeStamp" property left
//     out, so that the versions of one object share an id.
// Id texts use the GUID text form (core/common/guid.h).
//
// Thread-safety: pure functions over units that nobody changes during the call.
#pragma once

#include <cstdint>
#include <string>

#include "core/common/guid.h"
#include "enterprise/common/zaph/view.h"

namespace Kivo {

/// The object has no unit with a "PrimaryKey" trait.
inline constexpr uint32_t kObjectIdentificationNotFound = 0xFC000A;

/// The key unit of `object`; it shares ownership with `object`. Throws Common::Error
/// kObjectIdentificationNotFound when there is none (also for a null `object`).
Zaph::View::SharedUnitPtr GetObjectKey(const Zaph::View::SharedUnitPtr& object);

/// The id of the key unit `key`.
Common::Guid GetObjectId(const Zaph::View::Unit& key);

/// The id text of `object`: the text of the id of its key. Throws as GetObjectKey.
std::u16string GetObjectIdText(const Zaph::View::SharedUnitPtr& object);

/// The id text of the key unit `key`.
std::u16string GetKeyIdText(const Zaph::View::Unit& key);

}  // namespace Kivo
