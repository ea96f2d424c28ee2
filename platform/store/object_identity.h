// What the store reads off an object to file it: its id and its types.
//
// The id is the object id of the data-management client (Kivo::GetObjectKey, then the id of the
// key; enterprise/common/kivo/interfaces/get_object_key.h). It is stored as the GUID's fields in
// big-endian order, so that ids sort as their text does. The types are the values of the
// object's String traits "Is" (an object may have several; traits of other kinds are ignored).
//
// Thread-safety: pure functions over units that nobody changes during the call.
#pragma once

#include <string>
#include <vector>

#include "core/common/guid.h"
#include "enterprise/common/zaph/view.h"
#include "platform/store/engine.h"

namespace KivoStore {

/// The stored id of `object`; throws Kivo::kObjectIdentificationNotFound without a primary key.
ObjectId ObjectIdOf(const Zaph::View::SharedUnitPtr& object);

ObjectId ToObjectId(const Common::Guid& guid);
Common::Guid ToGuid(const ObjectId& id);

/// The values of the String "Is" traits of `object`'s root, in trait order, without repeats.
std::vector<std::u16string> TypesOf(const Zaph::View::Unit& object);

/// The value of the first String "Is" trait of `pattern`'s root, if any: the one type every
/// match must have.
const std::u16string* PinnedType(const Zaph::View::Unit& pattern);

}  // namespace KivoStore
