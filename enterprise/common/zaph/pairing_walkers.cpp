#include "enterprise/common/zaph/pairing_walkers.h"

#include <algorithm>
#include <utility>
#include <vector>

#include "enterprise/common/zaph/compare.h"
#include "enterprise/common/zaph/holders.h"
#include "enterprise/common/zaph/trait_holders.h"

namespace Zaph::Util {
namespace {

// What the left pass of WalkTraits learnt, so that the right pass does not compare the same
// values again: the right traits that became partners, and the pairs found unequal. Without
// it, equality of units nested through trait values would double its work at every level.
class TraitPairing {
  public:
    // The first trait of `right` called like `trait` whose value is unit-equal to its value.
    const View::Trait* FindPartner(const View::Traits& right, const View::Trait& trait) {
        const View::Trait* found = nullptr;
        auto finder = MakeProcessor<const View::Trait>([&](const View::Trait& candidate) {
            if (UnitsEqual(candidate.GetValue(), trait.GetValue())) {
                found = &candidate;
                partners_.push_back(found);
            } else {
                unequal_.emplace_back(&trait, &candidate);
            }
            return found != nullptr;
        });
        right.ForEachNamed(trait.GetName(), finder);
        return found;
    }

    // Prepares the lookups of HasPartner once the left pass is over.
    void EndLeftPass() {
        std::sort(partners_.begin(), partners_.end());
        std::sort(unequal_.begin(), unequal_.end());
    }

    // True when some trait of `left` called like the right trait `trait` has a unit-equal value.
    bool HasPartner(const View::Traits& left, const View::Trait& trait) const {
        if (std::binary_search(partners_.begin(), partners_.end(), &trait)) {
            return true;
        }
        bool found = false;
        auto finder = MakeProcessor<const View::Trait>([&](const View::Trait& candidate) {
            found = !std::binary_search(unequal_.begin(), unequal_.end(),
                                        std::make_pair(&candidate, &trait)) &&
                    UnitsEqual(candidate.GetValue(), trait.GetValue());
            return found;
        });
        left.ForEachNamed(trait.GetName(), finder);
        return found;
    }

