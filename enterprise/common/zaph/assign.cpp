#include "enterprise/common/zaph/assign.h"

#include <array>
#include <type_traits>

#include "core/common/catalog.h"
#include "enterprise/common/zaph/compare.h"
#include "enterprise/common/zaph/container_access.h"
#include "enterprise/common/zaph/copy_unit.h"
#include "enterprise/common/zaph/errors.h"
#include "enterprise/common/zaph/nesting_guard.h"

namespace Zaph::Util {
namespace {

// ---- names of the matrix cells ------------------------------------------------------------------

// The value classes by type index, as the raise sites of the matrix name them.
constexpr const char* kValueClassNames[] = {
    "NilValue",
    "ScalarValue<bool>",
    "ScalarValue<unsigned char>",
    "ScalarValue<signed char>",
    "ScalarValue<unsigned short>",
    "ScalarValue<short>",
    "ScalarValue<unsigned long>",
    "ScalarValue<long>",
    "ScalarValue<unsigned __int64>",
    "ScalarValue<__int64>",
    "ScalarValue<double>",
    "ComplexValue<std::vector<unsigned char>>",
    "ComplexValue<Common::GuidTemplate<LittleEndian>>",
    "ComplexValue<std::u16string>",
    "ComplexValue<Common::Error>",
    "ArrayValue",
    "CompositeValue",
};
static_assert(std::size(kValueClassNames) == TypeIndex::None);

// The type index of a value interface of the view or the modification layer.
template <class I>
struct InterfaceIndex;
template <class T>
struct InterfaceIndex<View::ScalarValue<T>> : std::integral_constant<uint32_t, kTypeIndexOf<T>> {};
template <class T>
struct InterfaceIndex<Modification::ScalarValue<T>>
    : std::integral_constant<uint32_t, kTypeIndexOf<T>> {};
template <class T>
struct InterfaceIndex<View::ComplexValue<T>> : std::integral_constant<uint32_t, kTypeIndexOf<T>> {};
template <class T>
struct InterfaceIndex<Modification::ComplexValue<T>>
    : std::integral_constant<uint32_t, kTypeIndexOf<T>> {};
template <>
struct InterfaceIndex<View::NilValue> : std::integral_constant<uint32_t, TypeIndex::Nil> {};
template <>
struct InterfaceIndex<Modification::NilValue> : std::integral_constant<uint32_t, TypeIndex::Nil> {};
template <>
struct InterfaceIndex<View::ArrayValue> : std::integral_constant<uint32_t, TypeIndex::Array> {};
template <>
struct InterfaceIndex<Modification::ArrayValue>
    : std::integral_constant<uint32_t, TypeIndex::Array> {};
template <>
struct InterfaceIndex<View::CompositeValue>
    : std::integral_constant<uint32_t, TypeIndex::Composite> {};
template <>
struct InterfaceIndex<Modification::CompositeValue>
    : std::integral_constant<uint32_t, TypeIndex::Composite> {};

constexpr size_t TextLength(const char* text) {
    size_t length = 0;
    while (text[length] != '\0') {
        ++length;
    }
    return length;
}

template <uint32_t X, uint32_t Y>
constexpr std::array<const char*, 5> CellNameParts() {
    return {"AssignValue<Modification::", kValueClassNames[X], ", View::", kValueClassNames[Y],
            ">::Apply"};
}

template <uint32_t X, uint32_t Y>
constexpr size_t CellNameLength() {
    size_t length = 0;
    for (const char* part : CellNameParts<X, Y>()) {
        length += TextLength(part);
    }
    return length;
}

// The function name of the cell (target kind X, source kind Y), built at compile time.
template <uint32_t X, uint32_t Y>
inline constexpr auto kCellName = [] {
    std::array<char, CellNameLength<X, Y>() + 1> text{};
    size_t at = 0;
    for (const char* part : CellNameParts<X, Y>()) {
        while (*part != '\0') {
            text[at++] = *part++;
        }
    }
    return text;
}();

// Each cell is a raise site of its own: the line's tag mixed with the pair of kinds.
constexpr Common::LineTag CellTag(Common::LineTag lineTag, uint32_t x, uint32_t y) {
    return lineTag ^ ((static_cast<uint64_t>(x) * TypeIndex::None + y + 1) * 0x9e3779b97f4a7c15ULL);
}

// ---- strategies
// ------------------------------------------------------------------------------------

void EnsureAssignable(Modification::Unit& target, const View::Unit& source);

class PerformAssignStrategy;
void Perform(PerformAssignStrategy& strategy, Modification::Unit& target, const View::Unit& source);

// Walks the pair and raises where they differ; changes nothing.
class CheckAssignStrategy {
  public:
    template <class X, class V>
    void SetValue(X&, const V&) {}
    void BeginArray(Modification::ArrayValue&) {}
    void AddArrayElement(Modification::ArrayValue&, const View::Unit&) {}
    void AssignProperty(Modification::Property& target, const View::Property& source) {
        EnsureAssignable(target.GetValue(), source.GetValue());
    }
};

// Changes the target; runs only after the check of the whole tree has passed.
class PerformAssignStrategy {
  public:
    explicit PerformAssignStrategy(Construction::UnitFactory& factory) : factory_(factory) {}

