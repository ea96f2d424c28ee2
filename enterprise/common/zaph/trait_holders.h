// The in-memory property, trait and trait-set holders.
//
//   PropertyHolder  a name and an owned value unit (construction layer)
//   TraitHolder     a name and an owned value unit (a trait is never changed once made)
//   TraitsHolder    the traits of a unit: a pointer to a vector of owned traits, allocated on
//                   the first Add, so an untagged unit pays one null pointer
//
// Properties and traits live in the unit memory pool (unit_memory.h). Names are copied by the
// rules of Zaph::Name. Holders refuse an absent value unit with
// "ZAPH: Null units are forbidden." (kNullUnit).
//
// Trait order: by name, and among traits of one name by Util::CompareUnitsTotal of their
// values (compare.h), a total order even where the unit order of CompareUnits is not (NaN
// values, composites and trait sets that differ on both sides). Add finds a trait's place with a
// lower-bound search; a trait equivalent to one held is discarded.
//
// Thread-safety: as view.h.
#pragma once

#include <memory>
#include <typeinfo>
#include <vector>

#include "enterprise/common/zaph/construction.h"
#include "enterprise/common/zaph/unit_memory.h"

namespace Zaph {

class PropertyHolder final : public Construction::Property, public Detail::PooledObject {
  public:
    PropertyHolder(const Name& name, Construction::UnitPtr value);
    ~PropertyHolder() override;

    const Name& GetName() const override { return name_; }
    const View::Unit& GetValue() const override { return *value_; }
    Construction::Unit& GetValue() override { return *value_; }

  private:
    Name name_;
    Construction::UnitPtr value_;
};

class TraitHolder final : public View::Trait, public Detail::PooledObject {
  public:
    TraitHolder(const Name& name, View::UnitPtr value);
    ~TraitHolder() override;

    const Name& GetName() const override { return name_; }
    const View::Unit& GetValue() const override { return *value_; }

  private:
    Name name_;
    View::UnitPtr value_;
};

class TraitsHolder final : public Construction::Traits {
  public:
    TraitsHolder() = default;

    /// True when `traits` is known to hold no trait without enumerating it: a holder that never
    /// had one or lost them all.
    static bool KnownEmpty(const View::Traits& traits) {
        return typeid(traits) == typeid(TraitsHolder) &&
               static_cast<const TraitsHolder&>(traits).IsEmpty();
    }
    bool IsEmpty() const { return storage_ == nullptr || storage_->empty(); }

    void ForEachNamed(const Name& name, ItemProcessor<const View::Trait>& processor) const override;
    void ForEach(ItemProcessor<const View::Trait>& processor) const override;
    void Add(View::TraitPtr trait) override;
    uint32_t Remove(const Name& name) override;

  private:
    using TraitVector = std::vector<View::TraitPtr>;
    // The vector itself in the pool too: nearly every unit that has traits has a few.
    struct PooledTraitVector : TraitVector, Detail::PooledObject {};

    // The first trait not ordering before the traits called `name`.
    TraitVector::const_iterator LowerBound(const Name& name) const;

    std::unique_ptr<PooledTraitVector> storage_;
};

}  // namespace Zaph