  private:
    std::vector<const View::Trait*> partners_;
    // (left trait, right trait)
    std::vector<std::pair<const View::Trait*, const View::Trait*>> unequal_;
};

}  // namespace

void WalkTraits(const View::Unit& left, const View::Unit& right, UnitTraitsWalker& walker) {
    const View::Traits& leftTraits = left.GetTraits();
    const View::Traits& rightTraits = right.GetTraits();
    if (TraitsHolder::KnownEmpty(leftTraits) && TraitsHolder::KnownEmpty(rightTraits)) {
        return;
    }
    TraitPairing pairing;
    bool stopped = false;
    auto leftPass = MakeProcessor<const View::Trait>([&](const View::Trait& trait) {
        const View::Trait* partner = pairing.FindPartner(rightTraits, trait);
        stopped = partner != nullptr ? walker.OnPair(trait, *partner) : walker.OnLeftOnly(trait);
        return stopped;
    });
    leftTraits.ForEach(leftPass);
    if (stopped) {
        return;
    }
    pairing.EndLeftPass();
    auto rightPass = MakeProcessor<const View::Trait>([&](const View::Trait& trait) {
        return !pairing.HasPartner(leftTraits, trait) && walker.OnRightOnly(trait);
    });
    rightTraits.ForEach(rightPass);
}

namespace {

// WalkArrayElements over two holders.
void WalkElementVectors(const std::vector<Construction::UnitPtr>& left,
                        const std::vector<Construction::UnitPtr>& right,
                        ArrayElementsWalker& walker) {
    const size_t common = std::min(left.size(), right.size());
    for (size_t index = 0; index < common; ++index) {
        if (walker.OnPair(*left[index], *right[index])) {
            return;
        }
    }
    for (size_t index = common; index < left.size(); ++index) {
        if (walker.OnLeftOnly(*left[index])) {
            return;
        }
    }
    for (size_t index = common; index < right.size(); ++index) {
        if (walker.OnRightOnly(*right[index])) {
            return;
        }
    }
}

// WalkCompositeProperties over two holders: both vectors are in name order.
void WalkPropertyVectors(const std::vector<Construction::PropertyPtr>& left,
                         const std::vector<Construction::PropertyPtr>& right,
                         CompositePropertyWalker& walker) {
    size_t other = 0;
    for (const Construction::PropertyPtr& property : left) {
        while (other < right.size() && right[other]->GetName().Compare(property->GetName()) < 0) {
            ++other;
        }
        const bool stopped = other < right.size() && right[other]->GetName() == property->GetName()
                                 ? walker.OnPair(*property, *right[other])
                                 : walker.OnLeftOnly(*property);
        if (stopped) {
            return;
        }
    }
    other = 0;
    for (const Construction::PropertyPtr& property : right) {
        while (other < left.size() && left[other]->GetName().Compare(property->GetName()) < 0) {
            ++other;
        }
        const bool paired = other < left.size() && left[other]->GetName() == property->GetName();
        if (!paired && walker.OnRightOnly(*property)) {
            return;
        }
    }
}

}  // namespace

void WalkArrayElements(const View::ArrayValue& left, const View::ArrayValue& right,
                       ArrayElementsWalker& walker) {
    const ArrayValueHolder* leftHolder = ArrayValueHolder::From(left);
    const ArrayValueHolder* rightHolder = ArrayValueHolder::From(right);
    if (leftHolder != nullptr && rightHolder != nullptr) {
        WalkElementVectors(leftHolder->Elements(), rightHolder->Elements(), walker);
        return;
    }
    const size_t leftSize = left.GetSize();
    const size_t rightSize = right.GetSize();
    size_t index = 0;
    bool stopped = false;
    const View::Unit* leftElement = nullptr;
    auto pairWithRight = MakeProcessor<const View::Unit>(
        [&](const View::Unit& rightElement) { return walker.OnPair(*leftElement, rightElement); });
    auto leftPass = MakeProcessor<const View::Unit>([&](const View::Unit& element) {
        if (index < rightSize) {
            leftElement = &element;
            stopped = right.ProcessAt(index, pairWithRight);
        } else {
            stopped = walker.OnLeftOnly(element);
        }
        ++index;
        return stopped;
    });
    left.ForEach(leftPass);
    if (stopped) {
        return;
    }
    auto rightOnly = MakeProcessor<const View::Unit>(
        [&](const View::Unit& element) { return walker.OnRightOnly(element); });
    for (index = leftSize; index < rightSize; ++index) {
        if (right.ProcessAt(index, rightOnly)) {
            return;
        }
    }
}

void WalkCompositeProperties(const View::CompositeValue& left, const View::CompositeValue& right,
                             CompositePropertyWalker& walker) {
    const CompositeValueHolder* leftHolder = CompositeValueHolder::From(left);
    const CompositeValueHolder* rightHolder = CompositeValueHolder::From(right);
    if (leftHolder != nullptr && rightHolder != nullptr) {
        WalkPropertyVectors(leftHolder->Properties(), rightHolder->Properties(), walker);
        return;
    }
    // Both sides are in name order: each pass merges one side against an iterator over the
    // other instead of looking every name up.
    bool stopped = false;
    CompositeIterator<const View::Property> others = right.GetIterator();
    auto leftPass = MakeProcessor<const View::Property>([&](const View::Property& property) {
        while (others.IsValid() && others.Current().GetName().Compare(property.GetName()) < 0) {
            others.Next();
        }
        if (others.IsValid() && others.Current().GetName() == property.GetName()) {
            stopped = walker.OnPair(property, others.Current());
        } else {
            stopped = walker.OnLeftOnly(property);
        }
        return stopped;
    });
    left.ForEach(leftPass);
    if (stopped) {
        return;
    }
    others = left.GetIterator();
    auto rightPass = MakeProcessor<const View::Property>([&](const View::Property& property) {
        while (others.IsValid() && others.Current().GetName().Compare(property.GetName()) < 0) {
            others.Next();
        }
        const bool paired = others.IsValid() && others.Current().GetName() == property.GetName();
        return !paired && walker.OnRightOnly(property);
    });
    right.ForEach(rightPass);
}

}  // namespace Zaph::Util
