// The read-only layer of the unit model (Zaph::View).
//
// A unit carries exactly one value (of one of the seventeen kinds of value_kind.h) and a set of
// traits: named tags whose values are units again. A composite value is a set of properties
// (name, unit), unique by name and held in name order; an array value is an ordered list of
// units. A unit owns its whole tree; no unit is shared between two parents. Units are handed on
// as owned construction units while being built and as shared read-only units once published.
//
// Every operation of this layer is const. Its value is read through a visitor: Accept calls the
// one UnitReader::Visit overload that matches the value kind (two virtual calls, no allocation).
// The modification layer (modification.h) and the construction layer (construction.h) derive
// from these interfaces and add in-place changes and building.
//
// Depth: units nest at most kMaxUnitDepth levels deep. The root is at level 1, the value of a
// property, an array element or a trait is one level below the unit that holds it. Input from
// outside (text, blobs, packets) is refused past this depth where it enters; the copying and
// comparison algorithms of this library refuse deeper units with kUnitTooDeep instead of
// exhausting the stack, and destroying a unit never recurses, whatever its depth. Walking
// kMaxUnitDepth levels takes about 350 KB of stack (about 1.4 MB under AddressSanitizer).
//
// Thread-safety: units carry no locks. A unit may be read from several threads at once while
// nobody changes it; it is built and changed by one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "core/common/noncopyable.h"
#include "enterprise/common/zaph/composite_iterator.h"
#include "enterprise/common/zaph/generic_visitor.h"
#include "enterprise/common/zaph/item_processor.h"
#include "enterprise/common/zaph/name.h"
#include "enterprise/common/zaph/value_kind.h"

namespace Zaph {

/// The deepest level a unit may sit at (see the file comment).
inline constexpr uint32_t kMaxUnitDepth = 512;

namespace View {

class Unit;
class Traits;
class Trait;
class Property;
class NilValue;
class ArrayValue;
class CompositeValue;
template <class T>
class ScalarValue;
template <class T>
class ComplexValue;

/// An owned read-only unit.
using UnitPtr = std::unique_ptr<const Unit>;
/// A published unit, shared read-only.
using SharedUnitPtr = std::shared_ptr<const Unit>;
/// An owned trait.
using TraitPtr = std::unique_ptr<Trait>;

/// The value interfaces the view visitor passes (all const).
struct Layer {
    using CompositeValue = const View::CompositeValue;
    using ArrayValue = const View::ArrayValue;
    using NilValue = const View::NilValue;
    template <class T>
    using ScalarValue = const View::ScalarValue<T>;
    template <class T>
    using ComplexValue = const View::ComplexValue<T>;
};

/// The visitor of read-only units.
class UnitReader : public Generic::UnitVisitor<Layer> {};

/// A read-only unit.
class Unit : private Common::NonCopyable {
  public:
    virtual ~Unit() = default;
    /// Calls the reader's Visit overload for this unit's value kind.
    virtual void Accept(UnitReader& reader) const = 0;
    /// The unit's traits.
    virtual const Traits& GetTraits() const = 0;
};

/// The traits of a unit: in name order, and among equal names by the order of their values.
class Traits : private Common::NonCopyable {
  public:
    virtual ~Traits() = default;
    /// Hands the traits called `name` to `processor`, in order, until it returns true.
    virtual void ForEachNamed(const Name& name, ItemProcessor<const Trait>& processor) const = 0;
    /// Hands every trait to `processor`, in order, until it returns true.
    virtual void ForEach(ItemProcessor<const Trait>& processor) const = 0;
};

/// A trait: a name and a value unit (never absent). Traits are not changed once made.
class Trait : private Common::NonCopyable {
  public:
    virtual ~Trait() = default;
    virtual const Name& GetName() const = 0;
    virtual const Unit& GetValue() const = 0;
};

/// A property of a composite: a name and a value unit (never absent).
class Property : private Common::NonCopyable {
  public:
    virtual ~Property() = default;
    virtual const Name& GetName() const = 0;
    virtual const Unit& GetValue() const = 0;
};

/// A scalar value (Boolean ... Double), held inline.
template <class T>
class ScalarValue : private Common::NonCopyable {
  public:
    virtual ~ScalarValue() = default;
    virtual T GetValue() const = 0;
};

/// A complex value (Blob, Guid, String, Error), read by reference.
template <class T>
class ComplexValue : private Common::NonCopyable {
  public:
    virtual ~ComplexValue() = default;
    virtual const T& GetValue() const = 0;
};

/// The Nil value: nothing.
class NilValue : private Common::NonCopyable {
  public:
    virtual ~NilValue() = default;
};

/// An array value: elements with zero-based indices.
class ArrayValue : private Common::NonCopyable {
  public:
    virtual ~ArrayValue() = default;
    virtual bool IsEmpty() const = 0;
    virtual size_t GetSize() const = 0;
    /// Hands the first element to `processor` and returns its answer; "ZAPH: Out of range." on
    /// an empty array.
    virtual bool ProcessFront(ItemProcessor<const Unit>& processor) const = 0;
    /// The same with the last element.
    virtual bool ProcessBack(ItemProcessor<const Unit>& processor) const = 0;
    /// The same with element `index`; "ZAPH: Out of range." unless index < size.
    virtual bool ProcessAt(size_t index, ItemProcessor<const Unit>& processor) const = 0;
    /// Hands the elements to `processor`, in order, until it returns true.
    virtual void ForEach(ItemProcessor<const Unit>& processor) const = 0;
};

/// A composite value: properties unique by name, in name order.
class CompositeValue : private Common::NonCopyable {
  public:
    virtual ~CompositeValue() = default;
    /// Hands the properties to `processor`, in name order, until it returns true.
    virtual void ForEach(ItemProcessor<const Property>& processor) const = 0;
    /// Hands the property called `name` to `processor` and returns true; false when there is
    /// none. The processor's answer is not returned.
    virtual bool Find(const Name& name, ItemProcessor<const Property>& processor) const = 0;
    /// An iterator over the properties in name order.
    virtual CompositeIterator<const Property> GetIterator() const = 0;
};

namespace Detail {
/// A reader that forwards every visit to `handler(value)`.
template <class H>
using UnitVisitorAdaptor = Generic::VisitorAdaptor<UnitReader, Layer, H>;
}  // namespace Detail

}  // namespace View
}  // namespace Zaph
