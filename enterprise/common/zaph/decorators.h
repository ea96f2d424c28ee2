// Read-only decorators: another view of a unit without copying it. The decorated unit must
// outlive the decorator and keep its kind while decorated.
//
//   DelegatingUnit                 forwards Accept and GetTraits to the decorated unit
//   SieveTraits                    a trait set showing only the traits called `name`, or in
//                                  exclude mode only the others
//   SieveTraitsUnit                a delegating unit whose traits go through a SieveTraits
//   ExcludeTraitUnit               the unit without its traits called `name`
//   PropertyRemovingUnitDecorator  a composite unit without its property called `name`
//                                  (ForEach, Find and GetIterator skip it); any other kind is
//                                  shown unchanged; traits are the decorated unit's
//
// Thread-safety: as the decorated unit.
#pragma once

#include <optional>

#include "enterprise/common/zaph/view.h"

namespace Zaph::View {

class DelegatingUnit : public Unit {
  public:
    explicit DelegatingUnit(const Unit& unit) : unit_(unit) {}
    void Accept(UnitReader& reader) const override { unit_.Accept(reader); }
    const Traits& GetTraits() const override { return unit_.GetTraits(); }

  protected:
    const Unit& Decorated() const { return unit_; }

  private:
    const Unit& unit_;
};

class SieveTraits : public Traits {
  public:
    /// Shows the traits of `traits` called `name`, or with `exclude` the traits not so called.
    SieveTraits(const Traits& traits, const Name& name, bool exclude)
        : traits_(traits), name_(name), exclude_(exclude) {}
    void ForEachNamed(const Name& name, ItemProcessor<const Trait>& processor) const override;
    void ForEach(ItemProcessor<const Trait>& processor) const override;

  private:
    const Traits& traits_;
    Name name_;
    bool exclude_;
};

class SieveTraitsUnit : public DelegatingUnit {
  public:
    SieveTraitsUnit(const Unit& unit, const Name& name, bool exclude)
        : DelegatingUnit(unit), sieve_(unit.GetTraits(), name, exclude) {}
    const Traits& GetTraits() const override { return sieve_; }

  private:
    SieveTraits sieve_;
};

class ExcludeTraitUnit : public SieveTraitsUnit {
  public:
    ExcludeTraitUnit(const Unit& unit, const Name& name) : SieveTraitsUnit(unit, name, true) {}
};

/// Passes every property to `processor` except the one called `name`.
class SkippingProcessor final : public ItemProcessor<const Property> {
  public:
    SkippingProcessor(ItemProcessor<const Property>& processor, const Name& name)
        : processor_(processor), name_(name) {}
    bool Process(const Property& property) override {
        return property.GetName() != name_ && processor_.Process(property);
    }

  private:
    ItemProcessor<const Property>& processor_;
    const Name& name_;
};

class PropertyRemovingUnitDecorator : public Unit {
  public:
    /// The composite shown to readers, without the removed property.
    class Value final : public CompositeValue {
      public:
        Value(const CompositeValue& composite, const Name& name)
            : composite_(composite), name_(name) {}
        void ForEach(ItemProcessor<const Property>& processor) const override;
        bool Find(const Name& name, ItemProcessor<const Property>& processor) const override;
        CompositeIterator<const Property> GetIterator() const override;

      private:
        const CompositeValue& composite_;
        const Name& name_;
    };

    PropertyRemovingUnitDecorator(const Unit& unit, const Name& name);
    void Accept(UnitReader& reader) const override;
    const Traits& GetTraits() const override { return unit_.GetTraits(); }

  private:
    const Unit& unit_;
    Name name_;
    // Lives as long as the decorator, as any unit's value does: readers may keep a pointer to the
    // composite they are shown (container look-ups do). Empty when the unit holds another kind.
    std::optional<Value> shown_;
};

}  // namespace Zaph::View
