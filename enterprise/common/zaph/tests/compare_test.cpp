#include "enterprise/common/zaph/compare.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "enterprise/common/zaph/copy_unit.h"
#include "enterprise/common/zaph/pairing_walkers.h"
#include "enterprise/common/zaph/tests/unit_samples.h"

namespace {

using namespace ZaphTest;
using namespace Zaph::Util;
using testing::ElementsAre;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

struct OrderCase {
    UnitPtr left;
    UnitPtr right;
    int order;    // CompareUnits(left, right)
    int reverse;  // CompareUnits(right, left)
};

TEST(CompareUnits, KindsThenValuesThenTraitSets) {
    auto& f = Factory();
    Zaph::Guid small, large, data3;
    small.Data1 = 0xFF;
    large.Data1 = 0x100;  // stored little-endian: a byte compare would order it first
    data3 = small;
    data3.Data3 = 1;
    Zaph::Guid data4 = small;
    data4.Data4[0] = 0xFF;
    const OrderCase cases[] = {
        {f.CreateSByte(-1), f.CreateSByte(0), -1, 1},
        {f.CreateByte(255), f.CreateByte(0), 1, -1},
        {f.CreateSQWord(INT64_MIN), f.CreateSQWord(INT64_MAX), -1, 1},
        {f.CreateQWord(UINT64_MAX), f.CreateQWord(1), 1, -1},
        {f.CreateSWord(-5), f.CreateSWord(-5), 0, 0},
        {f.CreateBoolean(false), f.CreateBoolean(true), -1, 1},
        // A double with NaN is one both ways; -0 and 0 are equal.
        {Double(1.0), Double(kNaN), 1, 1},
        {Double(kNaN), Double(kNaN), 1, 1},
        {Double(-0.0), Double(0.0), 0, 0},
        {Double(-INFINITY), Double(2.5), -1, 1},
        // Strings and blobs by unsigned code units, a prefix first.
        {Str(u"ab"), Str(u"abc"), -1, 1},
        {Str(u"abc"), Str(u"b"), -1, 1},
        {Str(u"\uFFFF"), Str(u"\U00010000"), 1, -1},
        {f.CreateBlob({1, 2}), f.CreateBlob({1, 2, 0}), -1, 1},
        {f.CreateBlob({0x80}), f.CreateBlob({0x7F, 0xFF}), 1, -1},
        {f.CreateBlob({}), f.CreateBlob({}), 0, 0},
        // GUIDs by their numeric fields.
        {f.CreateGuid(small), f.CreateGuid(large), -1, 1},
        {f.CreateGuid(data4), f.CreateGuid(data3), -1, 1},
        {f.CreateGuid(data3), f.CreateGuid(data3), 0, 0},
        // Arrays shorter first, then element by element.
        {Array(DWord(9)), Array(DWord(1), DWord(1)), -1, 1},
        {Array(DWord(1), DWord(2)), Array(DWord(1), DWord(3)), -1, 1},
        {Array(DWord(1), Str(u"x")), Array(DWord(1), Str(u"x")), 0, 0},
        // Composites: an unpaired name decides before the paired values.
        {Composite(Prop{"a", DWord(1)}), Composite(Prop{"a", DWord(1)}, Prop{"b", DWord(2)}), -1,
         1},
        {Composite(Prop{"a", DWord(5)}), Composite(Prop{"a", DWord(1)}, Prop{"b", DWord(2)}), -1,
         1},
        {Composite(Prop{"a", DWord(1)}, Prop{"c", DWord(3)}),
         Composite(Prop{"a", DWord(1)}, Prop{"b", DWord(2)}), 1, -1},
        {Composite(Prop{"a", DWord(1)}, Prop{"b", DWord(1)}),
         Composite(Prop{"a", DWord(1)}, Prop{"b", DWord(2)}), -1, 1},
        {Composite(), Composite(), 0, 0},
        {Composite(Prop{"", Nil()}), Composite(), 1, -1},
        // Traits decide after the values; paired traits contribute nothing.
        {DWord(1), WithTrait(DWord(1), "K", Nil()), -1, 1},
        {WithTrait(DWord(1), "K", Nil()), WithTrait(DWord(2), "K", Nil()), -1, 1},
        {WithTrait(DWord(1), "K", Nil()), WithTrait(DWord(1), "K", Nil()), 0, 0},
        // Unpaired on both sides: the names decide, then the values; among several unpaired
        // traits of the first name, the one whose value orders first counts.
        {WithTrait(Nil(), "A", Nil()), WithTrait(Nil(), "B", Nil()), -1, 1},
        {WithTrait(Nil(), "K", Str(u"y")), WithTrait(Nil(), "K", Str(u"x")), 1, -1},
        {WithTrait(WithTrait(Nil(), "K", Str(u"z")), "K", Str(u"b")),
         WithTrait(Nil(), "K", Str(u"c")), -1, 1},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        EXPECT_EQ(CompareUnits(*cases[i].left, *cases[i].right), cases[i].order) << i;
        EXPECT_EQ(CompareUnits(*cases[i].right, *cases[i].left), cases[i].reverse) << i;
        EXPECT_EQ(ValuesEqual(*cases[i].left, *cases[i].right),
                  CompareValues(*cases[i].left, *cases[i].right) == 0)
            << i;
        EXPECT_EQ(UnitLess(*cases[i].left, *cases[i].right), cases[i].order == -1) << i;
    }
    // The same object is equal to itself even when it holds NaN.
    const UnitPtr nan = Double(kNaN);
    EXPECT_EQ(CompareUnits(*nan, *nan), 0);

    // DWord 0xFEDCBA98 orders before SDWord -70000: the kinds decide.
    const std::vector<UnitPtr> units = OneOfEveryKind();
    for (size_t i = 0; i + 1 < units.size(); ++i) {
        EXPECT_EQ(CompareUnits(*units[i], *units[i + 1]), -1) << "index " << i;
        EXPECT_EQ(CompareUnits(*units[i + 1], *units[i]), 1) << "index " << i;
        EXPECT_FALSE(ValuesEqual(*units[i], *units[i + 1]));
    }
}

const Common::ErrorFieldType kNarrowPath[] = {Common::ErrorFieldType::Narrow};
const Common::ErrorFieldKind kPathKind{"path,$module", kNarrowPath, 1};

TEST(CompareUnits, ErrorsByCodeThenReasonThenFields) {
    auto& f = Factory();
    const Common::Error five(COMMON_PLACE("Test::Five"), 5);
    const Common::Error seven(COMMON_PLACE("Test::Seven"), 7);
    EXPECT_EQ(CompareUnits(*f.CreateError(five), *f.CreateError(seven)), -1);
    EXPECT_EQ(CompareUnits(*f.CreateError({}), *f.CreateError({})), 0);

    // Same code; the reasons decide.
    Common::Error withSmallReason(COMMON_PLACE("Test::A"), 9);
    withSmallReason.Add(five);
    Common::Error withLargeReason(COMMON_PLACE("Test::B"), 9);
    withLargeReason.Add(seven);
    EXPECT_EQ(CompareErrors(withSmallReason, withLargeReason), -1);
    EXPECT_EQ(CompareErrors(Common::Error(COMMON_PLACE("Test::C"), 9), withSmallReason), -1);

    // Same codes and reasons: the named fields decide; messages and places do not.
    const Common::Error a(COMMON_PLACE("Test::D"), 9, kPathKind, u"", {"a"});
    const Common::Error bb(COMMON_PLACE("Test::E"), 9, kPathKind, u"", {"bb"});
    const Common::Error plain(COMMON_PLACE("Test::F"), 9, "message");
    EXPECT_EQ(CompareErrors(a, bb), -1);    // texts by length first
    EXPECT_EQ(CompareErrors(a, plain), 1);  // no field list orders first
    EXPECT_EQ(CompareErrors(bb, Common::Error(COMMON_PLACE("G"), 9, kPathKind, u"x", {"bb"})), 0);
    EXPECT_EQ(CompareErrors(plain, Common::Error(COMMON_PLACE("H"), 9, "other")), 0);
}

TEST(Equality, ValuesUnitsAndTraits) {
    const UnitPtr tagged =
        WithTrait(Composite(Prop{"p", WithTrait(DWord(1), "A", Nil())}), "B", Array(Str(u"s")));
    const UnitPtr same =
        WithTrait(Composite(Prop{"p", WithTrait(DWord(1), "A", Nil())}), "B", Array(Str(u"s")));
    const UnitPtr untaggedInside = WithTrait(Composite(Prop{"p", DWord(1)}), "B", Array(Str(u"s")));
    EXPECT_TRUE(UnitsEqual(*tagged, *same));
    EXPECT_TRUE(TraitsEqual(*tagged, *untaggedInside));
    // The nested property value differs by its trait: the values are not equal.
    EXPECT_FALSE(ValuesEqual(*tagged, *untaggedInside));
    EXPECT_FALSE(UnitsEqual(*tagged, *WithTrait(Composite(Prop{"p", DWord(1)}), "B", Nil())));
    EXPECT_FALSE(
        TraitsEqual(*WithTrait(Nil(), "K", Double(kNaN)), *WithTrait(Nil(), "K", Double(kNaN))));
}

// Records the calls of a walk as text.
namespace V = Zaph::View;

class Recorder final : public ArrayElementsWalker,
                       public CompositePropertyWalker,
                       public UnitTraitsWalker {
  public:
    explicit Recorder(size_t stopAfter = SIZE_MAX) : stopAfter_(stopAfter) {}
    bool OnPair(const V::Unit& l, const V::Unit& r) override {
        return Note("pair " + Text(l) + Text(r));
    }
    bool OnLeftOnly(const V::Unit& l) override { return Note("left " + Text(l)); }
    bool OnRightOnly(const V::Unit& r) override { return Note("right " + Text(r)); }
    bool OnPair(const V::Property& l, const V::Property&) override {
        return Note("pair " + Text(l));
    }
    bool OnLeftOnly(const V::Property& l) override { return Note("left " + Text(l)); }
    bool OnRightOnly(const V::Property& r) override { return Note("right " + Text(r)); }
    bool OnPair(const V::Trait& l, const V::Trait&) override { return Note("pair " + Text(l)); }
    bool OnLeftOnly(const V::Trait& l) override { return Note("left " + Text(l)); }
    bool OnRightOnly(const V::Trait& r) override { return Note("right " + Text(r)); }
    std::vector<std::string> calls;

  private:
    static std::string Text(const V::Unit& unit) {
        return std::to_string(GetValue<uint32_t>(unit));
    }
    template <class Item>
    static std::string Text(const Item& item) {
        return item.GetName().Text();
    }
    bool Note(std::string call) {
        calls.push_back(std::move(call));
        return calls.size() >= stopAfter_;
    }
    size_t stopAfter_;
};

// An array unit of another implementation than the in-memory holder: a view of units owned
// elsewhere, without traits.
class BorrowedArray final : public Zaph::View::Unit,
                            public Zaph::View::ArrayValue,
                            public Zaph::View::Traits {
  public:
    explicit BorrowedArray(std::vector<const Zaph::View::Unit*> elements)
        : elements_(std::move(elements)) {}
    void Accept(Zaph::View::UnitReader& reader) const override {
        reader.Visit(static_cast<const Zaph::View::ArrayValue&>(*this));
    }
    const Zaph::View::Traits& GetTraits() const override { return *this; }
    bool IsEmpty() const override { return elements_.empty(); }
    size_t GetSize() const override { return elements_.size(); }
    bool ProcessFront(Zaph::ItemProcessor<const Zaph::View::Unit>& p) const override {
        return p.Process(*elements_.front());
    }
    bool ProcessBack(Zaph::ItemProcessor<const Zaph::View::Unit>& p) const override {
        return p.Process(*elements_.back());
    }
    bool ProcessAt(size_t index, Zaph::ItemProcessor<const Zaph::View::Unit>& p) const override {
        return p.Process(*elements_.at(index));
    }
    void ForEach(Zaph::ItemProcessor<const Zaph::View::Unit>& p) const override {
        for (const Zaph::View::Unit* element : elements_) {
            if (p.Process(*element)) {
                return;
            }
        }
    }
    void ForEachNamed(const Zaph::Name&,
                      Zaph::ItemProcessor<const Zaph::View::Trait>&) const override {}
    void ForEach(Zaph::ItemProcessor<const Zaph::View::Trait>&) const override {}

  private:
    std::vector<const Zaph::View::Unit*> elements_;
};

TEST(PairingWalkers, ArraysOfAnyImplementationPairByIndexThenTheLongerRest) {
    const UnitPtr one = DWord(1), two = DWord(2), three = DWord(3);
    const BorrowedArray borrowed({one.get(), two.get(), three.get()});
    UnitPtr held = Array(DWord(7), DWord(8));
    Recorder calls;
    WalkArrayElements(borrowed, AsArray(*held), calls);
    EXPECT_THAT(calls.calls, ElementsAre("pair 17", "pair 28", "left 3"));
    Recorder reversed;
    WalkArrayElements(AsArray(*held), borrowed, reversed);
    EXPECT_THAT(reversed.calls, ElementsAre("pair 71", "pair 82", "right 3"));

    EXPECT_TRUE(UnitsEqual(borrowed, *Array(DWord(1), DWord(2), DWord(3))));
    EXPECT_EQ(CompareUnits(borrowed, *Array(DWord(1), DWord(2), DWord(4))), -1);
    EXPECT_EQ(CompareUnits(*Array(DWord(1), DWord(2), DWord(3)), borrowed), 0);

    UnitPtr left = Array(DWord(1), DWord(2));
    UnitPtr right = Array(DWord(3), DWord(4), DWord(5), DWord(6));
    Recorder all;
    WalkArrayElements(AsArray(*left), AsArray(*right), all);
    EXPECT_THAT(all.calls, ElementsAre("pair 13", "pair 24", "right 5", "right 6"));
    Recorder stopping(3);
    WalkArrayElements(AsArray(*right), AsArray(*left), stopping);
    EXPECT_THAT(stopping.calls, ElementsAre("pair 31", "pair 42", "left 5"));
}

TEST(PairingWalkers, CompositesReportLeftOnlyBeforeRightOnlyTraitsPairByValue) {
    UnitPtr left = Composite(Prop{"a", Nil()}, Prop{"c", Nil()}, Prop{"e", Nil()});
    UnitPtr right = Composite(Prop{"b", Nil()}, Prop{"c", Nil()}, Prop{"d", Nil()});
    Recorder all;
    WalkCompositeProperties(AsComposite(*left), AsComposite(*right), all);
    EXPECT_THAT(all.calls, ElementsAre("left a", "pair c", "left e", "right b", "right d"));
    Recorder stopping(4);
    WalkCompositeProperties(AsComposite(*left), AsComposite(*right), stopping);
    EXPECT_EQ(stopping.calls.size(), 4u);

    left = WithTrait(WithTrait(Nil(), "A", DWord(1)), "B", DWord(1));
    right = WithTrait(WithTrait(Nil(), "A", DWord(2)), "B", DWord(1));
    Recorder traits;
    WalkTraits(*left, *right, traits);
    EXPECT_THAT(traits.calls, ElementsAre("left A", "pair B", "right A"));
    // Stopping in the left pass skips the right pass.
    Recorder first(1);
    WalkTraits(*left, *right, first);
    EXPECT_THAT(first.calls, ElementsAre("left A"));
}

// The order the trait set keeps: total even where the unit order of CompareUnits is not.
TEST(TraitOrder, NaNLastCompositesAndTraitSetsDifferingOnBothSides) {
    UnitPtr unit = Nil();
    for (const double value :
         {kNaN, 1.0, kNaN, -double{INFINITY}, -std::numeric_limits<double>::signaling_NaN()}) {
        unit = WithTrait(std::move(unit), "N", Double(value));
    }
    std::vector<double> values;
    auto collect = Zaph::MakeProcessor<const Zaph::View::Trait>([&](const auto& trait) {
        values.push_back(GetValue<double>(trait.GetValue()));
        return false;
    });
    unit->GetTraits().ForEach(collect);
    ASSERT_EQ(values.size(), 3u);
    EXPECT_EQ(values[0], -INFINITY);
    EXPECT_EQ(values[1], 1.0);
    EXPECT_TRUE(std::isnan(values[2]));
    EXPECT_EQ(unit->GetTraits().Remove("N"), 3u);

    for (int round = 0; round < 2; ++round) {
        unit = WithTrait(std::move(unit), "A", Array(DWord(1), Double(kNaN)));
        unit = WithTrait(std::move(unit), "C", Composite(Prop{"x", Double(kNaN)}));
        unit = WithTrait(std::move(unit), "T", WithTrait(Nil(), "inner", Double(kNaN)));
    }
    EXPECT_THAT(TraitNames(*unit), testing::ElementsAre("A", "C", "T"));
    EXPECT_EQ(CompareUnitsTotal(*Array(DWord(1), Double(7.0)), *Array(DWord(1), Double(kNaN))), -1);

    // CompareUnits orders {c} < {a,c} < {b} < {c}: a cycle a sorted set cannot keep.
    const UnitPtr c = Composite(Prop{"c", Nil()});
    const UnitPtr ac = Composite(Prop{"a", Nil()}, Prop{"c", Nil()});
    const UnitPtr b = Composite(Prop{"b", Nil()});
    EXPECT_EQ(CompareUnits(*c, *ac), -1);
    EXPECT_EQ(CompareUnits(*ac, *b), -1);
    EXPECT_EQ(CompareUnits(*b, *c), -1);
    // The smallest name present on one side decides, and that side orders last.
    EXPECT_EQ(CompareUnitsTotal(*c, *ac), -1);
    EXPECT_EQ(CompareUnitsTotal(*c, *b), -1);
    EXPECT_EQ(CompareUnitsTotal(*b, *ac), -1);  // so {c} < {b} < {a,c}
    EXPECT_EQ(CompareUnitsTotal(*Composite(Prop{"a", DWord(5)}),
                                *Composite(Prop{"a", DWord(1)}, Prop{"b", DWord(2)})),
              -1);

    // Extra traits order last; otherwise the smallest unpaired trait's side orders last.
    EXPECT_EQ(CompareUnitsTotal(*Nil(), *WithTrait(Nil(), "K", Nil())), -1);
    EXPECT_EQ(CompareUnitsTotal(*WithTrait(Nil(), "A", Nil()), *WithTrait(Nil(), "B", Nil())), 1);
    EXPECT_EQ(CompareUnitsTotal(*WithTrait(Nil(), "K", DWord(1)), *WithTrait(Nil(), "K", DWord(2))),
              1);
}

// Units whose unit order misbehaves somewhere: NaN, composites and trait sets that differ on
// both sides, and the same things one level down.
std::vector<UnitPtr> TrickyUnits() {
    return UnitList(
        Double(kNaN), Double(0.0), Double(-0.0), Double(INFINITY), Composite(Prop{"c", Nil()}),
        Composite(Prop{"a", Nil()}, Prop{"c", Nil()}), Composite(Prop{"b", Nil()}),
        Composite(Prop{"a", Double(kNaN)}), Composite(Prop{"a", Double(1.0)}), Array(Double(kNaN)),
        Array(Composite(Prop{"b", Nil()})), Array(Composite(Prop{"a", Nil()}, Prop{"c", Nil()})),
        WithTrait(Nil(), "c", Nil()), WithTrait(WithTrait(Nil(), "a", Nil()), "c", Nil()),
        WithTrait(Nil(), "b", Nil()), WithTrait(Nil(), "a", Double(kNaN)),
        WithTrait(Nil(), "a", Composite(Prop{"b", Nil()})),
        WithTrait(Nil(), "a", Composite(Prop{"a", Nil()}, Prop{"c", Nil()})), Nil());
}

TEST(TraitOrder, IsAStrictWeakOrderAndSetContentsDoNotDependOnInsertionOrder) {
    const std::vector<UnitPtr> units = TrickyUnits();
    const size_t n = units.size();
    std::vector<std::vector<int>> order(n, std::vector<int>(n));
    for (size_t i = 0; i < n; ++i) {
        for (size_t j = 0; j < n; ++j) {
            order[i][j] = CompareUnitsTotal(*units[i], *units[j]);
        }
    }
    for (size_t i = 0; i < n; ++i) {
        EXPECT_EQ(order[i][i], 0) << i;
        for (size_t j = 0; j < n; ++j) {
            EXPECT_EQ(order[i][j], -order[j][i]) << i << " " << j;
            for (size_t k = 0; k < n; ++k) {
                if (order[i][j] <= 0 && order[j][k] <= 0) {
                    EXPECT_LE(order[i][k], 0) << i << " " << j << " " << k;
                }
            }
        }
    }

    UnitPtr forward = Nil();
    UnitPtr backward = Nil();
    for (size_t i = 0; i < units.size(); ++i) {
        forward = WithTrait(std::move(forward), "K", CopyUnit(*units[i], Factory()));
        backward =
            WithTrait(std::move(backward), "K", CopyUnit(*units[units.size() - 1 - i], Factory()));
    }
    // -0.0 and 0.0 are one trait; everything else is distinct.
    EXPECT_EQ(TraitNames(*forward).size(), units.size() - 1);
    EXPECT_EQ(CompareUnitsTotal(*forward, *backward), 0);
    // Enumerated in ascending total order.
    std::vector<const Zaph::View::Unit*> values;
    auto collect = Zaph::MakeProcessor<const Zaph::View::Trait>([&](const auto& trait) {
        values.push_back(&trait.GetValue());
        return false;
    });
    backward->GetTraits().ForEach(collect);
    for (size_t i = 1; i < values.size(); ++i) {
        EXPECT_EQ(CompareUnitsTotal(*values[i - 1], *values[i]), -1) << i;
    }
}

}  // namespace
