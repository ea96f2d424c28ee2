#include "enterprise/common/zaph/unit_walker.h"

#include "enterprise/common/zaph/nesting_guard.h"

namespace Zaph::Util {
namespace {

// Reports one value to the walker, and the members of a container when asked to.
class ValueReporter {
  public:
    ValueReporter(TraitValueGuide& guide, UnitWalker& walker, bool descend)
        : guide_(guide), walker_(walker), descend_(descend) {}

    void operator()(const View::CompositeValue& value) {
        walker_.OnComposite();
        if (!descend_) {
            return;
        }
        auto walk = MakeProcessor<const View::Property>([this](const View::Property& property) {
            walker_.OnProperty(property.GetName());
            WalkUnit(property.GetValue(), guide_, walker_);
            return false;
        });
        value.ForEach(walk);
    }
    void operator()(const View::ArrayValue& value) {
        walker_.OnArray();
        if (!descend_) {
            return;
        }
        auto walk = MakeProcessor<const View::Unit>([this](const View::Unit& element) {
            WalkUnit(element, guide_, walker_);
            return false;
        });
        value.ForEach(walk);
    }
    void operator()(const View::NilValue&) { walker_.OnNil(); }
    template <class T>
    void operator()(const View::ScalarValue<T>& value) {
        walker_.OnValue(value.GetValue());
    }
    template <class T>
    void operator()(const View::ComplexValue<T>& value) {
        walker_.OnValue(value.GetValue());
    }

  private:
    TraitValueGuide& guide_;
    UnitWalker& walker_;
    bool descend_;
};

class Crossroad final : public TraitValueCrossroad {
  public:
    Crossroad(const View::Unit& unit, TraitValueGuide& guide, UnitWalker& walker)
        : unit_(unit), guide_(guide), walker_(walker) {}

    void WalkValue(bool descend) override {
        ValueReporter reporter(guide_, walker_, descend);
        View::Detail::UnitVisitorAdaptor<ValueReporter> reader(reporter);
        unit_.Accept(reader);
    }
    void WalkTraits() override {
        auto walk = MakeProcessor<const View::Trait>([this](const View::Trait& trait) {
            walker_.OnTrait(trait.GetName());
            WalkUnit(trait.GetValue(), guide_, walker_);
            return false;
        });
        unit_.GetTraits().ForEach(walk);
    }

  private:
    const View::Unit& unit_;
    TraitValueGuide& guide_;
    UnitWalker& walker_;
};

}  // namespace

void WalkValueFirstGuide::Guide(const View::Unit&, TraitValueCrossroad& crossroad) {
    crossroad.WalkValue(true);
    crossroad.WalkTraits();
}

void WalkUnit(const View::Unit& unit, TraitValueGuide& guide, UnitWalker& walker) {
    Zaph::Detail::NestingGuard guard(COMMON_PLACE("Zaph::Util::WalkUnit"));
    walker.OnUnitBegin(&unit);
    Crossroad crossroad(unit, guide, walker);
    guide.Guide(unit, crossroad);
    walker.OnUnitEnd(&unit);
}

}  // namespace Zaph::Util
