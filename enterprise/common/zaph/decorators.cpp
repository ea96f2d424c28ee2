#include "enterprise/common/zaph/decorators.h"

#include <memory>

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

class PropertyRemovingUnitDecorator::Value final : public CompositeValue {
  public:
    Value(const CompositeValue& composite, const Name& name) : composite_(composite), name_(name) {}

    void ForEach(ItemProcessor<const Property>& processor) const override {
        SkippingProcessor skipping(processor, name_);
        composite_.ForEach(skipping);
    }
    bool Find(const Name& name, ItemProcessor<const Property>& processor) const override {
        return name != name_ && composite_.Find(name, processor);
    }
    CompositeIterator<const Property> GetIterator() const override {
        return CompositeIterator<const Property>(
            std::make_shared<SkippingIteratorState>(composite_.GetIterator(), name_));
    }

  private:
    const CompositeValue& composite_;
    const Name& name_;
};

namespace {

// Hands every value to the caller's reader unchanged, except that a composite is shown
// through PropertyRemovingUnitDecorator::Value.
class PassThrough {
  public:
    PassThrough(UnitReader& reader, const Name& name) : reader_(reader), name_(name) {}
    template <class V>
    void operator()(const V& value) {
        reader_.Visit(value);
    }
    void operator()(const CompositeValue& composite) {
        const PropertyRemovingUnitDecorator::Value value(composite, name_);
        reader_.Visit(value);
    }

  private:
    UnitReader& reader_;
    const Name& name_;
};

}  // namespace

class PropertyRemovingUnitDecorator::Reader final : private Generic::HandlerStorage<PassThrough>,
                                                    public Detail::UnitVisitorAdaptor<PassThrough> {
  public:
    Reader(UnitReader& reader, const Name& name)
        : HandlerStorage(PassThrough(reader, name)), VisitorAdaptor(handler) {}
};

void PropertyRemovingUnitDecorator::Accept(UnitReader& reader) const {
    Reader inner(reader, name_);
    unit_.Accept(inner);
}

}  // namespace Zaph::View
