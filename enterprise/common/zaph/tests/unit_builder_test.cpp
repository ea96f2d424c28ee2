#include "enterprise/common/zaph/unit_builder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "enterprise/common/zaph/assign.h"
#include "enterprise/common/zaph/binary_form.h"
#include "enterprise/common/zaph/tests/unit_samples.h"
#include "enterprise/common/zaph/value_access.h"

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

// The value of the property `name` of `composite`, or -1 when there is none.
int64_t DWordOf(Zaph::View::CompositeValue& composite, const std::string& name) {
    int64_t value = -1;
    auto read = Zaph::MakeProcessor<const Zaph::View::Property>([&](const auto& property) {
        value = Zaph::Util::GetValue<uint32_t>(property.GetValue());
        return true;
    });
    std::as_const(composite).Find(name.c_str(), read);
    return value;
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
    // A composite property closed and reopened gains properties on both sides of its own.
    accumulator.Property("sub");
    accumulator.Composite();
    accumulator.Property("m");
    accumulator.DWord(1);
    accumulator.End();
    accumulator.End();
    accumulator.Property("sub");
    for (const char* name : {"z", "a", "m"}) {
        accumulator.Property(name);
        accumulator.DWord(2);
        accumulator.End();
    }
    accumulator.End();
    // The root reopened as a composite keeps its pending properties.
    accumulator.Composite();
    accumulator.Property("p1");
    accumulator.DWord(100);
    accumulator.End();
    accumulator.End();
    UnitPtr unit = accumulator.TakeResult();
    ASSERT_NE(unit, nullptr);

    names.push_back("sub");
    std::vector<std::string> sorted = names;
    std::sort(sorted.begin(), sorted.end());
    auto& composite = AsComposite(*unit);
    EXPECT_EQ(PropertyNames(composite), sorted);
    for (size_t i = 0; i + 1 < names.size(); ++i) {
        const int64_t expected = names[i] == "p17" ? 1700000 : names[i] == "p1" ? 100 : int64_t(i);
        ASSERT_EQ(DWordOf(composite, names[i]), expected) << names[i];
    }
    EXPECT_EQ(DWordOf(composite, "p3000"), -1);
    UnitPtr sub = Composite(Prop{"a", DWord(2)}, Prop{"m", DWord(2)}, Prop{"z", DWord(2)});
    auto find = Zaph::MakeProcessor<const Zaph::View::Property>([&](const auto& property) {
        EXPECT_EQ(BinaryForm(property.GetValue()), BinaryForm(*sub));
        return true;
    });
    EXPECT_TRUE(std::as_const(composite).Find("sub", find));

    // The same unit built in name order has the same binary form.
    FluentUnitBuilder inOrder(Factory());
    inOrder.Composite();
    for (const std::string& name : sorted) {
        inOrder.Property(name.c_str());
        if (name == "sub") {
            inOrder.Composite().Property("a").DWord(2).End().Property("m").DWord(2).End();
            inOrder.Property("z").DWord(2).End().End();
            continue;
        }
        const auto at = std::find(names.begin(), names.end(), name) - names.begin();
        inOrder.DWord(static_cast<uint32_t>(DWordOf(composite, names[at]))).End();
    }
    EXPECT_EQ(BinaryForm(*inOrder.End().TakeResult()), BinaryForm(*unit));

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
