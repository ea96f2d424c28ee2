// Short ways to build and read units in the zaph tests.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "enterprise/common/zaph/container_access.h"
#include "enterprise/common/zaph/unit_factory.h"
#include "enterprise/common/zaph/value_access.h"

namespace ZaphTest {

using Zaph::Construction::UnitPtr;

inline Zaph::Construction::InMemoryUnitFactory& Factory() {
    return Zaph::Construction::DefaultUnitFactory();
}

inline UnitPtr Nil() {
    return Factory().CreateNil();
}
inline UnitPtr DWord(uint32_t value) {
    return Factory().CreateDWord(value);
}
inline UnitPtr SDWord(int32_t value) {
    return Factory().CreateSDWord(value);
}
inline UnitPtr Double(double value) {
    return Factory().CreateDouble(value);
}
inline UnitPtr Str(std::u16string_view value) {
    return Factory().CreateString(value);
}

/// A property for Composite().
struct Prop {
    const char* name;
    UnitPtr value;
};

inline Zaph::Construction::CompositeValue& AsComposite(Zaph::Construction::Unit& unit) {
    return *Zaph::Util::Detail::CompositeOf(unit);
}

inline Zaph::Construction::ArrayValue& AsArray(Zaph::Construction::Unit& unit) {
    return *Zaph::Util::Detail::ArrayOf(unit);
}

template <class... Props>
UnitPtr Composite(Props... properties) {
    UnitPtr unit = Factory().CreateComposite();
    (AsComposite(*unit).Set(Factory().CreateProperty(properties.name, std::move(properties.value))),
     ...);
    return unit;
}

template <class... Units>
UnitPtr Array(Units... elements) {
    UnitPtr unit = Factory().CreateArray();
    (AsArray(*unit).PushBack(std::move(elements)), ...);
    return unit;
}

/// `unit` with the trait (name, value) added.
inline UnitPtr WithTrait(UnitPtr unit, const char* name, UnitPtr value) {
    unit->GetTraits().Add(Factory().CreateTrait(name, std::move(value)));
    return unit;
}

/// The names of the traits, in order.
inline std::vector<std::string> TraitNames(const Zaph::View::Unit& unit) {
    std::vector<std::string> names;
    auto collect = Zaph::MakeProcessor<const Zaph::View::Trait>([&](const Zaph::View::Trait& t) {
        names.emplace_back(t.GetName().Text());
        return false;
    });
    unit.GetTraits().ForEach(collect);
    return names;
}

/// The names of a composite's properties, in order.
inline std::vector<std::string> PropertyNames(const Zaph::View::CompositeValue& composite) {
    std::vector<std::string> names;
    auto collect =
        Zaph::MakeProcessor<const Zaph::View::Property>([&](const Zaph::View::Property& p) {
            names.emplace_back(p.GetName().Text());
            return false;
        });
    composite.ForEach(collect);
    return names;
}

/// The Common::Error that `action` throws (empty when it throws none).
template <class F>
Common::Error ErrorOf(F&& action) {
    try {
        action();
    } catch (const Common::Error& error) {
        return error;
    }
    return {};
}

/// The code of the Common::Error that `action` throws (0 when it throws none).
template <class F>
uint32_t ErrorCodeOf(F&& action) {
    return ErrorOf(std::forward<F>(action)).Code();
}

}  // namespace ZaphTest
