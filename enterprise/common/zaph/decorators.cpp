#include "enterprise/common/zaph/decorators.h"

#include <memory>

#include "enterprise/common/zaph/container_access.h"

namespace Zaph::View {
namespace {

// Passes the traits whose name matches the sieve to the caller's processor.
class SieveProcessor final : public ItemProcessor<const Trait> {
  public:
    SieveProcessor(ItemProcessor<const Trait>& processor, const Name& name, bool exclude)
        : processor_(processor), name_(name), exclude_(exclude) {}
    bool Process(const Trait& trait) override {
        return ((trait.GetName() == name_) != exclude_) && processor_.Process(trait);
    }

  private:
    ItemProcessor<const Trait>& processor_;
    const Name& name_;
    bool exclude_;
};

class SkippingIteratorState final : public CompositeIterator<const Property>::State {
  public:
    SkippingIteratorState(CompositeIterator<const Property> inner, const Name& name)
        : inner_(std::move(inner)), name_(name) {
        SkipRemoved();
    }
    const Property& Current() const override { return inner_.Current(); }
    void Next() override {
        inner_.Next();
        SkipRemoved();
    }
    bool IsValid() const override { return inner_.IsValid(); }

  private:
    void SkipRemoved() {
        while (inner_.IsValid() && inner_.Current().GetName() == name_) {
            inner_.Next();
        }
    }

    CompositeIterator<const Property> inner_;
    Name name_;
};

}  // namespace

void SieveTraits::ForEachNamed(const Name& name, ItemProcessor<const Trait>& processor) const {
    SieveProcessor sieve(processor, name_, exclude_);
    traits_.ForEachNamed(name, sieve);
}

void SieveTraits::ForEach(ItemProcessor<const Trait>& processor) const {
    SieveProcessor sieve(processor, name_, exclude_);
    traits_.ForEach(sieve);
}

void PropertyRemovingUnitDecorator::Value::ForEach(ItemProcessor<const Property>& processor) const {
    SkippingProcessor skipping(processor, name_);
    composite_.ForEach(skipping);
}

bool PropertyRemovingUnitDecorator::Value::Find(const Name& name,
                                                ItemProcessor<const Property>& processor) const {
    return name != name_ && composite_.Find(name, processor);
}

CompositeIterator<const Property> PropertyRemovingUnitDecorator::Value::GetIterator() const {
    return CompositeIterator<const Property>(
        std::make_shared<SkippingIteratorState>(composite_.GetIterator(), name_));
}

PropertyRemovingUnitDecorator::PropertyRemovingUnitDecorator(const Unit& unit, const Name& name)
    : unit_(unit), name_(name) {
    if (const CompositeValue* composite = Util::Detail::CompositeOf(unit)) {
        shown_.emplace(*composite, name_);
    }
}

void PropertyRemovingUnitDecorator::Accept(UnitReader& reader) const {
    if (shown_) {
        reader.Visit(*shown_);
    } else {
        unit_.Accept(reader);
    }
}

}  // namespace Zaph::View
