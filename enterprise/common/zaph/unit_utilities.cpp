#include "enterprise/common/zaph/unit_utilities.h"

#include "core/common/catalog.h"
#include "core/common/text.h"
#include "enterprise/common/zaph/compare.h"
#include "enterprise/common/zaph/container_access.h"
#include "enterprise/common/zaph/errors.h"
#include "enterprise/common/zaph/value_access.h"

namespace Zaph::Util {
namespace {

const Name kSearchable = Name::Literal("Searchable");
const Name kMapKey = Name::Literal("first");
const Name kMapValue = Name::Literal("second");

template <class Composite, class Unit>
Composite& RequireComposite(Composite* composite, const Unit& unit) {
    if (composite == nullptr) {
        throw Detail::MakeTypeMismatchError(TypeIndex::Composite, GetTypeIndex(unit));
    }
    return *composite;
}

// The value of the property `name` of a map element.
const View::Unit& MapPart(const View::CompositeValue& element, const Name& name) {
    const View::Unit* value = nullptr;
    auto find = MakeProcessor<const View::Property>([&](const View::Property& property) {
        value = &property.GetValue();
        return true;
    });
    if (!element.Find(name, find)) {
        throw Zaph::Detail::MakeError(COMMON_PLACE("Zaph::Util::FindMapElement"),
                                      Errors::kPropertyNotFound, Common::kMsgZaphPropertyNotFound,
                                      {Common::ToUtf16(name.View())});
    }
    return *value;
}

}  // namespace

const View::Trait& GetUniqueTraitByName(const View::Unit& unit, const Name& name) {
    const View::Trait* found = nullptr;
    bool unique = true;
    auto collect = MakeProcessor<const View::Trait>([&](const View::Trait& trait) {
        unique = found == nullptr;
        found = &trait;
        return !unique;
    });
    unit.GetTraits().ForEachNamed(name, collect);
    if (found == nullptr) {
        throw Zaph::Detail::MakeError(COMMON_PLACE("Zaph::Util::GetUniqueTraitByName"),
                                      Errors::kTraitNotFound, Common::kMsgZaphTraitNotFound,
                                      {Common::ToUtf16(name.View())});
    }
    if (!unique) {
        throw Zaph::Detail::MakeError(COMMON_PLACE("Zaph::Util::GetUniqueTraitByName"),
                                      Errors::kTraitNotUnique, Common::kMsgZaphTraitNotUnique,
                                      {Common::ToUtf16(name.View())});
    }
    return *found;
}

bool HasTrait(const View::Unit& unit, const Name& name) {
    bool found = false;
    auto any = MakeProcessor<const View::Trait>([&](const View::Trait&) {
        found = true;
        return true;
    });
    unit.GetTraits().ForEachNamed(name, any);
    return found;
}

bool HasTraitWithValue(const View::Unit& unit, const Name& name, const View::Unit& value) {
    bool found = false;
    auto equal = MakeProcessor<const View::Trait>([&](const View::Trait& trait) {
        found = ValuesEqual(trait.GetValue(), value);
        return found;
    });
    unit.GetTraits().ForEachNamed(name, equal);
    return found;
}

bool HasProperties(const View::Unit& unit) {
    const View::CompositeValue* composite = Detail::CompositeOf(unit);
    bool any = false;
    auto first = MakeProcessor<const View::Property>([&](const View::Property&) {
        any = true;
        return true;
    });
    if (composite != nullptr) {
        composite->ForEach(first);
    }
    return any;
}

bool HasProperty(const View::Unit* unit, const Name& name) {
    if (unit == nullptr) {
        return false;
    }
    auto any = MakeProcessor<const View::Property>([](const View::Property&) { return true; });
    return RequireComposite(Detail::CompositeOf(*unit), *unit).Find(name, any);
}

bool IsArray(const View::Unit& unit) {
    return Detail::ArrayOf(unit) != nullptr;
}

bool IsComposite(const View::Unit& unit) {
    return Detail::CompositeOf(unit) != nullptr;
}

bool IsSearchableArray(const View::Unit& unit) {
    return IsArray(unit) && HasTrait(unit, kSearchable);
}

void AddProperty(Construction::Unit& composite, Construction::PropertyPtr property) {
    RequireComposite(Detail::CompositeOf(composite), composite).Set(std::move(property));
}

void DeletePropertyByName(Construction::Unit& composite, const Name& name) {
    RequireComposite(Detail::CompositeOf(composite), composite).Remove(name);
}

const View::Unit* FindMapElement(const View::Unit& array, std::string_view key) {
    const View::ArrayValue* elements = Detail::ArrayOf(array);
    if (elements == nullptr) {
        throw Detail::MakeTypeMismatchError(TypeIndex::Array, GetTypeIndex(array));
    }
    const View::Unit* found = nullptr;
    auto match = MakeProcessor<const View::Unit>([&](const View::Unit& element) {
        const View::CompositeValue* pair = Detail::CompositeOf(element);
        if (pair == nullptr) {
            return false;
        }
        if (Common::ToUtf8(GetValue<String>(MapPart(*pair, kMapKey))) != key) {
            return false;
        }
        found = &MapPart(*pair, kMapValue);
        return true;
    });
    elements->ForEach(match);
    return found;
}

}  // namespace Zaph::Util
