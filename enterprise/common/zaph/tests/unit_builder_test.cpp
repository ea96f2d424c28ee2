#include "enterprise/common/zaph/unit_builder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "core/common/text.h"
#include "enterprise/common/zaph/assign.h"
#include "enterprise/common/zaph/binary_form.h"
#include "enterprise/common/zaph/tests/unit_samples.h"
#include "enterprise/common/zaph/unit_path.h"
#include "enterprise/common/zaph/value_access.h"

namespace {

using namespace ZaphTest;
using Zaph::Blob;
using Zaph::Util::FluentUnitBuilder;
using Zaph::Util::UnitAccumulator;

TEST(UnitAccumulator, RootFramesReplaceTheirResult) {
    UnitAccumulator accumulator(Factory());
    EXPECT_EQ(accumulator.TakeResult(), nullptr);
    accumulator.DWord(1);
    accumulator.End();
    accumulator.DWord(2);
    accumulator.End();
    EXPECT_EQ(Zaph::Util::GetValue<uint32_t>(*accumulator.TakeResult()), 2u);
    EXPECT_EQ(accumulator.TakeResult(), nullptr);
    // A root left open gives nothing.
    accumulator.Composite();
    EXPECT_EQ(accumulator.TakeResult(), nullptr);
}

TEST(UnitAccumulator, ExistingPropertiesAreChangedInPlace) {
    // Reopened: a value is assigned, an array grows, a composite gains.
    // clang-format off
    UnitPtr unit = FluentUnitBuilder(Factory())
        .Composite()
            .Property("n").DWord(1).End()
            .Property("list").Array().DWord(1).End().End()
            .Property("c").Composite().Property("x").Nil().End().End()
            .Property("n").DWord(5).End()
            .Property("list").DWord(2).End().End()
            .Property("c").Composite().Property("y").Nil().End().End()
        .End()
        .TakeResult();
    // clang-format on
    UnitPtr expected = Composite(Prop{"n", DWord(5)}, Prop{"list", Array(DWord(1), DWord(2))},
                                 Prop{"c", Composite(Prop{"x", Nil()}, Prop{"y", Nil()})});
    EXPECT_EQ(BinaryForm(*unit), BinaryForm(*expected));

    // A value of another kind cannot replace an existing one.
    FluentUnitBuilder builder(Factory());
    builder.Composite().Property("n").DWord(1).End().Property("n");
    EXPECT_EQ(ErrorCodeOf([&] { builder.String(u"x"); }), Zaph::Errors::kAssignDifferentTypes);
}

TEST(UnitAccumulator, RefusedEvents) {
    // Property on a unit that is not a composite.
    UnitAccumulator onScalar(Factory());
    onScalar.DWord(1);
    EXPECT_EQ(ErrorCodeOf([&] { onScalar.Property("p"); }), Zaph::Errors::kTypeMismatch);

    // Property and Trait before the unit they belong to.
    UnitAccumulator empty(Factory());
    EXPECT_EQ(ErrorCodeOf([&] { empty.Property("p"); }), Zaph::Errors::kNullUnit);
    EXPECT_EQ(ErrorCodeOf([&] { empty.Trait("t"); }), Zaph::Errors::kNullUnit);

    // Closing a trait, a property or the root before a value.
    for (const bool trait : {true, false}) {
        UnitAccumulator accumulator(Factory());
        accumulator.Composite();
        trait ? accumulator.Trait("t") : accumulator.Property("p");
        EXPECT_EQ(ErrorCodeOf([&] { accumulator.End(); }), Zaph::Errors::kNullUnit);
    }
    UnitAccumulator root(Factory());
    EXPECT_EQ(ErrorCodeOf([&] { root.End(); }), Zaph::Errors::kNullUnit);
    // The fresh root frame after the refusal still works.
    root.Nil();
    root.End();
    EXPECT_NE(root.TakeResult(), nullptr);
}

TEST(UnitAccumulator, PropertiesInAnyOrderEndInNameOrder) {
    // Numbers without padding are not in name order ("p10" < "p9"); given backwards, and with
    // names that sort by unsigned byte ("Z" < "a" < "\xC3\xA9").
    std::vector<std::string> names = {"Z", "a", "\xC3\xA9", "p", "pp"};
    for (int i = 0; i < 3000; ++i) {
        names.push_back("p" + std::to_string(i));
    }
    UnitAccumulator accumulator(Factory());
    accumulator.Composite();
    for (size_t i = names.size(); i-- > 0;) {
        accumulator.Property(names[i].c_str());
        accumulator.DWord(static_cast<uint32_t>(i));
        accumulator.End();
    }
    // A repeated Property reopens the pending one: the value is assigned in place.
    accumulator.Property("p17");
    accumulator.DWord(1700000);
    accumulator.End();
    // The root reopened as a composite keeps its pending properties.
    accumulator.Composite();
    accumulator.Property("p1");
    accumulator.DWord(100);
    accumulator.End();
    accumulator.End();
    UnitPtr unit = accumulator.TakeResult();
    ASSERT_NE(unit, nullptr);
    std::vector<std::string> sorted = names;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(PropertyNames(AsComposite(*unit)), sorted);
    for (size_t i = 0; i < names.size(); ++i) {
        const uint32_t expected = names[i] == "p17" ? 1700000 : names[i] == "p1" ? 100 : i;
        ASSERT_EQ(Zaph::Util::GetValue<uint32_t>(Zaph::Util::GetUnitByPath(
                      *unit, Zaph::Util::BuildPath(u"", Common::ToUtf16(names[i])))),
                  expected)
            << names[i];
    }

    // Names given in order are found again as well, before and after one out of order.
    // clang-format off
    UnitPtr small = FluentUnitBuilder(Factory())
        .Composite()
            .Property("a").DWord(1).End()
            .Property("b").DWord(2).End()
            .Property("a").DWord(3).End()
            .Property("0").DWord(4).End()
            .Property("b").DWord(5).End()
        .End()
        .TakeResult();
    // clang-format on
    EXPECT_EQ(BinaryForm(*small), BinaryForm(*Composite(Prop{"0", DWord(4)}, Prop{"a", DWord(3)},
                                                        Prop{"b", DWord(5)})));
}

TEST(UnitAccumulator, DepthIsBounded) {
    UnitAccumulator accumulator(Factory());
    for (uint32_t level = 1; level <= Zaph::kMaxUnitDepth; ++level) {
        accumulator.Array();  // each opens an element of the one before
    }
    EXPECT_EQ(ErrorCodeOf([&] { accumulator.Nil(); }), Zaph::Errors::kUnitTooDeep);
    UnitAccumulator traits(Factory());
    traits.Nil();
    for (uint32_t level = 1; level < Zaph::kMaxUnitDepth; ++level) {
        traits.Trait("t");
        traits.Nil();
    }
    EXPECT_EQ(ErrorCodeOf([&] { traits.Trait("t"); }), Zaph::Errors::kUnitTooDeep);
}

}  // namespace
