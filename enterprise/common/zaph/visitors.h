// Ready-made visitors of the three layers.
//
//   NullVisitor                     every visit does nothing (view and construction layers)
//   TypeMismatchThrowingVisitor     every visit raises the structure type mismatch with
//                                   (expected, visited kind) (view and construction layers)
//   CompositeVisitor, ArrayVisitor  override the one Visit of their kind; any other kind is a
//                                   mismatch with expected Composite or Array
//   ForEachArrayElementVisitor      enumerates an array's elements; other kinds are a mismatch
//
// Classes that override one Visit overload re-export the others (`using Base::Visit`).
//
// Thread-safety: visitors are used by the thread that visits.
#pragma once

#include <cstdint>

#include "enterprise/common/zaph/construction.h"
#include "enterprise/common/zaph/errors.h"

namespace Zaph {

/// The type index of a value interface of any layer.
template <class T>
constexpr uint32_t TypeIndexOfValue(const View::ScalarValue<T>&) {
    return kTypeIndexOf<T>;
}
template <class T>
constexpr uint32_t TypeIndexOfValue(const View::ComplexValue<T>&) {
    return kTypeIndexOf<T>;
}
constexpr uint32_t TypeIndexOfValue(const View::NilValue&) {
    return TypeIndex::Nil;
}
constexpr uint32_t TypeIndexOfValue(const View::ArrayValue&) {
    return TypeIndex::Array;
}
constexpr uint32_t TypeIndexOfValue(const View::CompositeValue&) {
    return TypeIndex::Composite;
}

namespace Util {

/// Handler that raises the structure type mismatch (expected, visited kind) for every kind.
class TypeMismatchThrowingVisitor {
  public:
    explicit TypeMismatchThrowingVisitor(uint32_t expected) : expected_(expected) {}
    template <class V>
    void operator()(const V& value) const {
        throw Detail::MakeTypeMismatchError(expected_, TypeIndexOfValue(value));
    }

  private:
    uint32_t expected_;
};

}  // namespace Util

namespace View {

class NullVisitor : public Generic::NullVisitor<UnitReader, Layer> {};

/// Raises the structure type mismatch for every kind; see the file comment.
class TypeMismatchThrowingVisitor
    : private Generic::HandlerStorage<Util::TypeMismatchThrowingVisitor>,
      public Detail::UnitVisitorAdaptor<Util::TypeMismatchThrowingVisitor> {
  public:
    explicit TypeMismatchThrowingVisitor(uint32_t expected)
        : HandlerStorage(Util::TypeMismatchThrowingVisitor(expected)), VisitorAdaptor(handler) {}
};

/// Override Visit(const ArrayValue&); other kinds raise a mismatch with expected Array.
class ArrayVisitor : public TypeMismatchThrowingVisitor {
  public:
    using TypeMismatchThrowingVisitor::Visit;
    ArrayVisitor() : TypeMismatchThrowingVisitor(TypeIndex::Array) {}
    void Visit(const ArrayValue&) override {}
};

/// Hands an array's elements to a processor; other kinds raise a mismatch.
class ForEachArrayElementVisitor : public ArrayVisitor {
  public:
    using ArrayVisitor::Visit;
    explicit ForEachArrayElementVisitor(ItemProcessor<const Unit>& processor)
        : processor_(processor) {}
    void Visit(const ArrayValue& array) override { array.ForEach(processor_); }

  private:
    ItemProcessor<const Unit>& processor_;
};

}  // namespace View

namespace Construction {

class NullVisitor : public Generic::NullVisitor<UnitBuilder, Layer> {};

/// Raises the structure type mismatch for every kind; see the file comment.
class TypeMismatchThrowingVisitor
    : private Generic::HandlerStorage<Util::TypeMismatchThrowingVisitor>,
      public Detail::UnitVisitorAdaptor<Util::TypeMismatchThrowingVisitor> {
  public:
    explicit TypeMismatchThrowingVisitor(uint32_t expected)
        : HandlerStorage(Util::TypeMismatchThrowingVisitor(expected)), VisitorAdaptor(handler) {}
};

/// Override Visit(CompositeValue&); other kinds raise a mismatch with expected Composite.
class CompositeVisitor : public TypeMismatchThrowingVisitor {
  public:
    using TypeMismatchThrowingVisitor::Visit;
    CompositeVisitor() : TypeMismatchThrowingVisitor(TypeIndex::Composite) {}
    void Visit(CompositeValue&) override {}
};

/// Override Visit(ArrayValue&); other kinds raise a mismatch with expected Array.
class ArrayVisitor : public TypeMismatchThrowingVisitor {
  public:
    using TypeMismatchThrowingVisitor::Visit;
    ArrayVisitor() : TypeMismatchThrowingVisitor(TypeIndex::Array) {}
    void Visit(ArrayValue&) override {}
};

}  // namespace Construction
}  // namespace Zaph
