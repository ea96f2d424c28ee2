#include "enterprise/common/zaph/copy_unit.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "core/common/text.h"
#include "enterprise/common/zaph/compare.h"
#include "enterprise/common/zaph/errors.h"
#include "enterprise/common/zaph/tests/unit_samples.h"

namespace {

using namespace ZaphTest;
using Zaph::kMaxUnitDepth;
using Zaph::Util::CopyUnit;

TEST(CopyUnit, DeepCopiesAreEqualAndOutliveTheirSource) {
    std::vector<UnitPtr> units = OneOfEveryKind();
    RandomUnits random(3);
    for (int i = 0; i < 100; ++i) {
        units.push_back(random.Make(4));
    }
    for (UnitPtr& source : units) {
        const Zaph::Blob form = BinaryForm(*source);
        const UnitPtr copy = CopyUnit(*source, Factory());
        source.reset();
        EXPECT_EQ(BinaryForm(*copy), form);
    }
}

TEST(CopyUnit, ErrorValuesAreCopiedThroughTheirByteForm) {
    Common::Error original(COMMON_PLACE("Test::Error"), 0xFA0001, u"message");
    original.AddWindowsError(5);
    UnitPtr unit = Factory().CreateError(original);
    const Common::Error& stored = Zaph::Util::GetValue<Common::Error>(*unit);
    EXPECT_NE(stored.Head(), original.Head());
    EXPECT_EQ(stored.Code(), original.Code());
    EXPECT_EQ(stored.Message(), u"message");
    EXPECT_EQ(stored.Reason().Code(), original.Reason().Code());
    EXPECT_TRUE(Zaph::Util::GetValue<Common::Error>(*Factory().CreateError({})).IsEmpty());
}

// A chain of `depth` composites, each the property "p" of the one above.
UnitPtr CompositeChain(size_t depth) {
    UnitPtr unit = Nil();
    for (size_t level = 1; level < depth; ++level) {
        unit = Composite(Prop{"p", std::move(unit)});
    }
    return unit;
}

TEST(Depth, AlgorithmsWorkUpToTheLimitAndRefuseBeyond) {
    const UnitPtr deepest = CompositeChain(kMaxUnitDepth);
    const UnitPtr copy = CopyUnit(*deepest, Factory());
    EXPECT_TRUE(Zaph::Util::UnitsEqual(*deepest, *copy));
    EXPECT_EQ(Zaph::Util::CompareUnits(*deepest, *copy), 0);
    EXPECT_EQ(Zaph::Util::CompareUnitsTotal(*deepest, *copy), 0);

    const UnitPtr tooDeep = CompositeChain(kMaxUnitDepth + 1);
    const UnitPtr alsoTooDeep = CompositeChain(kMaxUnitDepth + 1);
    EXPECT_EQ(ErrorCodeOf([&] { Zaph::Util::CompareUnits(*tooDeep, *alsoTooDeep); }),
              Zaph::Errors::kUnitTooDeep);
    EXPECT_EQ(ErrorCodeOf([&] { Zaph::Util::UnitsEqual(*tooDeep, *alsoTooDeep); }),
              Zaph::Errors::kUnitTooDeep);
    EXPECT_EQ(ErrorOf([&] { CopyUnit(*tooDeep, Factory()); }).Message(),
              u"ZAPH: The unit is nested deeper than 512 levels.");
    // The budget is given back after a refusal.
    EXPECT_EQ(Zaph::Util::CompareUnits(*deepest, *copy), 0);
}

TEST(Depth, TraitValuesCountAsALevel) {
    UnitPtr unit = Nil();
    for (size_t level = 1; level < kMaxUnitDepth; ++level) {
        unit = WithTrait(Nil(), "T", std::move(unit));
    }
    EXPECT_TRUE(Zaph::Util::UnitsEqual(*unit, *CopyUnit(*unit, Factory())));
    UnitPtr tooDeep = WithTrait(Nil(), "T", std::move(unit));
    EXPECT_EQ(ErrorCodeOf([&] { CopyUnit(*tooDeep, Factory()); }), Zaph::Errors::kUnitTooDeep);
}

TEST(Depth, VeryDeepTreesAreDestroyedWithoutRecursion) {
    constexpr size_t kDepth = 100000;
    UnitPtr composites = CompositeChain(kDepth);
    composites.reset();

    UnitPtr arrays = Nil();
    for (size_t level = 1; level < kDepth; ++level) {
        arrays = Array(std::move(arrays), DWord(static_cast<uint32_t>(level)));
    }
    arrays.reset();

    UnitPtr traits = Nil();
    for (size_t level = 1; level < kDepth; ++level) {
        // Nothing to order: each unit gets its first trait.
        traits = WithTrait(Nil(), "T", std::move(traits));
    }
    // Removing a deep trait value destroys its tree too.
    EXPECT_EQ(traits->GetTraits().Remove("T"), 1u);
}

}  // namespace
