#include "enterprise/common/zaph/unit_builder.h"

#include <gtest/gtest.h>

#include <functional>

#include "enterprise/common/zaph/assign.h"
#include "enterprise/common/zaph/binary_form.h"
#include "enterprise/common/zaph/tests/unit_samples.h"

namespace {

using namespace ZaphTest;
using Zaph::Blob;
using Zaph::Util::FluentUnitBuilder;
using Zaph::Util::UnitAccumulator;

Blob BinaryForm(const Zaph::View::Unit& unit) {
    Blob blob;
    Zaph::Util::WriteUnitToBlob(unit, blob);
    return blob;
}

TEST(UnitAccumulator, AChainOfEventsBuildsTheUnitItDescribes) {
    // clang-format off
    UnitPtr built = FluentUnitBuilder(Factory())
        .Composite()
            .Trait("Is").String(u"Machine").End()
            .Property("Ports")
                .Array()
                    .DWord(80).End()
                    .Array()
                        .Nil().End()
                    .End()
                    .SDWord(-1)
                        .Trait("E").Nil().End()
                    .End()
                .End()
            .Property("Name").String(u"alpha").End()
        .End()
        .TakeResult();
    // clang-format on
    ASSERT_NE(built, nullptr);
    UnitPtr expected = WithTrait(
        Composite(Prop{"Ports", Array(DWord(80), Array(Nil()), WithTrait(SDWord(-1), "E", Nil()))},
                  Prop{"Name", Str(u"alpha")}),
        "Is", Str(u"Machine"));
    EXPECT_EQ(BinaryForm(*built), BinaryForm(*expected));
}

TEST(UnitAccumulator, EveryValueEvent) {
    const std::vector<UnitPtr> units = OneOfEveryKind();
    UnitAccumulator accumulator(Factory());
    accumulator.Array();
    // Each value opens an element of the array, closed by its End.
    const std::function<void()> values[] = {
        [&] { accumulator.Nil(); },
        [&] { accumulator.Boolean(true); },
        [&] { accumulator.Byte(0xfe); },
        [&] { accumulator.SByte(-2); },
        [&] { accumulator.Word(0xfedc); },
        [&] { accumulator.SWord(-300); },
        [&] { accumulator.DWord(0xfedcba98); },
        [&] { accumulator.SDWord(-70000); },
        [&] { accumulator.QWord(0xfedcba9876543210ULL); },
        [&] { accumulator.SQWord(std::numeric_limits<int64_t>::min()); },
        [&] { accumulator.Double(-0.25); },
        [&] {
            accumulator.Blob({0, 1, 0xff});
        },
        [&] { accumulator.Guid(Zaph::Util::GetValue<Zaph::Guid>(*units[12])); },
        [&] { accumulator.String(u"t\u00e9xt"); },
        [&] { accumulator.Error(Zaph::Util::GetValue<Common::Error>(*units[14])); },
    };
    for (const auto& value : values) {
        value();
        accumulator.End();
    }
    EXPECT_FALSE(accumulator.HasResult());  // the array is still open
    accumulator.End();
    ASSERT_TRUE(accumulator.HasResult());
    UnitPtr array = accumulator.TakeResult();
    EXPECT_FALSE(accumulator.HasResult());
    EXPECT_EQ(AsArray(*array).GetSize(), 15u);
    size_t index = 0;
    auto compare = Zaph::MakeProcessor<const Zaph::View::Unit>([&](const Zaph::View::Unit& unit) {
        EXPECT_EQ(BinaryForm(unit), BinaryForm(*units[index])) << index;
        ++index;
        return false;
    });
    AsArray(*array).ForEach(compare);
}

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
    UnitPtr unit = FluentUnitBuilder(Factory())
                       .Composite()
                       .Property("n")
                       .DWord(1)
                       .End()
                       .Property("list")
                       .Array()
                       .DWord(1)
                       .End()
                       .End()
                       .Property("c")
                       .Composite()
                       .Property("x")
                       .Nil()
                       .End()
                       .End()
                       // Reopened: a value is assigned, an array grows, a composite gains.
                       .Property("n")
                       .DWord(5)
                       .End()
                       .Property("list")
                       .DWord(2)
                       .End()
                       .End()
                       .Property("c")
                       .Composite()
                       .Property("y")
                       .Nil()
                       .End()
                       .End()
                       .End()
                       .TakeResult();
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
