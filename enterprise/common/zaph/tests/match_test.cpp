#include "enterprise/common/zaph/match.h"

#include <gtest/gtest.h>

#include <iterator>
#include <limits>
#include <set>
#include <string>

#include "enterprise/common/zaph/data_accessor.h"
#include "enterprise/common/zaph/tests/unit_builders.h"

namespace {

using namespace ZaphTest;
using Zaph::Util::GetPatternByName;
using Zaph::Util::Match;

constexpr uint32_t kPatternError = Zaph::Errors::kPatternError;

// `unit` with the traits (name, value) added, for patterns with several tests.
template <class... Rest>
UnitPtr WithTraits(UnitPtr unit, const char* name, UnitPtr value, Rest... rest) {
    unit = WithTrait(std::move(unit), name, std::move(value));
    if constexpr (sizeof...(Rest) > 0) {
        return WithTraits(std::move(unit), std::move(rest)...);
    } else {
        return unit;
    }
}

UnitPtr Word(uint16_t value) {
    return Factory().CreateWord(value);
}

// The error that `action` raises (empty when it raises none).
template <class F>
Common::Error RaisedBy(F&& action) {
    try {
        action();
    } catch (const Common::Error& error) {
        return error;
    }
    return {};
}

// Runs the registered test `name` directly, without the kind check of Match.
bool RunTest(const char* name, const UnitPtr& source, const UnitPtr& argument) {
    return GetPatternByName(name)(*source, *argument);
}

TEST(Match, NilPatternWithoutTraitsMatchesEverything) {
    const UnitPtr pattern = Nil();
    EXPECT_TRUE(Match(*Nil(), *pattern));
    EXPECT_TRUE(Match(*DWord(7), *pattern));
    EXPECT_TRUE(Match(*Str(u"x"), *pattern));
    EXPECT_TRUE(Match(*Composite(Prop{"a", DWord(1)}), *pattern));
    EXPECT_TRUE(Match(*WithTrait(Array(), "Is", Str(u"T")), *pattern));
}

TEST(Match, NilPatternWithTraitsMatchesOnlyNil) {
    const UnitPtr pattern = WithTrait(Nil(), "AnyValue", Nil());
    EXPECT_TRUE(Match(*Nil(), *pattern));
    EXPECT_TRUE(Match(*WithTrait(Nil(), "K", DWord(1)), *pattern));
    EXPECT_FALSE(Match(*DWord(0), *pattern));
    EXPECT_FALSE(Match(*Composite(), *pattern));
}

TEST(Match, ValuePatternComparesKindAndValueButNotSourceTraits) {
    const UnitPtr pattern = DWord(5);
    EXPECT_TRUE(Match(*DWord(5), *pattern));
    EXPECT_TRUE(Match(*WithTrait(DWord(5), "Is", Str(u"T")), *pattern));
    EXPECT_FALSE(Match(*DWord(6), *pattern));
    EXPECT_FALSE(Match(*Word(5), *pattern));
    EXPECT_FALSE(Match(*SDWord(5), *pattern));
    // Value equality: a NaN is not equal to itself.
    const double nan = std::numeric_limits<double>::quiet_NaN();
    EXPECT_FALSE(Match(*Double(nan), *Double(nan)));
    EXPECT_TRUE(Match(*Array(DWord(1), Str(u"a")), *Array(DWord(1), Str(u"a"))));
    EXPECT_FALSE(Match(*Array(DWord(1)), *Array(DWord(1), DWord(2))));
}

TEST(Match, PatternWithTraitsIgnoresItsOwnValue) {
    const UnitPtr pattern = WithTraits(DWord(100), "GreaterEqual", DWord(3), "Less", DWord(7));
    for (uint32_t value = 0; value < 10; ++value) {
        EXPECT_EQ(Match(*DWord(value), *pattern), value >= 3 && value < 7) << value;
    }
    // The kind still has to agree, whatever the tests would say.
    EXPECT_FALSE(Match(*Word(4), *pattern));
}

TEST(Match, CompositePatternLooksOnlyAtItsOwnProperties) {
    const UnitPtr pattern = Composite(Prop{"x", DWord(1)});
    EXPECT_FALSE(Match(*Composite(), *pattern));
    EXPECT_FALSE(Match(*Composite(Prop{"y", DWord(1)}), *pattern));
    EXPECT_FALSE(Match(*Composite(Prop{"x", DWord(2)}), *pattern));
    EXPECT_TRUE(Match(*Composite(Prop{"x", DWord(1)}), *pattern));
    EXPECT_TRUE(Match(*Composite(Prop{"a", Str(u"extra")}, Prop{"x", DWord(1)},
                                 Prop{"z", Composite(Prop{"deep", Nil()})}),
                      *pattern));
    EXPECT_FALSE(Match(*DWord(1), *pattern));

    // No properties and no traits: every composite, and nothing else.
    EXPECT_TRUE(Match(*Composite(Prop{"q", Nil()}), *Composite()));
    EXPECT_FALSE(Match(*Array(), *Composite()));
}

TEST(Match, NestedCompositePatternsWithTraitsAndProperties) {
    // {Is "Person"} with properties name like "A%" and address {city = "Oslo"}.
    const UnitPtr pattern =
        WithTrait(Composite(Prop{"address", Composite(Prop{"city", Str(u"Oslo")})},
                            Prop{"name", WithTrait(Str(u""), "Like", Str(u"A%"))}),
                  "Is", Str(u"Person"));
    auto person = [](const char16_t* name, const char16_t* city, const char16_t* type) {
        return WithTrait(
            Composite(Prop{"address", Composite(Prop{"city", Str(city)}, Prop{"zip", DWord(1234)})},
                      Prop{"age", DWord(40)}, Prop{"name", Str(name)}),
            "Is", Str(type));
    };
    EXPECT_TRUE(Match(*person(u"Ann", u"Oslo", u"Person"), *pattern));
    EXPECT_FALSE(Match(*person(u"Bob", u"Oslo", u"Person"), *pattern));
    EXPECT_FALSE(Match(*person(u"Ann", u"Bergen", u"Person"), *pattern));
    EXPECT_FALSE(Match(*person(u"Ann", u"Oslo", u"Car"), *pattern));
}

TEST(Match, UnregisteredTraitNameIsAnError) {
    const Common::Error error =
        RaisedBy([] { Match(*DWord(1), *WithTrait(DWord(1), "Equal", DWord(1))); });
    EXPECT_EQ(error.Code(), kPatternError);
    EXPECT_EQ(error.Message(), u"ZAPH: Name 'Equal' of the trait is not registered for pattern.");
    // Names are case-sensitive; the empty name is not registered either.
    EXPECT_EQ(ErrorCodeOf([] { GetPatternByName("is"); }), kPatternError);
    EXPECT_EQ(ErrorCodeOf([] { GetPatternByName(""); }), kPatternError);
    EXPECT_EQ(ErrorCodeOf([] { GetPatternByName("IsX"); }), kPatternError);
    // On a property pattern the error comes out of the nested match.
    EXPECT_EQ(ErrorCodeOf([] {
                  Match(*Composite(Prop{"a", Nil()}),
                        *Composite(Prop{"a", WithTrait(Nil(), "Bogus", Nil())}));
              }),
              kPatternError);
}

TEST(Match, FirstFailingTestEndsTheTraitStep) {
    // Traits run in name order: "Less" fails before the unregistered "Zz" is looked up.
    const UnitPtr pattern = WithTraits(DWord(0), "Zz", Nil(), "Less", DWord(1));
    EXPECT_FALSE(Match(*DWord(5), *pattern));
    EXPECT_EQ(ErrorCodeOf([&] { Match(*DWord(0), *pattern); }), kPatternError);
}

TEST(Match, DeepPatternsRaiseInsteadOfExhaustingTheStack) {
    UnitPtr pattern = Nil();
    for (uint32_t level = 0; level < Zaph::kMaxUnitDepth + 10; ++level) {
        pattern = WithTrait(Nil(), "Not", std::move(pattern));
    }
    EXPECT_EQ(ErrorCodeOf([&] { Match(*Nil(), *pattern); }), Zaph::Errors::kUnitTooDeep);
}

TEST(PatternRegistry, HoldsExactlyTheTwentyNames) {
    const char* const names[] = {"AnyValue",
                                 "Between",
                                 "EqualValue",
                                 "Greater",
                                 "GreaterEqual",
                                 "Less",
                                 "LessEqual",
                                 "IncludedInArray",
                                 "ValueIncludedInArray",
                                 "In",
                                 "ValueIn",
                                 "Is",
                                 "PrimaryKey",
                                 "ForeignKey",
                                 "Source",
                                 "Like",
                                 "Not",
                                 "Or",
                                 "DirectRelative",
                                 "HasIntersection"};
    std::set<Zaph::Util::PatternTest> tests;
    for (const char* name : names) {
        EXPECT_EQ(ErrorCodeOf([&] { tests.insert(GetPatternByName(name)); }), 0u) << name;
    }
    EXPECT_EQ(tests.size(), std::size(names));
}

TEST(PatternRegistry, AnyValueAndEqualValue) {
    EXPECT_TRUE(RunTest("AnyValue", Str(u"x"), DWord(1)));
    EXPECT_TRUE(RunTest("EqualValue", WithTrait(DWord(3), "K", Nil()), DWord(3)));
    EXPECT_FALSE(RunTest("EqualValue", DWord(3), Word(3)));
    EXPECT_FALSE(RunTest("EqualValue", Str(u"ab"), Str(u"abc")));
}

TEST(PatternRegistry, BetweenIncludesBothBounds) {
    auto range = [](UnitPtr from, UnitPtr to) {
        return Composite(Prop{"From", std::move(from)}, Prop{"To", std::move(to)});
    };
    const UnitPtr pattern = WithTrait(DWord(0), "Between", range(DWord(3), DWord(7)));
    for (uint32_t value = 0; value < 10; ++value) {
        EXPECT_EQ(Match(*DWord(value), *pattern), value >= 3 && value <= 7) << value;
    }
    // A source of another kind than To is outside, also when tested directly.
    EXPECT_FALSE(RunTest("Between", SDWord(5), range(DWord(3), DWord(7))));
    // An empty range.
    EXPECT_FALSE(RunTest("Between", DWord(5), range(DWord(7), DWord(3))));
    EXPECT_TRUE(RunTest("Between", Str(u"b"), range(Str(u"a"), Str(u"c"))));
}

TEST(PatternRegistry, BetweenValidatesItsArgument) {
    const Common::Error kinds = RaisedBy([] {
        RunTest("Between", DWord(5), Composite(Prop{"From", DWord(3)}, Prop{"To", Word(7)}));
    });
    EXPECT_EQ(kinds.Code(), kPatternError);
    EXPECT_EQ(kinds.Message(), u"ZAPH: Failed to check range inclusion.");
    // The bounds are checked before the source: a source of any kind raises.
    EXPECT_EQ(
        ErrorCodeOf([] {
            RunTest("Between", Str(u"s"), Composite(Prop{"From", DWord(3)}, Prop{"To", Word(7)}));
        }),
        kPatternError);

    // A missing bound is reported by the accessor that reads it, naming the bound.
    const Common::Error missing = RaisedBy([] {
        RunTest("Between", DWord(5), Composite(Prop{"From", DWord(3)}));
    });
    EXPECT_EQ(missing.Code(), Zaph::Errors::kElementNotFound);
    EXPECT_NE(missing.Message().find(u"'To'"), std::u16string::npos);
    EXPECT_EQ(ErrorCodeOf([] { RunTest("Between", DWord(5), DWord(3)); }),
              Zaph::Errors::kElementNotFound);
}

TEST(PatternRegistry, OrderTestsRequireTheSameKind) {
    EXPECT_TRUE(RunTest("Greater", DWord(5), DWord(4)));
    EXPECT_FALSE(RunTest("Greater", DWord(5), DWord(5)));
    EXPECT_TRUE(RunTest("GreaterEqual", DWord(5), DWord(5)));
    EXPECT_FALSE(RunTest("GreaterEqual", DWord(4), DWord(5)));
    EXPECT_TRUE(RunTest("Less", Str(u"ab"), Str(u"abc")));
    EXPECT_FALSE(RunTest("Less", DWord(5), DWord(5)));
    EXPECT_TRUE(RunTest("LessEqual", DWord(5), DWord(5)));
    EXPECT_FALSE(RunTest("LessEqual", DWord(6), DWord(5)));
    // SDWord orders after DWord as a kind, but the kinds differ: no order test holds.
    for (const char* name : {"Greater", "GreaterEqual", "Less", "LessEqual"}) {
        EXPECT_FALSE(RunTest(name, SDWord(5), DWord(5))) << name;
    }
}

TEST(PatternRegistry, ArrayMembershipByUnitOrValueEquality) {
    auto tagged = [] { return WithTrait(DWord(1), "T", Nil()); };
    // The element carries a trait that the plain DWord 1 does not.
    EXPECT_FALSE(RunTest("IncludedInArray", Array(tagged(), DWord(2)), DWord(1)));
    EXPECT_TRUE(RunTest("IncludedInArray", Array(tagged(), DWord(2)), tagged()));
    EXPECT_TRUE(RunTest("ValueIncludedInArray", Array(tagged(), DWord(2)), DWord(1)));
    EXPECT_FALSE(RunTest("ValueIncludedInArray", Array(DWord(2)), DWord(1)));

    EXPECT_FALSE(RunTest("In", DWord(1), Array(tagged())));
    EXPECT_TRUE(RunTest("In", tagged(), Array(DWord(0), tagged())));
    EXPECT_TRUE(RunTest("ValueIn", DWord(1), Array(tagged())));
    EXPECT_FALSE(RunTest("ValueIn", DWord(1), Array()));

    // The container must be an array.
    EXPECT_FALSE(RunTest("IncludedInArray", DWord(1), DWord(1)));
    EXPECT_FALSE(RunTest("ValueIncludedInArray", DWord(1), DWord(1)));
    EXPECT_FALSE(RunTest("In", DWord(1), DWord(1)));
    EXPECT_FALSE(RunTest("ValueIn", DWord(1), DWord(1)));
}

TEST(PatternRegistry, TraitValueTests) {
    const UnitPtr source = WithTraits(Composite(), "Is", Str(u"Person"), "PrimaryKey", DWord(9),
                                      "ForeignKey", DWord(4), "Source", Str(u"feed"));
    EXPECT_TRUE(RunTest("Is", source, Str(u"Person")));
    EXPECT_FALSE(RunTest("Is", source, Str(u"person")));
    // Value equality: the argument's own traits do not matter.
    EXPECT_TRUE(RunTest("Is", source, WithTrait(Str(u"Person"), "K", Nil())));
    EXPECT_TRUE(RunTest("PrimaryKey", source, DWord(9)));
    EXPECT_FALSE(RunTest("PrimaryKey", source, DWord(4)));
    EXPECT_TRUE(RunTest("ForeignKey", source, DWord(4)));
    EXPECT_FALSE(RunTest("ForeignKey", Composite(), DWord(4)));

    EXPECT_TRUE(RunTest("Source", source, Str(u"feed")));
    EXPECT_FALSE(RunTest("Source", source, Str(u"other")));
    // An argument marked AnyValue asks only for some "Source" trait.
    EXPECT_TRUE(RunTest("Source", source, WithTrait(Str(u"other"), "AnyValue", Nil())));
    EXPECT_FALSE(RunTest("Source", Composite(), WithTrait(Nil(), "AnyValue", Nil())));
}

TEST(PatternRegistry, LikeOnStringsAndArrays) {
    EXPECT_TRUE(RunTest("Like", Str(u"abcd"), Str(u"a_c%")));
    EXPECT_FALSE(RunTest("Like", Str(u"ac"), Str(u"a_c%")));
    EXPECT_TRUE(RunTest("Like", Str(u"anything"), Str(u"")));
    EXPECT_TRUE(RunTest("Like", Str(u"abcbc"), Str(u"%bc")));
    EXPECT_FALSE(RunTest("Like", DWord(1), Str(u"%")));

    auto words = [] { return Array(DWord(7), Str(u"red"), Str(u"green")); };
    EXPECT_FALSE(RunTest("Like", words(), Str(u"gr%")));
    EXPECT_TRUE(RunTest("Like", WithTrait(words(), "Searchable", Nil()), Str(u"gr%")));
    EXPECT_FALSE(RunTest("Like", WithTrait(words(), "Searchable", Nil()), Str(u"blue")));
    EXPECT_FALSE(RunTest("Like", WithTrait(Array(), "Searchable", Nil()), Str(u"")));
    // Elements that are not strings never fit, not even "%".
    EXPECT_FALSE(RunTest("Like", WithTrait(Array(DWord(1)), "Searchable", Nil()), Str(u"%")));

    const Common::Error error = RaisedBy([] { RunTest("Like", Str(u"a"), DWord(1)); });
    EXPECT_EQ(error.Code(), kPatternError);
    EXPECT_EQ(error.Message(), u"ZAPH: Object internal structure mismatch.");
}

TEST(PatternRegistry, NotOfACompositePattern) {
    const UnitPtr pattern =
        WithTrait(Composite(), "Not", Composite(Prop{"x", DWord(1)}, Prop{"y", DWord(2)}));
    EXPECT_FALSE(
        Match(*Composite(Prop{"x", DWord(1)}, Prop{"y", DWord(2)}, Prop{"z", Nil()}), *pattern));
    EXPECT_TRUE(Match(*Composite(Prop{"x", DWord(1)}), *pattern));
    EXPECT_TRUE(Match(*Composite(Prop{"x", DWord(1)}, Prop{"y", DWord(3)}), *pattern));
    // Not of a Nil pattern without traits rejects everything of the pattern's kind.
    EXPECT_FALSE(Match(*Composite(), *WithTrait(Composite(), "Not", Nil())));
}

TEST(PatternRegistry, OrTriesElementsInOrder) {
    EXPECT_TRUE(RunTest("Or", DWord(1), Array()));
    EXPECT_TRUE(RunTest("Or", DWord(1), DWord(2)));
    EXPECT_TRUE(RunTest("Or", DWord(5), Array(DWord(4), DWord(5))));
    EXPECT_FALSE(RunTest("Or", DWord(6), Array(DWord(4), DWord(5))));
    EXPECT_TRUE(RunTest("Or", Str(u"x"), Array(DWord(4), Nil())));
    // The first passing element ends the search before a bad one is reached.
    EXPECT_TRUE(RunTest("Or", DWord(4), Array(DWord(4), WithTrait(DWord(0), "Bad", Nil()))));
    EXPECT_EQ(ErrorCodeOf([] {
                  RunTest("Or", DWord(5), Array(DWord(4), WithTrait(DWord(0), "Bad", Nil())));
              }),
              kPatternError);
}

TEST(PatternRegistry, DirectRelativeIsAPrefixTest) {
    EXPECT_TRUE(RunTest("DirectRelative", Str(u"a/b"), Str(u"a/b")));
    EXPECT_TRUE(RunTest("DirectRelative", Str(u"a/b/c"), Str(u"a/b")));
    EXPECT_TRUE(RunTest("DirectRelative", Str(u"a"), Str(u"")));
    EXPECT_FALSE(RunTest("DirectRelative", Str(u"a/"), Str(u"a/b")));
    EXPECT_FALSE(RunTest("DirectRelative", Str(u"A/b"), Str(u"a")));
    EXPECT_FALSE(RunTest("DirectRelative", DWord(1), Str(u"")));
    EXPECT_EQ(ErrorCodeOf([] { RunTest("DirectRelative", Str(u"a"), Nil()); }), kPatternError);
}

TEST(PatternRegistry, HasIntersectionComparesValuesOfArrays) {
    EXPECT_TRUE(RunTest("HasIntersection", Array(DWord(1), DWord(2)),
                        Array(DWord(3), WithTrait(DWord(2), "K", Nil()))));
    EXPECT_FALSE(RunTest("HasIntersection", Array(DWord(1), DWord(2)), Array(Word(1), DWord(3))));
    EXPECT_FALSE(RunTest("HasIntersection", Array(), Array()));

    const Common::Error source = RaisedBy([] { RunTest("HasIntersection", DWord(1), Array()); });
    EXPECT_EQ(source.Code(), kPatternError);
    EXPECT_EQ(source.Message(), u"ZAPH: Object internal structure mismatch.");
    EXPECT_EQ(ErrorCodeOf([] { RunTest("HasIntersection", Array(), Composite()); }), kPatternError);
}

}  // namespace
