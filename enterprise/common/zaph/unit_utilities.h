// Small questions and edits of units that spare callers a visitor.
//
//   GetUniqueTraitByName(unit, name)  the one trait called `name`: none raises
//                                     "ZAPH: Trait '{0}' cannot be found." (kTraitNotFound),
//                                     two or more "ZAPH: Trait '{0}' is not unique."
//                                     (kTraitNotUnique)
//   HasTrait, HasTraitWithValue       a trait of that name (with a value equal by ValuesEqual)
//   HasProperties(unit)               a composite with at least one property; false otherwise
//   HasProperty(unit, name)           false for a null unit; a unit that is not a composite
//                                     raises the structure type mismatch (expected Composite)
//   IsArray, IsComposite              the kind of the value
//   IsSearchableArray(unit)           an array that carries a trait called "Searchable"
//   AddProperty, DeletePropertyByName set or remove a property of a composite unit; another
//                                     kind raises the structure type mismatch
//   FindMapElement(array, key)        an array used as a map holds composites with the
//                                     properties "first" (the key, a String) and "second" (the
//                                     value); returns the "second" of the first element whose key
//                                     equals `key` (compared as UTF-8 bytes), or null. Elements
//                                     that are not composites are skipped; a composite element
//                                     without "first" or "second" raises "ZAPH: Property '{0}'
//                                     cannot be found." (kPropertyNotFound); a unit that is not
//                                     an array raises the structure type mismatch
//
// Thread-safety: as the units read or changed.
#pragma once

#include <cstdint>
#include <string_view>

#include "enterprise/common/zaph/construction.h"

namespace Zaph {
namespace Errors {

/// More than one trait of a name that must be unique.
inline constexpr uint32_t kTraitNotUnique = 0xFA001C;
/// No trait of a name that must be present.
inline constexpr uint32_t kTraitNotFound = 0xFA001D;

}  // namespace Errors

namespace Util {

const View::Trait& GetUniqueTraitByName(const View::Unit& unit, const Name& name);

bool HasTrait(const View::Unit& unit, const Name& name);
bool HasTraitWithValue(const View::Unit& unit, const Name& name, const View::Unit& value);
bool HasProperties(const View::Unit& unit);
bool HasProperty(const View::Unit* unit, const Name& name);
bool IsArray(const View::Unit& unit);
bool IsComposite(const View::Unit& unit);
bool IsSearchableArray(const View::Unit& unit);

void AddProperty(Construction::Unit& composite, Construction::PropertyPtr property);
void DeletePropertyByName(Construction::Unit& composite, const Name& name);

const View::Unit* FindMapElement(const View::Unit& array, std::string_view key);

}  // namespace Util
}  // namespace Zaph
