// The order the trait set keeps: total even where the unit order of CompareUnits is not.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "enterprise/common/zaph/compare.h"
#include "enterprise/common/zaph/copy_unit.h"
#include "enterprise/common/zaph/tests/unit_builders.h"

namespace {

using namespace ZaphTest;
using Zaph::Util::CompareUnits;
using Zaph::Util::CompareUnitsTotal;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

TEST(TraitOrder, NaNValuesAreOneTraitAndOrderLastAtEveryDepth) {
    UnitPtr unit = Nil();
    for (const double value :
         {kNaN, 1.0, kNaN, -double{INFINITY}, -std::numeric_limits<double>::signaling_NaN()}) {
        unit = WithTrait(std::move(unit), "N", Double(value));
    }
    std::vector<double> values;
    auto collect = Zaph::MakeProcessor<const Zaph::View::Trait>([&](const auto& trait) {
        values.push_back(Zaph::Util::GetValue<double>(trait.GetValue()));
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
}

TEST(TraitOrder, CompositeCycleOfTheUnitOrderIsBroken) {
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
}

// Units whose unit order misbehaves somewhere: NaN, composites and trait sets that differ on
// both sides, and the same things one level down.
std::vector<UnitPtr> TrickyUnits() {
    std::vector<UnitPtr> units;
    units.push_back(Double(kNaN));
    units.push_back(Double(0.0));
    units.push_back(Double(-0.0));
    units.push_back(Double(INFINITY));
    units.push_back(Composite(Prop{"c", Nil()}));
    units.push_back(Composite(Prop{"a", Nil()}, Prop{"c", Nil()}));
    units.push_back(Composite(Prop{"b", Nil()}));
    units.push_back(Composite(Prop{"a", Double(kNaN)}));
    units.push_back(Composite(Prop{"a", Double(1.0)}));
    units.push_back(Array(Double(kNaN)));
    units.push_back(Array(Composite(Prop{"b", Nil()})));
    units.push_back(Array(Composite(Prop{"a", Nil()}, Prop{"c", Nil()})));
    units.push_back(WithTrait(Nil(), "c", Nil()));
    units.push_back(WithTrait(WithTrait(Nil(), "a", Nil()), "c", Nil()));
    units.push_back(WithTrait(Nil(), "b", Nil()));
    units.push_back(WithTrait(Nil(), "a", Double(kNaN)));
    units.push_back(WithTrait(Nil(), "a", Composite(Prop{"b", Nil()})));
    units.push_back(WithTrait(Nil(), "a", Composite(Prop{"a", Nil()}, Prop{"c", Nil()})));
    units.push_back(Nil());
    return units;
}

TEST(TraitOrder, IsAStrictWeakOrderOverTrickyUnits) {
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
}

TEST(TraitOrder, SetContentsDoNotDependOnInsertionOrder) {
    const std::vector<UnitPtr> pool = TrickyUnits();
    UnitPtr forward = Nil();
    UnitPtr backward = Nil();
    for (size_t i = 0; i < pool.size(); ++i) {
        forward = WithTrait(std::move(forward), "K", Zaph::Util::CopyUnit(*pool[i], Factory()));
        backward = WithTrait(std::move(backward), "K",
                             Zaph::Util::CopyUnit(*pool[pool.size() - 1 - i], Factory()));
    }
    // -0.0 and 0.0 are one trait; everything else is distinct.
    EXPECT_EQ(TraitNames(*forward).size(), pool.size() - 1);
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

TEST(TraitOrder, TraitSetsDifferingOnBothSides) {
    // Extra traits order last; otherwise the smallest unpaired trait's side orders last.
    EXPECT_EQ(CompareUnitsTotal(*Nil(), *WithTrait(Nil(), "K", Nil())), -1);
    EXPECT_EQ(CompareUnitsTotal(*WithTrait(Nil(), "A", Nil()), *WithTrait(Nil(), "B", Nil())), 1);
    EXPECT_EQ(CompareUnitsTotal(*WithTrait(Nil(), "K", DWord(1)), *WithTrait(Nil(), "K", DWord(2))),
              1);
}

}  // namespace
