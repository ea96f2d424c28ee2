// Short ways to build and read units in the zaph tests.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "core/common/text.h"
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

/// The units in a vector, in order.
template <class... Units>
std::vector<UnitPtr> UnitList(Units... units) {
    std::vector<UnitPtr> list;
    (list.push_back(std::move(units)), ...);
    return list;
}

/// `unit` with the trait (name, value) added.
inline UnitPtr WithTrait(UnitPtr unit, const char* name, UnitPtr value) {
    unit->GetTraits().Add(Factory().CreateTrait(name, std::move(value)));
    return unit;
}

/// `innermost` wrapped `levels - 1` times by `wrap`: a unit `levels` deep.
template <class Wrap>
UnitPtr Nested(size_t levels, Wrap wrap, UnitPtr innermost = Nil()) {
    for (size_t level = 1; level < levels; ++level) {
        innermost = wrap(std::move(innermost));
    }
    return innermost;
}

/// Wrappers for Nested: the only element of an array, the property "p", the value of trait "T".
inline const auto InArray = [](UnitPtr unit) { return Array(std::move(unit)); };
inline const auto InComposite = [](UnitPtr unit) { return Composite(Prop{"p", std::move(unit)}); };
inline const auto InTrait = [](UnitPtr unit) { return WithTrait(Nil(), "T", std::move(unit)); };

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

/// The message of `error` in UTF-8.
inline std::string MessageOf(const Common::Error& error) {
    return Common::ToUtf8(error.Message());
}

/// The code of the Common::Error that `action` throws (0 when it throws none).
template <class F>
uint32_t ErrorCodeOf(F&& action) {
    return ErrorOf(std::forward<F>(action)).Code();
}

}  // namespace ZaphTest
