// The construction layer of the unit model (Zaph::Construction): changeable units plus adding
// and removing traits, setting and removing properties and inserting owned units into arrays.
// See view.h for the model. The in-memory holders (holders.h) implement this layer and so all
// three; units are made by a unit factory (unit_factory.h).
//
// The construction-layer array operations take ownership of the given unit without copying it.
// A failed operation leaves the container unchanged and destroys the argument it was given.
//
// Thread-safety: as modification.h.
#pragma once

#include <memory>

#include "enterprise/common/zaph/modification.h"

namespace Zaph::Construction {

class Unit;
class Traits;
class Property;
class NilValue;
class ArrayValue;
class CompositeValue;
template <class T>
class ScalarValue;
template <class T>
class ComplexValue;

/// An owned unit under construction.
using UnitPtr = std::unique_ptr<Unit>;
/// An owned property.
using PropertyPtr = std::unique_ptr<Property>;

/// The value interfaces the construction visitor passes.
struct Layer {
    using CompositeValue = Construction::CompositeValue;
    using ArrayValue = Construction::ArrayValue;
    using NilValue = Construction::NilValue;
    template <class T>
    using ScalarValue = Construction::ScalarValue<T>;
    template <class T>
    using ComplexValue = Construction::ComplexValue<T>;
};

/// The visitor of units under construction.
class UnitBuilder : public Generic::UnitVisitor<Layer> {};

/// A unit under construction.
class Unit : public Modification::Unit {
  public:
    using Modification::Unit::Accept;
    using Modification::Unit::GetTraits;
    /// Calls the builder's Visit overload for this unit's value kind.
    virtual void Accept(UnitBuilder& builder) = 0;
    virtual Traits& GetTraits() = 0;
};

/// A trait set that can be changed.
class Traits : public Modification::Traits {
  public:
    /// Adds `trait` at its place. A trait equal to one already held (same name, equal value and
    /// traits) is destroyed and the set stays unchanged. A null trait raises "ZAPH: Null units
    /// are forbidden.".
    virtual void Add(View::TraitPtr trait) = 0;
    /// Destroys every trait called `name`; returns how many there were.
    virtual uint32_t Remove(const Name& name) = 0;
};

/// A property whose value is a unit under construction.
class Property : public Modification::Property {
  public:
    using Modification::Property::GetValue;
    Unit& GetValue() override = 0;
};

template <class T>
class ScalarValue : public Modification::ScalarValue<T> {};

template <class T>
class ComplexValue : public Modification::ComplexValue<T> {};

class NilValue : public Modification::NilValue {};

class ArrayValue : public Modification::ArrayValue {
  public:
    using Modification::ArrayValue::ForEach;
    using Modification::ArrayValue::Insert;
    using Modification::ArrayValue::ProcessAt;
    using Modification::ArrayValue::ProcessBack;
    using Modification::ArrayValue::ProcessFront;
    using Modification::ArrayValue::PushBack;
    using Modification::ArrayValue::PushFront;

    virtual bool ProcessBack(ItemProcessor<Unit>& processor) = 0;
    virtual bool ProcessFront(ItemProcessor<Unit>& processor) = 0;
    virtual bool ProcessAt(size_t index, ItemProcessor<Unit>& processor) = 0;
    virtual void ForEach(ItemProcessor<Unit>& processor) = 0;
    /// Takes `unit` in at `index` (index == size appends); "ZAPH: Out of range." past the size.
    virtual void Insert(size_t index, UnitPtr unit) = 0;
    virtual void PushBack(UnitPtr unit) = 0;
    virtual void PushFront(UnitPtr unit) = 0;
};

class CompositeValue : public Modification::CompositeValue {
  public:
    using Modification::CompositeValue::Find;
    using Modification::CompositeValue::ForEach;
    using Modification::CompositeValue::GetIterator;

    virtual void ForEach(ItemProcessor<Property>& processor) = 0;
    virtual bool Find(const Name& name, ItemProcessor<Property>& processor) = 0;
    virtual CompositeIterator<Property> GetIterator() = 0;
    /// Sets `property`, replacing (and destroying) a property of the same name. A null property
    /// raises "ZAPH: Null units are forbidden.".
    virtual void Set(PropertyPtr property) = 0;
    /// Destroys the property called `name`, if there is one.
    virtual void Remove(const Name& name) = 0;
};

namespace Detail {
/// A builder that forwards every visit to `handler(value)`.
template <class H>
using UnitVisitorAdaptor = Generic::VisitorAdaptor<UnitBuilder, Layer, H>;
}  // namespace Detail

}  // namespace Zaph::Construction