    template <class X, class V>
    void SetValue(X& target, const V& value) {
        target.SetValue(value);
    }
    void BeginArray(Modification::ArrayValue& target) { target.Clear(); }
    void AddArrayElement(Modification::ArrayValue& target, const View::Unit& element) {
        target.PushBack(View::UnitPtr(CopyUnit(element, factory_)));
    }
    void AssignProperty(Modification::Property& target, const View::Property& source) {
        Perform(*this, target.GetValue(), source.GetValue());
    }

  private:
    Construction::UnitFactory& factory_;
};

template <class Strategy>
class ArrayElementsCopier final : public ItemProcessor<const View::Unit> {
  public:
    ArrayElementsCopier(Strategy& strategy, Modification::ArrayValue& target)
        : strategy_(strategy), target_(target) {}
    bool Process(const View::Unit& element) override {
        strategy_.AddArrayElement(target_, element);
        return false;
    }

  private:
    Strategy& strategy_;
    Modification::ArrayValue& target_;
};

template <class Strategy>
class PropertyValueSetter final : public ItemProcessor<Modification::Property> {
  public:
    PropertyValueSetter(Strategy& strategy, const View::Property& source)
        : strategy_(strategy), source_(source) {}
    bool Process(Modification::Property& target) override {
        strategy_.AssignProperty(target, source_);
        return false;
    }

  private:
    Strategy& strategy_;
    const View::Property& source_;
};

template <class Strategy>
class AssignPropertyFilter final : public ItemProcessor<const View::Property> {
  public:
    AssignPropertyFilter(Strategy& strategy, Modification::CompositeValue& target)
        : strategy_(strategy), target_(target) {}
    bool Process(const View::Property& source) override {
        PropertyValueSetter<Strategy> setter(strategy_, source);
        if (!target_.Find(source.GetName(), setter)) {
            throw Zaph::Detail::MakeError(COMMON_PLACE("AssignPropertyFilter::Process"),
                                          Errors::kAssignDifferentProperties,
                                          Common::kMsgZaphAssignDifferentProperties);
        }
        return false;
    }

  private:
    Strategy& strategy_;
    Modification::CompositeValue& target_;
};

// ---- the matrix ---------------------------------------------------------------------------------

// Target kind X, source kind Y: every pair of different kinds refuses.
template <class X, class Y>
struct AssignValue {
    template <class Strategy>
    static void Apply(Strategy&, X&, const Y&) {
        constexpr uint32_t x = InterfaceIndex<X>::value;
        constexpr uint32_t y = InterfaceIndex<Y>::value;
        throw Zaph::Detail::MakeError(
            COMMON_PLACE_TAG(CellTag(Common::MakeLineTag(__FILE__, __LINE__), x, y),
                             (kCellName<x, y>.data())),
            Errors::kAssignDifferentTypes, Common::kMsgZaphAssignDifferentTypes);
    }
};

template <class T>
struct AssignValue<Modification::ScalarValue<T>, View::ScalarValue<T>> {
    template <class Strategy>
    static void Apply(Strategy& strategy, Modification::ScalarValue<T>& target,
                      const View::ScalarValue<T>& source) {
        strategy.SetValue(target, source.GetValue());
    }
};

template <class T>
struct AssignValue<Modification::ComplexValue<T>, View::ComplexValue<T>> {
    template <class Strategy>
    static void Apply(Strategy& strategy, Modification::ComplexValue<T>& target,
                      const View::ComplexValue<T>& source) {
        strategy.SetValue(target, source.GetValue());
    }
};

template <>
struct AssignValue<Modification::NilValue, View::NilValue> {
    template <class Strategy>
    static void Apply(Strategy&, Modification::NilValue&, const View::NilValue&) {}
};

template <>
struct AssignValue<Modification::ArrayValue, View::ArrayValue> {
    template <class Strategy>
    static void Apply(Strategy& strategy, Modification::ArrayValue& target,
                      const View::ArrayValue& source) {
        strategy.BeginArray(target);
        ArrayElementsCopier<Strategy> copier(strategy, target);
        source.ForEach(copier);
    }
};

template <>
struct AssignValue<Modification::CompositeValue, View::CompositeValue> {
    template <class Strategy>
    static void Apply(Strategy& strategy, Modification::CompositeValue& target,
                      const View::CompositeValue& source) {
        AssignPropertyFilter<Strategy> filter(strategy, target);
        source.ForEach(filter);
    }
};

// The source half of the double dispatch: the target's value interface is known.
template <class Strategy, class X>
class SourceDispatch {
  public:
    SourceDispatch(Strategy& strategy, X& target) : strategy_(strategy), target_(target) {}
    template <class Y>
    void operator()(const Y& source) {
        AssignValue<X, Y>::Apply(strategy_, target_, source);
    }

