#include "enterprise/common/zaph/compare.h"

#include <cmath>
#include <cstring>
#include <new>
#include <vector>

#include "enterprise/common/zaph/nesting_guard.h"
#include "enterprise/common/zaph/pairing_walkers.h"
#include "enterprise/common/zaph/trait_holders.h"
#include "enterprise/common/zaph/value_access.h"

namespace Zaph::Util {
namespace {

using Detail::CapturedValue;

// kTotal selects the order: false is CompareUnits, true is CompareUnitsTotal.
template <bool kTotal>
int CompareUnitsIn(const View::Unit& left, const View::Unit& right);

template <class T>
int Order(const T& left, const T& right) {
    return left < right ? -1 : (right < left ? 1 : 0);
}

int Sign(int value) {
    return (value > 0) - (value < 0);
}

template <bool kTotal>
int CompareDoubles(double left, double right) {
    if constexpr (kTotal) {
        const bool leftNaN = std::isnan(left);
        const bool rightNaN = std::isnan(right);
        if (leftNaN || rightNaN) {
            return leftNaN == rightNaN ? 0 : (leftNaN ? 1 : -1);
        }
    }
    if (right > left) {
        return -1;
    }
    return left == right ? 0 : 1;
}

template <class T>
int CompareScalars(const CapturedValue& left, const CapturedValue& right) {
    return Order(left.As<View::ScalarValue<T>>().GetValue(),
                 right.As<View::ScalarValue<T>>().GetValue());
}

template <class T>
const T& Complex(const CapturedValue& captured) {
    return captured.As<View::ComplexValue<T>>().GetValue();
}

int CompareBlobs(const Blob& left, const Blob& right) {
    const size_t common = std::min(left.size(), right.size());
    const int bytes = common == 0 ? 0 : std::memcmp(left.data(), right.data(), common);
    return bytes != 0 ? Sign(bytes) : Order(left.size(), right.size());
}

int CompareGuids(const Guid& left, const Guid& right) {
    const std::strong_ordering order = left <=> right;
    return order < 0 ? -1 : (order > 0 ? 1 : 0);
}

template <bool kTotal>
class ArrayOrder final : public ArrayElementsWalker {
  public:
    bool OnPair(const View::Unit& left, const View::Unit& right) override {
        result_ = CompareUnitsIn<kTotal>(left, right);
        return result_ != 0;
    }
    // Arrays of different sizes are ordered before their elements are walked.
    bool OnLeftOnly(const View::Unit&) override { return true; }
    bool OnRightOnly(const View::Unit&) override { return true; }
    int Result() const { return result_; }

  private:
    int result_ = 0;
};

template <bool kTotal>
int CompareArrays(const View::ArrayValue& left, const View::ArrayValue& right) {
    const int bySize = Order(left.GetSize(), right.GetSize());
    if (bySize != 0) {
        return bySize;
    }
    ArrayOrder<kTotal> order;
    WalkArrayElements(left, right, order);
    return order.Result();
}

template <bool kTotal>
class CompositeOrder final : public CompositePropertyWalker {
  public:
    bool OnPair(const View::Property& left, const View::Property& right) override {
        if (leftName_ == nullptr && rightName_ == nullptr && pairResult_ == 0) {
            pairResult_ = CompareUnitsIn<kTotal>(left.GetValue(), right.GetValue());
        }
        return false;
    }
    bool OnLeftOnly(const View::Property& left) override {
        if (leftName_ == nullptr) {
            leftName_ = &left.GetName();
        }
        return rightName_ != nullptr;
    }
    bool OnRightOnly(const View::Property& right) override {
        if (rightName_ == nullptr) {
            rightName_ = &right.GetName();
        }
        return leftName_ != nullptr;
    }

    int Result() const {
        if (leftName_ == nullptr && rightName_ == nullptr) {
            return pairResult_;
        }
        // A side without an unpaired property counts as a name below every name, the empty
        // one included, so that a property named "" still tells the composites apart.
        if (leftName_ == nullptr || rightName_ == nullptr) {
            return leftName_ == nullptr ? -1 : 1;
        }
        const int byName = leftName_->Compare(*rightName_);
        if constexpr (kTotal) {
            // The side holding the smallest unpaired name orders last.
            return -byName;
        } else {
            return byName;
        }
    }

