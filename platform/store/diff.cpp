#include "platform/store/diff.h"

#include "enterprise/common/zaph/compare.h"
#include "enterprise/common/zaph/copy_unit.h"
#include "enterprise/common/zaph/unit_utilities.h"

namespace KivoStore {
namespace {

// Keeps the composite value it visits.
struct CompositeGetter {
    const Zaph::View::CompositeValue* value = nullptr;
    void operator()(const Zaph::View::CompositeValue& composite) { value = &composite; }
    template <class V>
    void operator()(const V&) {}
};

// The composite value of a unit, or null for any other kind.
const Zaph::View::CompositeValue* CompositeOf(const Zaph::View::Unit& unit) {
    CompositeGetter getter;
    Zaph::View::Detail::UnitVisitorAdaptor<CompositeGetter> reader(getter);
    unit.Accept(reader);
    return getter.value;
}

// The value of the property `name`, or null.
const Zaph::View::Unit* FindProperty(const Zaph::View::CompositeValue& composite,
                                     const Zaph::Name& name) {
    struct Finder final : Zaph::ItemProcessor<const Zaph::View::Property> {
        const Zaph::View::Unit* value = nullptr;
        bool Process(const Zaph::View::Property& property) override {
            value = &property.GetValue();
            return true;
        }
    } finder;
    composite.Find(name, finder);
    return finder.value;
}

// Hands each property to a function.
template <class F>
void ForEachProperty(const Zaph::View::CompositeValue& composite, F&& function) {
    struct Visitor final : Zaph::ItemProcessor<const Zaph::View::Property> {
        explicit Visitor(F& f) : f(f) {}
        bool Process(const Zaph::View::Property& property) override {
            f(property);
            return false;
        }
        F& f;
    } visitor(function);
    composite.ForEach(visitor);
}

}  // namespace

Zaph::Construction::UnitPtr ComputeDiff(const Zaph::View::Unit& before,
                                        const Zaph::View::Unit& after,
                                        Zaph::Construction::UnitFactory& factory) {
    if (Zaph::Util::UnitsEqual(before, after))
        return nullptr;
    const Zaph::View::CompositeValue* oldProperties = CompositeOf(before);
    const Zaph::View::CompositeValue* newProperties = CompositeOf(after);
    if (oldProperties == nullptr || newProperties == nullptr)
        return Zaph::Util::CopyUnit(after, factory);

    Zaph::Construction::UnitPtr diff = factory.CreateComposite();
    ForEachProperty(*newProperties, [&](const Zaph::View::Property& property) {
        const Zaph::View::Unit* old = FindProperty(*oldProperties, property.GetName());
        if (old != nullptr && Zaph::Util::UnitsEqual(*old, property.GetValue()))
            return;
        Zaph::Util::AddProperty(
            *diff, factory.CreateProperty(property.GetName(),
                                          Zaph::Util::CopyUnit(property.GetValue(), factory)));
    });
    ForEachProperty(*oldProperties, [&](const Zaph::View::Property& property) {
        if (FindProperty(*newProperties, property.GetName()) != nullptr)
            return;
        Zaph::Construction::UnitPtr removed = factory.CreateNil();
        removed->GetTraits().Add(
            factory.CreateTrait(Zaph::Name::Literal(kRemovedTrait), factory.CreateNil()));
        Zaph::Util::AddProperty(*diff,
                                factory.CreateProperty(property.GetName(), std::move(removed)));
    });
    if (!Zaph::Util::TraitsEqual(before, after)) {
        struct TraitCopier final : Zaph::ItemProcessor<const Zaph::View::Trait> {
            TraitCopier(Zaph::Construction::Unit& target, Zaph::Construction::UnitFactory& factory)
                : target(target), factory(factory) {}
            bool Process(const Zaph::View::Trait& trait) override {
                target.GetTraits().Add(factory.CreateTrait(
                    trait.GetName(), Zaph::Util::CopyUnit(trait.GetValue(), factory)));
                return false;
            }
            Zaph::Construction::Unit& target;
            Zaph::Construction::UnitFactory& factory;
        } copier(*diff, factory);
        after.GetTraits().ForEach(copier);
    }
    return diff;
}

}  // namespace KivoStore
