// Reading and setting typed values without writing a visitor.
//
//   GetTypeIndex(unit)               the type index of the unit's value (0 to 16)
//   GetValue<T>(unit)                the value of kind T: T for scalars, const T& for complex
//                                    kinds; a unit of another kind raises the structure type
//                                    mismatch (expected T, visited kind)
//   GetValueOr<T>(unit, failSafe)    the value of kind T, or `failSafe` for another kind
//   SetValue<T>(unit, value)         sets the value of kind T in place; another kind raises
//                                    "ZAPH: Object internal structure mismatch."
//
// They are built on the handlers below, which other algorithms use directly:
// GetValueTypeIndexVisitor, Detail::UnitValueGetter with the TypeMismatchHandlers policies, and
// Detail::ValueSetter. Detail::WithValue and Detail::WithValues run a function inside the
// visit of one or two units, for algorithms that dispatch on the kinds of two units at once.
//
// Thread-safety: as the units read.
#pragma once

#include <cstdint>
#include <type_traits>

#include "enterprise/common/zaph/visitors.h"

namespace Zaph::Util {

/// Handler that stores the type index of the visited kind; TypeIndex::None before any visit.
class GetValueTypeIndexVisitor {
  public:
    template <class V>
    void operator()(const V& value) {
        index_ = TypeIndexOfValue(value);
    }
    uint32_t GetIndex() const { return index_; }

  private:
    uint32_t index_ = TypeIndex::None;
};

/// The type index of the unit's value.
uint32_t GetTypeIndex(const View::Unit& unit);

/// Tags of UnitValueGetter: scalar data is copied out by value, complex data by reference.
struct ScalarTag {};
struct ComplexTag {};

/// What a UnitValueGetter does on a kind other than T's.
namespace TypeMismatchHandlers {
/// Raises the structure type mismatch (index of T, visited index).
template <class T>
struct Throw {
    static void OnMismatch(uint32_t visited) {
        throw Detail::MakeTypeMismatchError(kTypeIndexOf<T>, visited);
    }
};
/// Leaves the caller's fail-safe value untouched.
template <class T>
struct ReturnFailSafeValue {
    static void OnMismatch(uint32_t) {}
};
}  // namespace TypeMismatchHandlers

namespace Detail {

template <class T, class Tag, class Policy>
class UnitValueGetter;

/// Copies a scalar of type T into `out`.
template <class T, class Policy>
class UnitValueGetter<T, ScalarTag, Policy> {
  public:
    explicit UnitValueGetter(T& out) : out_(out) {}
    void operator()(const View::ScalarValue<T>& value) { out_ = value.GetValue(); }
    template <class V>
    void operator()(const V& value) {
        Policy::OnMismatch(TypeIndexOfValue(value));
    }

  private:
    T& out_;
};

/// Points `out` at the complex value of type T.
template <class T, class Policy>
class UnitValueGetter<T, ComplexTag, Policy> {
  public:
    explicit UnitValueGetter(const T*& out) : out_(out) {}
    void operator()(const View::ComplexValue<T>& value) { out_ = &value.GetValue(); }
    template <class V>
    void operator()(const V& value) {
        Policy::OnMismatch(TypeIndexOfValue(value));
    }

  private:
    const T*& out_;
};

/// Sets a value of type T through the modification layer; any other kind raises
/// "ZAPH: Object internal structure mismatch.".
template <class T>
class ValueSetter {
  public:
    explicit ValueSetter(const T& value) : value_(value) {}
    void operator()(Modification::ScalarValue<T>& target) requires kIsScalarData<T> {
        target.SetValue(value_);
    }
    void operator()(Modification::ComplexValue<T>& target) requires(!kIsScalarData<T>) {
        target.SetValue(value_);
    }
    template <class V>
    void operator()(V&) {
        throw MakeTypeMismatchError();
    }

