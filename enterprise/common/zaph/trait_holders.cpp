#include "enterprise/common/zaph/trait_holders.h"

#include <algorithm>
#include <utility>

#include "enterprise/common/zaph/compare.h"
#include "enterprise/common/zaph/errors.h"
#include "enterprise/common/zaph/unit_disposal.h"

namespace Zaph {
namespace {

// The order of traits in a trait set: by name, then by the total unit order of the values.
int CompareTraitEntries(const View::Trait& a, const View::Trait& b) {
    const int byName = a.GetName().Compare(b.GetName());
    return byName != 0 ? byName : Util::CompareUnitsTotal(a.GetValue(), b.GetValue());
}

}  // namespace

PropertyHolder::PropertyHolder(const Name& name, Construction::UnitPtr value)
    : name_(name), value_(std::move(value)) {
    if (value_ == nullptr) {
        Detail::ThrowNullUnit(COMMON_PLACE("Zaph::PropertyHolder::PropertyHolder"));
    }
}

PropertyHolder::~PropertyHolder() {
    Detail::DisposeUnit(std::move(value_));
}

TraitHolder::TraitHolder(const Name& name, View::UnitPtr value)
    : name_(name), value_(std::move(value)) {
    if (value_ == nullptr) {
        Detail::ThrowNullUnit(COMMON_PLACE("Zaph::TraitHolder::TraitHolder"));
    }
}

TraitHolder::~TraitHolder() {
    Detail::DisposeUnit(std::move(value_));
}

TraitsHolder::TraitVector::const_iterator TraitsHolder::LowerBound(const Name& name) const {
    return std::lower_bound(storage_->begin(), storage_->end(), name,
                            [](const View::TraitPtr& trait, const Name& key) {
                                return trait->GetName().Compare(key) < 0;
                            });
}

void TraitsHolder::ForEachNamed(const Name& name,
                                ItemProcessor<const View::Trait>& processor) const {
    if (storage_ == nullptr) {
        return;
    }
    for (auto it = LowerBound(name); it != storage_->end() && (*it)->GetName() == name; ++it) {
        if (processor.Process(**it)) {
            return;
        }
    }
}

void TraitsHolder::ForEach(ItemProcessor<const View::Trait>& processor) const {
    if (storage_ == nullptr) {
        return;
    }
    for (const View::TraitPtr& trait : *storage_) {
        if (processor.Process(*trait)) {
            return;
        }
    }
}

void TraitsHolder::Add(View::TraitPtr trait) {
    if (trait == nullptr) {
        Detail::ThrowNullUnit(COMMON_PLACE("Zaph::TraitsHolder::Add"));
    }
    if (storage_ == nullptr) {
        storage_ = std::make_unique<PooledTraitVector>();
        // Room for the usual few at once, rather than growing one by one.
        storage_->reserve(2);
    }
    TraitVector& traits = *storage_;
    // Copies add their traits in order: appending needs no search.
    const int toLast = traits.empty() ? 1 : CompareTraitEntries(*trait, *traits.back());
    if (toLast > 0) {
        traits.push_back(std::move(trait));
        return;
    }
    const auto position = std::lower_bound(traits.begin(), traits.end(), trait,
                                           [](const View::TraitPtr& a, const View::TraitPtr& b) {
                                               return CompareTraitEntries(*a, *b) < 0;
                                           });
    if (CompareTraitEntries(**position, *trait) == 0) {
        return;  // an equal trait is held; `trait` is destroyed
    }
    traits.insert(position, std::move(trait));
}

uint32_t TraitsHolder::Remove(const Name& name) {
    if (storage_ == nullptr) {
        return 0;
    }
    const auto first = LowerBound(name);
    auto last = first;
    while (last != storage_->end() && (*last)->GetName() == name) {
        ++last;
    }
    const auto removed = static_cast<uint32_t>(last - first);
    storage_->erase(first, last);
    return removed;
}

}  // namespace Zaph
