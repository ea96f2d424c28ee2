#include "enterprise/common/zaph/compare.h"
#include "enterprise/common/zaph/nesting_guard.h"
#include "enterprise/common/zaph/pairing_walkers.h"
#include "enterprise/common/zaph/value_access.h"

namespace Zaph::Util {
namespace {

using Detail::CapturedValue;

template <class T>
bool ScalarsEqual(const CapturedValue& left, const CapturedValue& right) {
    return left.As<View::ScalarValue<T>>().GetValue() ==
           right.As<View::ScalarValue<T>>().GetValue();
}

template <class T>
bool ComplexEqual(const CapturedValue& left, const CapturedValue& right) {
    return left.As<View::ComplexValue<T>>().GetValue() ==
           right.As<View::ComplexValue<T>>().GetValue();
}

// Every pair unit-equal and nothing unpaired.
class AllPairsEqual final : public ArrayElementsWalker, public CompositePropertyWalker {
  public:
    bool OnPair(const View::Unit& left, const View::Unit& right) override {
        equal_ = UnitsEqual(left, right);
        return !equal_;
    }
    bool OnPair(const View::Property& left, const View::Property& right) override {
        return OnPair(left.GetValue(), right.GetValue());
    }
    bool OnLeftOnly(const View::Unit&) override { return Unpaired(); }
    bool OnRightOnly(const View::Unit&) override { return Unpaired(); }
    bool OnLeftOnly(const View::Property&) override { return Unpaired(); }
    bool OnRightOnly(const View::Property&) override { return Unpaired(); }
    bool Equal() const { return equal_; }

  private:
    bool Unpaired() {
        equal_ = false;
        return true;
    }

    bool equal_ = true;
};

class NoUnpairedTrait final : public UnitTraitsWalker {
  public:
    bool OnPair(const View::Trait&, const View::Trait&) override { return false; }
    bool OnLeftOnly(const View::Trait&) override { return Unpaired(); }
    bool OnRightOnly(const View::Trait&) override { return Unpaired(); }
    bool Equal() const { return equal_; }

  private:
    bool Unpaired() {
        equal_ = false;
        return true;
    }

    bool equal_ = true;
};

bool CapturedEqual(const CapturedValue& l, const CapturedValue& r) {
    if (l.index != r.index) {
        return false;
    }
    switch (l.index) {
        case TypeIndex::Boolean:
            return ScalarsEqual<bool>(l, r);
        case TypeIndex::Byte:
            return ScalarsEqual<uint8_t>(l, r);
        case TypeIndex::SByte:
            return ScalarsEqual<int8_t>(l, r);
        case TypeIndex::Word:
            return ScalarsEqual<uint16_t>(l, r);
        case TypeIndex::SWord:
            return ScalarsEqual<int16_t>(l, r);
        case TypeIndex::DWord:
            return ScalarsEqual<uint32_t>(l, r);
        case TypeIndex::SDWord:
            return ScalarsEqual<int32_t>(l, r);
        case TypeIndex::QWord:
            return ScalarsEqual<uint64_t>(l, r);
        case TypeIndex::SQWord:
            return ScalarsEqual<int64_t>(l, r);
        case TypeIndex::Double:
            return ScalarsEqual<double>(l, r);
        case TypeIndex::Blob:
            return ComplexEqual<Blob>(l, r);
        case TypeIndex::Guid:
            return ComplexEqual<Guid>(l, r);
        case TypeIndex::String:
            return ComplexEqual<String>(l, r);
        case TypeIndex::Error:
            return CompareErrors(l.As<View::ComplexValue<Common::Error>>().GetValue(),
                                 r.As<View::ComplexValue<Common::Error>>().GetValue()) == 0;
        case TypeIndex::Array: {
            const auto& leftArray = l.As<View::ArrayValue>();
            const auto& rightArray = r.As<View::ArrayValue>();
            if (leftArray.GetSize() != rightArray.GetSize()) {
                return false;
            }
            AllPairsEqual walker;
            WalkArrayElements(leftArray, rightArray, walker);
            return walker.Equal();
        }
        case TypeIndex::Composite: {
            AllPairsEqual walker;
            WalkCompositeProperties(l.As<View::CompositeValue>(), r.As<View::CompositeValue>(),
                                    walker);
            return walker.Equal();
        }
        default:  // Nil
            return true;
    }
}

}  // namespace

bool ValuesEqual(const View::Unit& left, const View::Unit& right) {
    Zaph::Detail::NestingGuard guard(COMMON_PLACE("Zaph::Util::ValuesEqual"));
    return Detail::WithValues(left, right, CapturedEqual);
}

bool UnitsEqual(const View::Unit& left, const View::Unit& right) {
    return &left == &right || (ValuesEqual(left, right) && TraitsEqual(left, right));
}

bool TraitsEqual(const View::Unit& left, const View::Unit& right) {
    NoUnpairedTrait walker;
    WalkTraits(left, right, walker);
    return walker.Equal();
}

}  // namespace Zaph::Util