  private:
    int pairResult_ = 0;
    const Name* leftName_ = nullptr;
    const Name* rightName_ = nullptr;
};

template <bool kTotal>
int CompareComposites(const View::CompositeValue& left, const View::CompositeValue& right) {
    CompositeOrder<kTotal> order;
    WalkCompositeProperties(left, right, order);
    return order.Result();
}

template <bool kTotal>
int CompareCaptured(const CapturedValue& l, const CapturedValue& r) {
    if (l.index != r.index) {
        return l.index < r.index ? -1 : 1;
    }
    switch (l.index) {
        case TypeIndex::Boolean:
            return CompareScalars<bool>(l, r);
        case TypeIndex::Byte:
            return CompareScalars<uint8_t>(l, r);
        case TypeIndex::SByte:
            return CompareScalars<int8_t>(l, r);
        case TypeIndex::Word:
            return CompareScalars<uint16_t>(l, r);
        case TypeIndex::SWord:
            return CompareScalars<int16_t>(l, r);
        case TypeIndex::DWord:
            return CompareScalars<uint32_t>(l, r);
        case TypeIndex::SDWord:
            return CompareScalars<int32_t>(l, r);
        case TypeIndex::QWord:
            return CompareScalars<uint64_t>(l, r);
        case TypeIndex::SQWord:
            return CompareScalars<int64_t>(l, r);
        case TypeIndex::Double:
            return CompareDoubles<kTotal>(l.As<View::ScalarValue<double>>().GetValue(),
                                          r.As<View::ScalarValue<double>>().GetValue());
        case TypeIndex::Blob:
            return CompareBlobs(Complex<Blob>(l), Complex<Blob>(r));
        case TypeIndex::Guid:
            return CompareGuids(Complex<Guid>(l), Complex<Guid>(r));
        case TypeIndex::String:
            return Sign(Complex<String>(l).compare(Complex<String>(r)));
        case TypeIndex::Error:
            return CompareErrors(Complex<Common::Error>(l), Complex<Common::Error>(r));
        case TypeIndex::Array:
            return CompareArrays<kTotal>(l.As<View::ArrayValue>(), r.As<View::ArrayValue>());
        case TypeIndex::Composite:
            return CompareComposites<kTotal>(l.As<View::CompositeValue>(),
                                             r.As<View::CompositeValue>());
        default:  // Nil
            return 0;
    }
}

template <bool kTotal>
int CompareValuesIn(const View::Unit& left, const View::Unit& right) {
    Zaph::Detail::NestingGuard guard(COMMON_PLACE("Zaph::Util::CompareValues"));
    return Detail::WithValues(left, right, CompareCaptured<kTotal>);
}

// The unpaired traits of CompareTraits: the first of a side, replaced by a later one of the
// same name whose value orders first; a trait of another name closes the side.
class TraitOrder final : public UnitTraitsWalker {
  public:
    // Paired traits have unit-equal values, so their comparison is 0 and needs no walk.
    bool OnPair(const View::Trait&, const View::Trait&) override { return false; }
    bool OnLeftOnly(const View::Trait& left) override {
        Remember(left, left_, leftClosed_);
        return leftClosed_ && rightClosed_;
    }
    bool OnRightOnly(const View::Trait& right) override {
        Remember(right, right_, rightClosed_);
        return leftClosed_ && rightClosed_;
    }

    int Result() const {
        if (left_ == nullptr || right_ == nullptr) {
            return left_ != nullptr ? 1 : (right_ != nullptr ? -1 : 0);
        }
        const int byName = left_->GetName().Compare(right_->GetName());
        return byName != 0 ? byName : CompareUnitsIn<false>(left_->GetValue(), right_->GetValue());
    }

  private:
    static void Remember(const View::Trait& trait, const View::Trait*& kept, bool& closed) {
        if (closed) {
            return;
        }
        if (kept == nullptr) {
            kept = &trait;
        } else if (trait.GetName() != kept->GetName()) {
            closed = true;
        } else if (CompareUnitsIn<false>(trait.GetValue(), kept->GetValue()) < 0) {
            kept = &trait;
        }
    }

    const View::Trait* left_ = nullptr;
    const View::Trait* right_ = nullptr;
    bool leftClosed_ = false;
    bool rightClosed_ = false;
};

// The traits of a set, in order; most sets are small enough for the fixed buffer.
class TraitList {
  public:
    explicit TraitList(const View::Traits& traits) {
        auto collect = MakeProcessor<const View::Trait>([this](const View::Trait& trait) {
            if (size_ < kInlineCapacity) {
                inline_[size_] = &trait;
            } else {
                overflow_.push_back(&trait);
            }
            ++size_;
            return false;
        });
        traits.ForEach(collect);
    }
    size_t Size() const { return size_; }
    const View::Trait& operator[](size_t index) const {
        return index < kInlineCapacity ? *inline_[index] : *overflow_[index - kInlineCapacity];
    }

