// The modification layer of the unit model (Zaph::Modification): read-only units plus in-place
// change of scalar and complex values, array editing and property enumeration with changeable
// values. See view.h for the model.
//
// The array operations that take an owned read-only unit (Insert, PushBack, PushFront) store a
// deep copy of it, made with a fresh in-memory unit factory, and destroy the argument.
//
// Thread-safety: as view.h; a unit is changed by one thread at a time, and nobody reads it then.
#pragma once

#include "enterprise/common/zaph/view.h"

namespace Zaph::Modification {

class Unit;
class Property;
class NilValue;
class ArrayValue;
class CompositeValue;
template <class T>
class ScalarValue;
template <class T>
class ComplexValue;

/// The value interfaces the modification visitor passes.
struct Layer {
    using CompositeValue = Modification::CompositeValue;
    using ArrayValue = Modification::ArrayValue;
    using NilValue = Modification::NilValue;
    template <class T>
    using ScalarValue = Modification::ScalarValue<T>;
    template <class T>
    using ComplexValue = Modification::ComplexValue<T>;
};

/// The visitor of changeable units.
class UnitWriter : public Generic::UnitVisitor<Layer> {};

/// A unit whose values can be changed in place.
class Unit : public View::Unit {
  public:
    using View::Unit::Accept;
    /// Calls the writer's Visit overload for this unit's value kind.
    virtual void Accept(UnitWriter& writer) = 0;
};

/// Traits add nothing in this layer.
class Traits : public View::Traits {};

/// A property whose value can be changed.
class Property : public View::Property {
  public:
    using View::Property::GetValue;
    virtual Unit& GetValue() = 0;
};

template <class T>
class ScalarValue : public View::ScalarValue<T> {
  public:
    virtual void SetValue(T value) = 0;
};

template <class T>
class ComplexValue : public View::ComplexValue<T> {
  public:
    /// Copies a string, blob or GUID; an error is shared by taking a reference.
    virtual void SetValue(const T& value) = 0;
};

class NilValue : public View::NilValue {};

class ArrayValue : public View::ArrayValue {
  public:
    using View::ArrayValue::ForEach;
    using View::ArrayValue::ProcessAt;
    using View::ArrayValue::ProcessBack;
    using View::ArrayValue::ProcessFront;

    virtual bool ProcessBack(ItemProcessor<Unit>& processor) = 0;
    virtual bool ProcessFront(ItemProcessor<Unit>& processor) = 0;
    virtual bool ProcessAt(size_t index, ItemProcessor<Unit>& processor) = 0;
    virtual void ForEach(ItemProcessor<Unit>& processor) = 0;
    /// Destroys every element.
    virtual void Clear() = 0;
    /// Stores a copy of `unit` at `index` (index == size appends); "ZAPH: Out of range." past
    /// the size.
    virtual void Insert(size_t index, View::UnitPtr unit) = 0;
    /// Destroys element `index` and moves the later ones down; "ZAPH: Out of range." unless
    /// index < size.
    virtual void RemoveAt(size_t index) = 0;
    virtual void PushBack(View::UnitPtr unit) = 0;
    virtual void PushFront(View::UnitPtr unit) = 0;
    /// Destroys the last element; nothing on an empty array.
    virtual void PopBack() = 0;
    /// Destroys the first element; nothing on an empty array.
    virtual void PopFront() = 0;
};

class CompositeValue : public View::CompositeValue {
  public:
    using View::CompositeValue::Find;
    using View::CompositeValue::ForEach;

    virtual void ForEach(ItemProcessor<Property>& processor) = 0;
    virtual bool Find(const Name& name, ItemProcessor<Property>& processor) = 0;
};

namespace Detail {
/// A writer that forwards every visit to `handler(value)`.
template <class H>
using UnitVisitorAdaptor = Generic::VisitorAdaptor<UnitWriter, Layer, H>;
}  // namespace Detail

}  // namespace Zaph::Modification
