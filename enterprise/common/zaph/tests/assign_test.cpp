// Assigning units onto others, deep copies and the depth bound of both.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "enterprise/common/zaph/assign.h"
#include "enterprise/common/zaph/compare.h"
#include "enterprise/common/zaph/copy_unit.h"
#include "enterprise/common/zaph/errors.h"
#include "enterprise/common/zaph/tests/unit_samples.h"

namespace {

using namespace ZaphTest;
using namespace Zaph::Util;
using Zaph::kMaxUnitDepth;

Zaph::Construction::Unit& Member(Zaph::Construction::Unit& unit, const char* name) {
    Zaph::Construction::Unit* found = nullptr;
    auto find = Zaph::MakeProcessor<Zaph::Construction::Property>([&](auto& property) {
        found = &property.GetValue();
        return true;
    });
    AsComposite(unit).Find(name, find);
    return *found;
}

Zaph::Construction::Unit& FirstElement(Zaph::Construction::Unit& array) {
    Zaph::Construction::Unit* first = nullptr;
    auto front = Zaph::MakeProcessor<Zaph::Construction::Unit>([&](auto& unit) {
        first = &unit;
        return true;
    });
    AsArray(array).ProcessFront(front);
    return *first;
}

TEST(Assign, EveryPairOfKindsEachCellRaisingItsOwnMismatch) {
    const std::vector<UnitPtr> sources = OneOfEveryKind();
    for (size_t t = 0; t < sources.size(); ++t) {
        for (size_t s = 0; s < sources.size(); ++s) {
            const std::vector<UnitPtr> targets = OneOfEveryKind();
            Zaph::Construction::Unit& target = *targets[t];
            const Zaph::Blob before = BinaryForm(target);
            const uint32_t code = ErrorCodeOf([&] { Assign(target, *sources[s], Factory()); });
            if (t == s) {
                EXPECT_EQ(code, 0u) << t;
                EXPECT_EQ(BinaryForm(target), BinaryForm(*sources[s])) << t;
            } else {
                EXPECT_EQ(code, Zaph::Errors::kAssignDifferentTypes) << t << " " << s;
                EXPECT_EQ(BinaryForm(target), before) << t << " " << s;
            }
        }
    }

    UnitPtr target = DWord(7);
    const Common::Error error =
        ErrorOf([&] { Assign(*target, *Factory().CreateWord(7), Factory()); });
    EXPECT_EQ(error.Code(), Zaph::Errors::kAssignDifferentTypes);
    EXPECT_EQ(error.Message(), u"ZAPH: Cannot assign units of different types.");
    EXPECT_STREQ(error.Place().function,
                 "AssignValue<Modification::ScalarValue<unsigned long>, "
                 "View::ScalarValue<unsigned short>>::Apply");
    const Common::Error other = ErrorOf([&] { Assign(*target, *Str(u"7"), Factory()); });
    EXPECT_NE(other.Place().tag, error.Place().tag);
}

TEST(Assign, CompositesNeedEverySourcePropertyAMismatchChangesNothing) {
    UnitPtr target = Composite(Prop{"a", DWord(0)}, Prop{"b", DWord(5)});
    Assign(*target, *Composite(Prop{"a", DWord(1)}), Factory());
    EXPECT_EQ(BinaryForm(*target),
              BinaryForm(*Composite(Prop{"a", DWord(1)}, Prop{"b", DWord(5)})));
    const Common::Error error = ErrorOf([&] {
        Assign(*target, *Composite(Prop{"a", DWord(2)}, Prop{"c", DWord(2)}), Factory());
    });
    EXPECT_EQ(error.Code(), Zaph::Errors::kAssignDifferentProperties);
    EXPECT_STREQ(error.Place().function, "AssignPropertyFilter::Process");
    EXPECT_EQ(BinaryForm(*target),
              BinaryForm(*Composite(Prop{"a", DWord(1)}, Prop{"b", DWord(5)})));

    UnitPtr array = Array(DWord(9), DWord(9), DWord(9));
    Assign(*array, *Array(DWord(1), Str(u"two")), Factory());
    EXPECT_EQ(BinaryForm(*array), BinaryForm(*Array(DWord(1), Str(u"two"))));
    Assign(*array, *Array(), Factory());
    EXPECT_TRUE(AsArray(*array).IsEmpty());

    const auto makeTarget = [] {
        return Composite(Prop{"a", DWord(0)},
                         Prop{"z", Composite(Prop{"list", Array(DWord(1))}, Prop{"w", DWord(1)})});
    };
    target = makeTarget();
    UnitPtr source =
        Composite(Prop{"a", DWord(5)}, Prop{"z", Composite(Prop{"list", Array(DWord(2), DWord(3))},
                                                           Prop{"w", Factory().CreateWord(1)})});
    EXPECT_EQ(ErrorCodeOf([&] { Assign(*target, *source, Factory()); }),
              Zaph::Errors::kAssignDifferentTypes);
    EXPECT_EQ(BinaryForm(*target), BinaryForm(*makeTarget()));

    EXPECT_EQ(ErrorCodeOf([&] { EnsureUnitsCanBeAssigned(*target, *source); }),
              Zaph::Errors::kAssignDifferentTypes);
    EXPECT_EQ(BinaryForm(*target), BinaryForm(*makeTarget()));
}

TEST(Assign, SourceTraitsMustBeOnTheTargetAtEveryLevel) {
    UnitPtr bare = DWord(1);
    const Common::Error error =
        ErrorOf([&] { Assign(*bare, *WithTrait(DWord(2), "K", Nil()), Factory()); });
    EXPECT_EQ(error.Code(), Zaph::Errors::kAssignDifferentTraits);
    EXPECT_STREQ(error.Place().function, "CheckAssignStrategy::EnsureUnitsCanBeAssigned");

    // A trait of the same name with another value does not count.
    UnitPtr other = WithTrait(DWord(1), "K", Str(u"x"));
    EXPECT_EQ(ErrorCodeOf([&] { Assign(*other, *WithTrait(DWord(2), "K", Str(u"y")), Factory()); }),
              Zaph::Errors::kAssignDifferentTraits);

    // Extra target traits stay, and the target's traits are never replaced.
    UnitPtr tagged = WithTrait(WithTrait(DWord(1), "K", Nil()), "L", Nil());
    Assign(*tagged, *WithTrait(DWord(2), "K", Nil()), Factory());
    EXPECT_EQ(GetValue<uint32_t>(*tagged), 2u);
    EXPECT_EQ(TraitNames(*tagged), (std::vector<std::string>{"K", "L"}));

    UnitPtr nested = Composite(Prop{"p", DWord(0)});
    EXPECT_EQ(
        ErrorCodeOf([&] {
            Assign(*nested, *Composite(Prop{"p", WithTrait(DWord(1), "K", Nil())}), Factory());
        }),
        Zaph::Errors::kAssignDifferentTraits);
}

TEST(Assign, OverlappingSourceAndTargetKeepTheData) {
    // A unit assigned to itself.
    UnitPtr self = Array(DWord(1), Composite(Prop{"x", DWord(2)}));
    Assign(*self, *self, Factory());
    EXPECT_EQ(BinaryForm(*self), BinaryForm(*Array(DWord(1), Composite(Prop{"x", DWord(2)}))));

    // A unit assigned into its own descendant: [[1, 2]] -> the inner array becomes [[1, 2]].
    UnitPtr outer = Array(Array(DWord(1), DWord(2)));
    Zaph::Construction::Unit& inner = FirstElement(*outer);
    Assign(inner, *outer, Factory());
    EXPECT_EQ(BinaryForm(inner), BinaryForm(*Array(Array(DWord(1), DWord(2)))));

    // A descendant assigned to its ancestor: clearing the target's array destroys the source.
    UnitPtr holder = Composite(Prop{"p", Array(Composite(Prop{"p", Array(DWord(5))}))});
    Assign(*holder, FirstElement(Member(*holder, "p")), Factory());
    EXPECT_EQ(BinaryForm(*holder), BinaryForm(*Composite(Prop{"p", Array(DWord(5))})));
}

TEST(CopyUnit, DeepCopiesOutliveTheirSourceErrorsThroughTheirByteForm) {
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

    Common::Error original(COMMON_PLACE("Test::Error"), 0xFA0001, u"message");
    original.AddWindowsError(5);
    UnitPtr unit = Factory().CreateError(original);
    const Common::Error& stored = GetValue<Common::Error>(*unit);
    EXPECT_NE(stored.Head(), original.Head());
    EXPECT_EQ(stored.Code(), original.Code());
    EXPECT_EQ(stored.Message(), u"message");
    EXPECT_EQ(stored.Reason().Code(), original.Reason().Code());
    EXPECT_TRUE(GetValue<Common::Error>(*Factory().CreateError({})).IsEmpty());
}

TEST(Depth, AlgorithmsWorkUpToTheLimitAndRefuseBeyond) {
    const UnitPtr deepest = Nested(kMaxUnitDepth, InComposite);
    const UnitPtr copy = CopyUnit(*deepest, Factory());
    EXPECT_TRUE(UnitsEqual(*deepest, *copy));
    EXPECT_EQ(CompareUnits(*deepest, *copy), 0);
    EXPECT_EQ(CompareUnitsTotal(*deepest, *copy), 0);

    const UnitPtr tooDeep = Nested(kMaxUnitDepth + 1, InComposite);
    const UnitPtr alsoTooDeep = Nested(kMaxUnitDepth + 1, InComposite);
    EXPECT_EQ(ErrorCodeOf([&] { CompareUnits(*tooDeep, *alsoTooDeep); }),
              Zaph::Errors::kUnitTooDeep);
    EXPECT_EQ(ErrorCodeOf([&] { UnitsEqual(*tooDeep, *alsoTooDeep); }), Zaph::Errors::kUnitTooDeep);
    EXPECT_EQ(ErrorOf([&] { CopyUnit(*tooDeep, Factory()); }).Message(),
              u"ZAPH: The unit is nested deeper than 512 levels.");
    // The budget is given back after a refusal.
    EXPECT_EQ(CompareUnits(*deepest, *copy), 0);
    // Trait values count as a level.
    const UnitPtr traits = Nested(kMaxUnitDepth, InTrait);
    EXPECT_TRUE(UnitsEqual(*traits, *CopyUnit(*traits, Factory())));
    const UnitPtr tooDeepTraits = Nested(kMaxUnitDepth + 1, InTrait);
    EXPECT_EQ(ErrorCodeOf([&] { CopyUnit(*tooDeepTraits, Factory()); }),
              Zaph::Errors::kUnitTooDeep);
}

TEST(Depth, VeryDeepTreesAreDestroyedWithoutRecursion) {
    constexpr size_t kDepth = 100000;
    Nested(kDepth, InComposite).reset();
    Nested(kDepth, InArray).reset();
    // Removing a deep trait value destroys its tree too.
    EXPECT_EQ(Nested(kDepth, InTrait)->GetTraits().Remove("T"), 1u);
}

}  // namespace
