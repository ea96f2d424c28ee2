// The visitor scheme shared by the three layers (view, modification, construction).
//
// Reading a unit's value is a double dispatch: the unit's Accept calls the one Visit overload of
// the visitor that matches its value kind, passing the value interface of that kind in the
// visitor's layer. A layer is described by a struct L naming its value interfaces (with the
// constness the layer passes them with): L::CompositeValue, L::ArrayValue, L::NilValue,
// L::ScalarValue<T> and L::ComplexValue<T>.
//
// Algorithms are written as handlers: objects with an operator() overload (or template) for the
// value interfaces they care about. VisitorAdaptor turns a handler into a visitor.
//
// Thread-safety: visitors are used by the thread that visits.
#pragma once

#include <cstdint>

#include "core/common/error/error.h"
#include "core/common/noncopyable.h"
#include "enterprise/common/zaph/value_kind.h"

namespace Zaph::Generic {

/// A visitor interface: one Visit per value kind, from Composite down to Nil (the reverse of the
/// type index order).
template <class L>
class UnitVisitor : private Common::NonCopyable {
  public:
    virtual ~UnitVisitor() = default;
    virtual void Visit(typename L::CompositeValue& value) = 0;
    virtual void Visit(typename L::ArrayValue& value) = 0;
    virtual void Visit(typename L::template ComplexValue<Common::Error>& value) = 0;
    virtual void Visit(typename L::template ComplexValue<String>& value) = 0;
    virtual void Visit(typename L::template ComplexValue<Guid>& value) = 0;
    virtual void Visit(typename L::template ComplexValue<Blob>& value) = 0;
    virtual void Visit(typename L::template ScalarValue<double>& value) = 0;
    virtual void Visit(typename L::template ScalarValue<int64_t>& value) = 0;
    virtual void Visit(typename L::template ScalarValue<uint64_t>& value) = 0;
    virtual void Visit(typename L::template ScalarValue<int32_t>& value) = 0;
    virtual void Visit(typename L::template ScalarValue<uint32_t>& value) = 0;
    virtual void Visit(typename L::template ScalarValue<int16_t>& value) = 0;
    virtual void Visit(typename L::template ScalarValue<uint16_t>& value) = 0;
    virtual void Visit(typename L::template ScalarValue<int8_t>& value) = 0;
    virtual void Visit(typename L::template ScalarValue<uint8_t>& value) = 0;
    virtual void Visit(typename L::template ScalarValue<bool>& value) = 0;
    virtual void Visit(typename L::NilValue& value) = 0;
};

/// A visitor of interface `Interface` (a UnitVisitor<L>) that forwards every visit to
/// `handler(value)`.
template <class Interface, class L, class H>
class VisitorAdaptor : public Interface {
  public:
    explicit VisitorAdaptor(H& handler) : handler_(handler) {}

    void Visit(typename L::CompositeValue& value) override { handler_(value); }
    void Visit(typename L::ArrayValue& value) override { handler_(value); }
    void Visit(typename L::template ComplexValue<Common::Error>& value) override {
        handler_(value);
    }
    void Visit(typename L::template ComplexValue<String>& value) override { handler_(value); }
    void Visit(typename L::template ComplexValue<Guid>& value) override { handler_(value); }
    void Visit(typename L::template ComplexValue<Blob>& value) override { handler_(value); }
    void Visit(typename L::template ScalarValue<double>& value) override { handler_(value); }
    void Visit(typename L::template ScalarValue<int64_t>& value) override { handler_(value); }
    void Visit(typename L::template ScalarValue<uint64_t>& value) override { handler_(value); }
    void Visit(typename L::template ScalarValue<int32_t>& value) override { handler_(value); }
    void Visit(typename L::template ScalarValue<uint32_t>& value) override { handler_(value); }
    void Visit(typename L::template ScalarValue<int16_t>& value) override { handler_(value); }
    void Visit(typename L::template ScalarValue<uint16_t>& value) override { handler_(value); }
    void Visit(typename L::template ScalarValue<int8_t>& value) override { handler_(value); }
    void Visit(typename L::template ScalarValue<uint8_t>& value) override { handler_(value); }
    void Visit(typename L::template ScalarValue<bool>& value) override { handler_(value); }
    void Visit(typename L::NilValue& value) override { handler_(value); }

  protected:
    H& handler_;
};

/// A visitor of interface `Interface` whose every visit does nothing; a base for visitors that
/// react to one or two kinds.
template <class Interface, class L>
class NullVisitor : public Interface {
  public:
    void Visit(typename L::CompositeValue&) override {}
    void Visit(typename L::ArrayValue&) override {}
    void Visit(typename L::template ComplexValue<Common::Error>&) override {}
    void Visit(typename L::template ComplexValue<String>&) override {}
    void Visit(typename L::template ComplexValue<Guid>&) override {}
    void Visit(typename L::template ComplexValue<Blob>&) override {}
    void Visit(typename L::template ScalarValue<double>&) override {}
    void Visit(typename L::template ScalarValue<int64_t>&) override {}
    void Visit(typename L::template ScalarValue<uint64_t>&) override {}
    void Visit(typename L::template ScalarValue<int32_t>&) override {}
    void Visit(typename L::template ScalarValue<uint32_t>&) override {}
    void Visit(typename L::template ScalarValue<int16_t>&) override {}
    void Visit(typename L::template ScalarValue<uint16_t>&) override {}
    void Visit(typename L::template ScalarValue<int8_t>&) override {}
    void Visit(typename L::template ScalarValue<uint8_t>&) override {}
    void Visit(typename L::template ScalarValue<bool>&) override {}
    void Visit(typename L::NilValue&) override {}
};

/// Keeps a handler alive in front of an adaptor that refers to it (base-from-member).
template <class H>
struct HandlerStorage {
    explicit HandlerStorage(H value) : handler(value) {}
    H handler;
};

}  // namespace Zaph::Generic
