#include "enterprise/common/zaph/decorators.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "enterprise/common/zaph/compare.h"
#include "enterprise/common/zaph/tests/unit_builders.h"
#include "enterprise/common/zaph/unit_utilities.h"

namespace {

using namespace ZaphTest;
using testing::ElementsAre;
using Zaph::View::ExcludeTraitUnit;
using Zaph::View::PropertyRemovingUnitDecorator;

UnitPtr TaggedUnit() {
    UnitPtr unit = DWord(5);
    unit = WithTrait(std::move(unit), "K", Str(u"k1"));
    unit = WithTrait(std::move(unit), "K", Str(u"k2"));
    unit = WithTrait(std::move(unit), "L", Nil());
    unit = WithTrait(std::move(unit), "M", Nil());
    return unit;
}

size_t CountNamed(const Zaph::View::Unit& unit, const char* name) {
    size_t count = 0;
    auto counter = Zaph::MakeProcessor<const Zaph::View::Trait>([&](const auto&) {
        ++count;
        return false;
    });
    unit.GetTraits().ForEachNamed(name, counter);
    return count;
}

TEST(Decorators, TraitsOfOneNameHiddenOrAloneShown) {
    const UnitPtr unit = TaggedUnit();
    const ExcludeTraitUnit excluded(*unit, "K");
    EXPECT_THAT(TraitNames(excluded), ElementsAre("L", "M"));
    EXPECT_EQ(CountNamed(excluded, "K"), 0u);
    EXPECT_EQ(CountNamed(excluded, "L"), 1u);
    EXPECT_EQ(Zaph::Util::CompareValues(excluded, *unit), 0);
    EXPECT_EQ(Zaph::Util::CompareTraits(excluded, *unit), -1);  // fewer traits order first

    const Zaph::View::SieveTraitsUnit sieved(*unit, "K", false);
    EXPECT_THAT(TraitNames(sieved), ElementsAre("K", "K"));
    EXPECT_EQ(CountNamed(sieved, "M"), 0u);
    // Stopping the enumeration stops the underlying one.
    size_t seen = 0;
    auto first = Zaph::MakeProcessor<const Zaph::View::Trait>([&](const auto&) {
        ++seen;
        return true;
    });
    sieved.GetTraits().ForEach(first);
    EXPECT_EQ(seen, 1u);
}

TEST(Decorators, PropertyRemovingSkipsOneProperty) {
    const UnitPtr unit = WithTrait(
        Composite(Prop{"a", DWord(1)}, Prop{"p", DWord(2)}, Prop{"q", DWord(3)}), "T", Nil());
    const PropertyRemovingUnitDecorator decorated(*unit, "p");
    EXPECT_TRUE(Zaph::Util::UnitsEqual(
        decorated, *WithTrait(Composite(Prop{"a", DWord(1)}, Prop{"q", DWord(3)}), "T", Nil())));
    struct Reader : Zaph::View::NullVisitor {
        using NullVisitor::Visit;
        void Visit(const Zaph::View::CompositeValue& composite) override {
            auto any =
                Zaph::MakeProcessor<const Zaph::View::Property>([](const auto&) { return false; });
            found = std::string(composite.Find("p", any) ? "p" : "") +
                    (composite.Find("q", any) ? "q" : "");
            for (auto it = composite.GetIterator(); it.IsValid(); it.Next()) {
                iterated += it.Current().GetName().Text();
            }
        }
        std::string found;
        std::string iterated;
    } reader;
    decorated.Accept(reader);
    EXPECT_EQ(reader.found, "q");
    EXPECT_EQ(reader.iterated, "aq");
    // Look-ups keep the composite they are shown past the visit: it lives with the decorator.
    EXPECT_TRUE(Zaph::Util::HasProperty(&decorated, "q"));
    EXPECT_FALSE(Zaph::Util::HasProperty(&decorated, "p"));
    // Removing the first or the last property.
    EXPECT_TRUE(Zaph::Util::ValuesEqual(PropertyRemovingUnitDecorator(*unit, "a"),
                                        *Composite(Prop{"p", DWord(2)}, Prop{"q", DWord(3)})));
    EXPECT_TRUE(Zaph::Util::ValuesEqual(PropertyRemovingUnitDecorator(*unit, "q"),
                                        *Composite(Prop{"a", DWord(1)}, Prop{"p", DWord(2)})));
}

TEST(Decorators, PropertyRemovingPassesOtherKindsUnchanged) {
    const UnitPtr unit = WithTrait(Str(u"text"), "T", Nil());
    EXPECT_TRUE(Zaph::Util::UnitsEqual(PropertyRemovingUnitDecorator(*unit, "p"), *unit));
    EXPECT_TRUE(Zaph::Util::UnitsEqual(Zaph::View::DelegatingUnit(*unit), *unit));
}

}  // namespace