  private:
    const T& value_;
};

/// The kind and view value interface of a unit, as WithValue and WithValues hand them over.
/// Valid only during that call: a decorator may build the value interface it presents on the
/// stack of its Accept.
struct CapturedValue {
    uint32_t index = TypeIndex::None;
    const void* value = nullptr;

    /// The value interface; I must be the view interface of `index`.
    template <class I>
    const I& As() const {
        return *static_cast<const I*>(value);
    }
};

/// Calls `function(value)` inside the visit of `unit` and returns its result (which must be
/// default-constructible).
template <class F>
auto WithValue(const View::Unit& unit, F&& function) {
    std::invoke_result_t<F&, const CapturedValue&> result{};
    auto handler = [&](const auto& value) {
        result = function(CapturedValue{TypeIndexOfValue(value), &value});
    };
    View::Detail::UnitVisitorAdaptor<decltype(handler)> reader(handler);
    unit.Accept(reader);
    return result;
}

/// Calls `function(left value, right value)` inside the visits of both units: one visit for
/// the left kind, then one for the right kind.
template <class F>
auto WithValues(const View::Unit& left, const View::Unit& right, F&& function) {
    std::invoke_result_t<F&, const CapturedValue&, const CapturedValue&> result{};
    auto onLeft = [&](const auto& leftValue) {
        const CapturedValue captured{TypeIndexOfValue(leftValue), &leftValue};
        auto onRight = [&](const auto& rightValue) {
            result = function(captured, CapturedValue{TypeIndexOfValue(rightValue), &rightValue});
        };
        View::Detail::UnitVisitorAdaptor<decltype(onRight)> rightReader(onRight);
        right.Accept(rightReader);
    };
    View::Detail::UnitVisitorAdaptor<decltype(onLeft)> leftReader(onLeft);
    left.Accept(leftReader);
    return result;
}

}  // namespace Detail

/// The value of kind T (T for scalars, const T& for complex kinds); raises the structure type
/// mismatch for a unit of another kind.
template <class T>
std::conditional_t<kIsScalarData<T>, T, const T&> GetValue(const View::Unit& unit) {
    if constexpr (kIsScalarData<T>) {
        T value{};
        Detail::UnitValueGetter<T, ScalarTag, TypeMismatchHandlers::Throw<T>> getter(value);
        View::Detail::UnitVisitorAdaptor<decltype(getter)> reader(getter);
        unit.Accept(reader);
        return value;
    } else {
        const T* value = nullptr;
        Detail::UnitValueGetter<T, ComplexTag, TypeMismatchHandlers::Throw<T>> getter(value);
        View::Detail::UnitVisitorAdaptor<decltype(getter)> reader(getter);
        unit.Accept(reader);
        return *value;
    }
}

/// The value of kind T, or `failSafe` for a unit of another kind.
template <class T>
T GetValueOr(const View::Unit& unit, T failSafe) {
    if constexpr (kIsScalarData<T>) {
        Detail::UnitValueGetter<T, ScalarTag, TypeMismatchHandlers::ReturnFailSafeValue<T>> getter(
            failSafe);
        View::Detail::UnitVisitorAdaptor<decltype(getter)> reader(getter);
        unit.Accept(reader);
        return failSafe;
    } else {
        const T* value = &failSafe;
        Detail::UnitValueGetter<T, ComplexTag, TypeMismatchHandlers::ReturnFailSafeValue<T>> getter(
            value);
        View::Detail::UnitVisitorAdaptor<decltype(getter)> reader(getter);
        unit.Accept(reader);
        return *value;
    }
}

/// Sets the value of kind T in place; see the file comment.
template <class T>
void SetValue(Modification::Unit& unit, const T& value) {
    Detail::ValueSetter<T> setter(value);
    Modification::Detail::UnitVisitorAdaptor<Detail::ValueSetter<T>> writer(setter);
    unit.Accept(writer);
}

}  // namespace Zaph::Util
