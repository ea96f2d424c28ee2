// The in-memory value holders: one implementation of each value kind in the construction layer
// (and so in all three layers). Holders are not made directly: a unit is an Object<H> (object.h)
// made by a unit factory (unit_factory.h).
//
//   ScalarValueHolder<T>   the value itself, inline
//   ComplexValueHolder<T>  a wide string, a byte vector, a GUID, or a shared Common::Error
//   NilValueHolder         nothing
//   ArrayValueHolder       a vector of owned element units, in order
//   CompositeValueHolder   a vector of owned properties in name order (lower-bound lookups);
//                          Set appends in O(1) when the name sorts after the last one, and
//                          SetSorted takes a whole sorted batch in one linear merge
//
// Array indices out of range and the front or back of an empty array raise
// "ZAPH: Out of range." (kOutOfRange); absent units raise "ZAPH: Null units are forbidden."
// (kNullUnit). A failed operation leaves the container unchanged.
//
// Thread-safety: as view.h.
#pragma once

#include <typeinfo>
#include <utility>
#include <vector>

#include "enterprise/common/zaph/construction.h"

namespace Zaph {

template <class T>
class ScalarValueHolder final : public Construction::ScalarValue<T> {
  public:
    explicit ScalarValueHolder(T value) : value_(value) {}
    T GetValue() const override { return value_; }
    void SetValue(T value) override { value_ = value; }

  private:
    T value_;
};

template <class T>
class ComplexValueHolder final : public Construction::ComplexValue<T> {
  public:
    explicit ComplexValueHolder(T value) : value_(std::move(value)) {}
    const T& GetValue() const override { return value_; }
    void SetValue(const T& value) override {
        if (&value != &value_) {
            value_ = value;
        }
    }

  private:
    T value_;
};

class NilValueHolder final : public Construction::NilValue {};

class ArrayValueHolder final : public Construction::ArrayValue {
  public:
    ArrayValueHolder() = default;
    ~ArrayValueHolder() override;

    /// `array` as a holder, or null when it is another implementation; lets the library's
    /// algorithms walk holders without a virtual call per element.
    static const ArrayValueHolder* From(const View::ArrayValue& array) {
        return typeid(array) == typeid(ArrayValueHolder)
                   ? static_cast<const ArrayValueHolder*>(&array)
                   : nullptr;
    }
    const std::vector<Construction::UnitPtr>& Elements() const { return elements_; }

    bool IsEmpty() const override { return elements_.empty(); }
    size_t GetSize() const override { return elements_.size(); }
    bool ProcessFront(ItemProcessor<const View::Unit>& processor) const override;
    bool ProcessBack(ItemProcessor<const View::Unit>& processor) const override;
    bool ProcessAt(size_t index, ItemProcessor<const View::Unit>& processor) const override;
    void ForEach(ItemProcessor<const View::Unit>& processor) const override;

    bool ProcessBack(ItemProcessor<Modification::Unit>& processor) override;
    bool ProcessFront(ItemProcessor<Modification::Unit>& processor) override;
    bool ProcessAt(size_t index, ItemProcessor<Modification::Unit>& processor) override;
    void ForEach(ItemProcessor<Modification::Unit>& processor) override;
    void Clear() override;
    void Insert(size_t index, View::UnitPtr unit) override;
    void RemoveAt(size_t index) override;
    void PushBack(View::UnitPtr unit) override;
    void PushFront(View::UnitPtr unit) override;
    void PopBack() override;
    void PopFront() override;

    bool ProcessBack(ItemProcessor<Construction::Unit>& processor) override;
    bool ProcessFront(ItemProcessor<Construction::Unit>& processor) override;
    bool ProcessAt(size_t index, ItemProcessor<Construction::Unit>& processor) override;
    void ForEach(ItemProcessor<Construction::Unit>& processor) override;
    void Insert(size_t index, Construction::UnitPtr unit) override;
    void PushBack(Construction::UnitPtr unit) override;
    void PushFront(Construction::UnitPtr unit) override;

  private:
    std::vector<Construction::UnitPtr> elements_;
};

class CompositeValueHolder final : public Construction::CompositeValue {
  public:
    CompositeValueHolder() = default;

    /// `composite` as a holder, or null when it is another implementation (see
    /// ArrayValueHolder::From).
    static const CompositeValueHolder* From(const View::CompositeValue& composite) {
        return typeid(composite) == typeid(CompositeValueHolder)
                   ? static_cast<const CompositeValueHolder*>(&composite)
                   : nullptr;
    }
    /// The same for a composite under construction.
    static CompositeValueHolder* From(Construction::CompositeValue& composite) {
        return typeid(composite) == typeid(CompositeValueHolder)
                   ? static_cast<CompositeValueHolder*>(&composite)
                   : nullptr;
    }
    /// The properties in name order.
    const std::vector<Construction::PropertyPtr>& Properties() const { return properties_; }

    /// Sets every property of `batch` as Set would, each replacing (and destroying) a held
    /// property of the same name; the batch is left empty. A batch in strictly increasing name
    /// order joins in one merge, linear in the sizes of both; any other batch falls back to
    /// Set one property at a time. A null property raises "ZAPH: Null units are forbidden."
    /// before anything changes.
    void SetSorted(std::vector<Construction::PropertyPtr>& batch);

    void ForEach(ItemProcessor<const View::Property>& processor) const override;
    bool Find(const Name& name, ItemProcessor<const View::Property>& processor) const override;
    CompositeIterator<const View::Property> GetIterator() const override;

    void ForEach(ItemProcessor<Modification::Property>& processor) override;
    bool Find(const Name& name, ItemProcessor<Modification::Property>& processor) override;

    void ForEach(ItemProcessor<Construction::Property>& processor) override;
    bool Find(const Name& name, ItemProcessor<Construction::Property>& processor) override;
    CompositeIterator<Construction::Property> GetIterator() override;
    void Set(Construction::PropertyPtr property) override;
    void Remove(const Name& name) override;

  private:
    // The property called `name`, or null.
    Construction::Property* Lookup(const Name& name) const;

    std::vector<Construction::PropertyPtr> properties_;
};

}  // namespace Zaph