  private:
    static constexpr size_t kInlineCapacity = 8;
    const View::Trait* inline_[kInlineCapacity];
    std::vector<const View::Trait*> overflow_;
    size_t size_ = 0;
};

int CompareTraitEntriesTotal(const View::Trait& left, const View::Trait& right) {
    const int byName = left.GetName().Compare(right.GetName());
    return byName != 0 ? byName : CompareUnitsIn<true>(left.GetValue(), right.GetValue());
}

// Both sets are held in the total order, so one merge finds the smallest trait present on one
// side only; the side that has it orders last.
int CompareTraitSetsTotal(const View::Traits& left, const View::Traits& right) {
    const TraitList others(right);
    size_t next = 0;
    int result = 0;
    auto merge = MakeProcessor<const View::Trait>([&](const View::Trait& trait) {
        const int order = next < others.Size() ? CompareTraitEntriesTotal(trait, others[next]) : -1;
        if (order == 0) {
            ++next;
            return false;
        }
        result = order < 0 ? 1 : -1;
        return true;
    });
    left.ForEach(merge);
    return result == 0 && next < others.Size() ? -1 : result;
}

template <bool kTotal>
int CompareTraitsIn(const View::Unit& left, const View::Unit& right) {
    if (TraitsHolder::KnownEmpty(left.GetTraits()) && TraitsHolder::KnownEmpty(right.GetTraits())) {
        return 0;
    }
    if constexpr (kTotal) {
        return CompareTraitSetsTotal(left.GetTraits(), right.GetTraits());
    } else {
        TraitOrder order;
        WalkTraits(left, right, order);
        return order.Result();
    }
}

template <bool kTotal>
int CompareUnitsIn(const View::Unit& left, const View::Unit& right) {
    if (&left == &right) {
        return 0;
    }
    const int byValue = CompareValuesIn<kTotal>(left, right);
    return byValue != 0 ? byValue : CompareTraitsIn<kTotal>(left, right);
}

// Named fields of two error records: the name lists name by name, then the values.
int CompareFieldValues(const Common::Error& left, const Common::Error& right,
                       const std::string& name) {
    const char16_t* leftWide = left.WideField(name.c_str());
    const char16_t* rightWide = right.WideField(name.c_str());
    const char* leftNarrow = leftWide == nullptr ? left.NarrowField(name.c_str()) : nullptr;
    const char* rightNarrow = rightWide == nullptr ? right.NarrowField(name.c_str()) : nullptr;
    const int leftKind = leftWide != nullptr ? 0 : (leftNarrow != nullptr ? 1 : 2);
    const int rightKind = rightWide != nullptr ? 0 : (rightNarrow != nullptr ? 1 : 2);
    if (leftKind != rightKind) {
        return Order(leftKind, rightKind);
    }
    if (leftKind == 0) {
        const std::u16string_view l(leftWide), r(rightWide);
        const int byLength = Order(l.size(), r.size());
        return byLength != 0 ? byLength : Sign(l.compare(r));
    }
    if (leftKind == 1) {
        const std::string_view l(leftNarrow), r(rightNarrow);
        const int byLength = Order(l.size(), r.size());
        return byLength != 0 ? byLength : Sign(l.compare(r));
    }
    return Order(left.NumberField(name.c_str()), right.NumberField(name.c_str()));
}

// Takes the next name off a comma-separated list.
std::string_view NextName(std::string_view& list) {
    const size_t comma = list.find(',');
    const std::string_view name = list.substr(0, comma);
    list.remove_prefix(comma == std::string_view::npos ? list.size() : comma + 1);
    return name;
}

int CompareFields(const Common::Error& left, const Common::Error& right) {
    std::string_view leftNames = left.FieldNames();
    std::string_view rightNames = right.FieldNames();
    while (!leftNames.empty() && !rightNames.empty()) {
        const std::string_view leftName = NextName(leftNames);
        const int byName = Sign(leftName.compare(NextName(rightNames)));
        if (byName != 0) {
            return byName;
        }
        const int byValue = CompareFieldValues(left, right, std::string(leftName));
        if (byValue != 0) {
            return byValue;
        }
    }
    // A shorter list (no list at all included) orders first.
    return Order(!leftNames.empty(), !rightNames.empty());
}

}  // namespace

int32_t CompareErrors(const Common::Error& left, const Common::Error& right) {
    // The codes decide first, down both chains; equal chains are then decided by the named
    // fields, from the deepest reason up to the heads.
    std::vector<std::pair<Common::Error, Common::Error>> records;
    Common::Error l = left;
    Common::Error r = right;
    while (true) {
        const int byCode = Order(l.Code(), r.Code());
        if (byCode != 0) {
            return byCode;
        }
        if (l.IsEmpty()) {
            break;
        }
        Common::Error leftReason = l.Reason();
        Common::Error rightReason = r.Reason();
        records.emplace_back(std::move(l), std::move(r));
        l = std::move(leftReason);
        r = std::move(rightReason);
    }
    for (auto it = records.rbegin(); it != records.rend(); ++it) {
        const int byFields = CompareFields(it->first, it->second);
        if (byFields != 0) {
            return byFields;
        }
    }
    return 0;
}

int32_t CompareUnits(const View::Unit& left, const View::Unit& right) {
    return CompareUnitsIn<false>(left, right);
}

int32_t CompareValues(const View::Unit& left, const View::Unit& right) {
    return CompareValuesIn<false>(left, right);
}

int32_t CompareTraits(const View::Unit& left, const View::Unit& right) {
    return CompareTraitsIn<false>(left, right);
}

bool UnitLess(const View::Unit& left, const View::Unit& right) {
    return CompareUnits(left, right) == -1;
}

int32_t CompareUnitsTotal(const View::Unit& left, const View::Unit& right) {
    return CompareUnitsIn<true>(left, right);
}

}  // namespace Zaph::Util