  private:
    Strategy& strategy_;
    X& target_;
};

// The target half: visits the source with the target's value interface in hand.
template <class Strategy>
class TargetDispatch {
  public:
    TargetDispatch(Strategy& strategy, const View::Unit& source)
        : strategy_(strategy), source_(source) {}
    template <class X>
    void operator()(X& target) {
        SourceDispatch<Strategy, X> handler(strategy_, target);
        View::Detail::UnitVisitorAdaptor<SourceDispatch<Strategy, X>> reader(handler);
        source_.Accept(reader);
    }

  private:
    Strategy& strategy_;
    const View::Unit& source_;
};

template <class Strategy>
void Dispatch(Strategy& strategy, Modification::Unit& target, const View::Unit& source) {
    TargetDispatch<Strategy> handler(strategy, source);
    Modification::Detail::UnitVisitorAdaptor<TargetDispatch<Strategy>> writer(handler);
    target.Accept(writer);
}

// ---- the two walks ------------------------------------------------------------------------------

void EnsureTraitsPresent(const View::Unit& target, const View::Unit& source) {
    auto check = MakeProcessor<const View::Trait>([&](const View::Trait& wanted) {
        bool found = false;
        auto match = MakeProcessor<const View::Trait>([&](const View::Trait& candidate) {
            found = UnitsEqual(candidate.GetValue(), wanted.GetValue());
            return found;
        });
        target.GetTraits().ForEachNamed(wanted.GetName(), match);
        if (!found) {
            throw Zaph::Detail::MakeError(
                COMMON_PLACE("CheckAssignStrategy::EnsureUnitsCanBeAssigned"),
                Errors::kAssignDifferentTraits, Common::kMsgZaphAssignDifferentTraits);
        }
        return false;
    });
    source.GetTraits().ForEach(check);
}

void EnsureAssignable(Modification::Unit& target, const View::Unit& source) {
    Zaph::Detail::NestingGuard guard(COMMON_PLACE("CheckAssignStrategy::EnsureUnitsCanBeAssigned"));
    EnsureTraitsPresent(target, source);
    CheckAssignStrategy strategy;
    Dispatch(strategy, target, source);
}

void Perform(PerformAssignStrategy& strategy, Modification::Unit& target,
             const View::Unit& source) {
    Zaph::Detail::NestingGuard guard(COMMON_PLACE("Zaph::Util::Assign"));
    Dispatch(strategy, target, source);
}

}  // namespace

void EnsureUnitsCanBeAssigned(Modification::Unit& target, const View::Unit& source) {
    EnsureAssignable(target, source);
}

void Assign(Modification::Unit& target, const View::Unit& source,
            Construction::UnitFactory& factory) {
    EnsureAssignable(target, source);
    PerformAssignStrategy strategy(factory);
    if (Detail::IsContainer(source)) {
        // The source may be the target itself or lie inside or around it, and clearing a target
        // array would then destroy elements still to be copied. A private copy overlaps nothing.
        const Construction::UnitPtr copy = CopyUnit(source, factory);
        Perform(strategy, target, *copy);
        return;
    }
    Perform(strategy, target, source);
}

}  // namespace Zaph::Util
