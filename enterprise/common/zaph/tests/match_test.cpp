// Matching units against patterns, the registry of pattern tests, and the wildcard they use.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "enterprise/common/zaph/data_accessor.h"
#include "enterprise/common/zaph/match.h"
#include "enterprise/common/zaph/tests/unit_builders.h"
#include "enterprise/common/zaph/wildcard.h"

namespace {

using namespace ZaphTest;
using Zaph::Util::GetPatternByName;
using Zaph::Util::Match;
using Zaph::Util::MatchWildcard;

constexpr uint32_t kPatternError = Zaph::Errors::kPatternError;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

UnitPtr Word(uint16_t value) {
    return Factory().CreateWord(value);
}

UnitPtr Range(UnitPtr from, UnitPtr to) {
    return Composite(Prop{"From", std::move(from)}, Prop{"To", std::move(to)});
}

UnitPtr Person(const char16_t* name, const char16_t* city, const char16_t* type) {
    return WithTrait(
        Composite(Prop{"address", Composite(Prop{"city", Str(city)}, Prop{"zip", DWord(1234)})},
                  Prop{"age", DWord(40)}, Prop{"name", Str(name)}),
        "Is", Str(type));
}

struct MatchCase {
    UnitPtr source;
    UnitPtr pattern;
    bool matches;
};

TEST(Match, SourcesAgainstPatternsUnregisteredNamesAndDepth) {
    // {Is "Person"} with properties name like "A%" and address {city = "Oslo"}.
    auto person = [] {
        return WithTrait(Composite(Prop{"address", Composite(Prop{"city", Str(u"Oslo")})},
                                   Prop{"name", WithTrait(Str(u""), "Like", Str(u"A%"))}),
                         "Is", Str(u"Person"));
    };
    auto between = [] { return WithTrait(DWord(100), "Between", Range(DWord(3), DWord(7))); };
    // Traits of the pattern are tests, and then its own value does not count.
    auto halfOpen = [] {
        return WithTrait(WithTrait(DWord(100), "GreaterEqual", DWord(3)), "Less", DWord(7));
    };
    auto notXY = [] {
        return WithTrait(Composite(), "Not", Composite(Prop{"x", DWord(1)}, Prop{"y", DWord(2)}));
    };
    const MatchCase cases[] = {
        // A Nil pattern without traits matches everything, with traits only Nil.
        {DWord(7), Nil(), true},
        {WithTrait(Array(), "Is", Str(u"T")), Nil(), true},
        {WithTrait(Nil(), "K", DWord(1)), WithTrait(Nil(), "AnyValue", Nil()), true},
        {DWord(0), WithTrait(Nil(), "AnyValue", Nil()), false},
        // A pattern without traits compares kind and value, not the source's traits.
        {WithTrait(DWord(5), "Is", Str(u"T")), DWord(5), true},
        {DWord(6), DWord(5), false},
        {Word(5), DWord(5), false},
        {Double(kNaN), Double(kNaN), false},
        {Array(DWord(1), Str(u"a")), Array(DWord(1), Str(u"a")), true},
        {Array(DWord(1)), Array(DWord(1), DWord(2)), false},
        {DWord(2), halfOpen(), false},
        {DWord(3), halfOpen(), true},
        {DWord(6), halfOpen(), true},
        {DWord(7), halfOpen(), false},
        {Word(4), halfOpen(), false},  // the kind still has to agree
        {DWord(2), between(), false},
        {DWord(3), between(), true},
        {DWord(7), between(), true},
        {DWord(8), between(), false},
        // A composite pattern looks only at its own properties.
        {Composite(), Composite(Prop{"x", DWord(1)}), false},
        {Composite(Prop{"y", DWord(1)}), Composite(Prop{"x", DWord(1)}), false},
        {Composite(Prop{"x", DWord(2)}), Composite(Prop{"x", DWord(1)}), false},
        {Composite(Prop{"a", Str(u"extra")}, Prop{"x", DWord(1)}), Composite(Prop{"x", DWord(1)}),
         true},
        {DWord(1), Composite(Prop{"x", DWord(1)}), false},
        {Composite(Prop{"q", Nil()}), Composite(), true},
        {Array(), Composite(), false},
        {Person(u"Ann", u"Oslo", u"Person"), person(), true},
        {Person(u"Bob", u"Oslo", u"Person"), person(), false},
        {Person(u"Ann", u"Bergen", u"Person"), person(), false},
        {Person(u"Ann", u"Oslo", u"Car"), person(), false},
        {Composite(Prop{"x", DWord(1)}, Prop{"y", DWord(2)}, Prop{"z", Nil()}), notXY(), false},
        {Composite(Prop{"x", DWord(1)}, Prop{"y", DWord(3)}), notXY(), true},
        {Composite(), WithTrait(Composite(), "Not", Nil()), false},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        EXPECT_EQ(Match(*cases[i].source, *cases[i].pattern), cases[i].matches) << i;
    }

    const Common::Error error =
        ErrorOf([] { Match(*DWord(1), *WithTrait(DWord(1), "Equal", DWord(1))); });
    EXPECT_EQ(error.Code(), kPatternError);
    EXPECT_EQ(error.Message(), u"ZAPH: Name 'Equal' of the trait is not registered for pattern.");
    // Names are case-sensitive and exact.
    for (const char* name : {"is", "", "IsX", "Gre"}) {
        EXPECT_EQ(ErrorCodeOf([&] { GetPatternByName(name); }), kPatternError) << name;
    }
    EXPECT_EQ(ErrorCodeOf([] {
                  Match(*Composite(Prop{"a", Nil()}),
                        *Composite(Prop{"a", WithTrait(Nil(), "Bogus", Nil())}));
              }),
              kPatternError);
    // Traits run in name order: "Less" fails before the unregistered "Zz" is looked up.
    const UnitPtr pattern = WithTrait(WithTrait(DWord(0), "Zz", Nil()), "Less", DWord(1));
    EXPECT_FALSE(Match(*DWord(5), *pattern));
    EXPECT_EQ(ErrorCodeOf([&] { Match(*DWord(0), *pattern); }), kPatternError);

    const UnitPtr deep = Nested(Zaph::kMaxUnitDepth + 11, [](UnitPtr unit) {
        return WithTrait(Nil(), "Not", std::move(unit));
    });
    EXPECT_EQ(ErrorCodeOf([&] { Match(*Nil(), *deep); }), Zaph::Errors::kUnitTooDeep);
}

struct TestCase {
    const char* name;
    UnitPtr source;
    UnitPtr argument;
    bool passes;
    uint32_t code = 0;                  // of the error raised instead of an answer
    const char16_t* message = nullptr;  // of that error; nullptr: not checked
};

// Each registered test run directly, without the kind check of Match (every name of the registry
// but Not, which the Match cases run), and the arguments of the wrong shape that make them raise.
TEST(PatternRegistry, EachTest) {
    auto tagged = [] { return WithTrait(DWord(1), "T", Nil()); };
    auto keyed = [] {
        return WithTrait(WithTrait(WithTrait(WithTrait(Composite(), "Is", Str(u"Person")),
                                             "PrimaryKey", DWord(9)),
                                   "ForeignKey", DWord(4)),
                         "Source", Str(u"feed"));
    };
    auto words = [] {
        return WithTrait(Array(DWord(7), Str(u"red"), Str(u"gr")), "Searchable", Nil());
    };
    auto badOr = [] { return Array(DWord(4), WithTrait(DWord(0), "Bad", Nil())); };
    const TestCase cases[] = {
        {"AnyValue", Str(u"x"), DWord(1), true},
        {"EqualValue", WithTrait(DWord(3), "K", Nil()), DWord(3), true},
        {"EqualValue", DWord(3), Word(3), false},
        // A source of another kind than the bounds is outside; an empty range holds nothing.
        {"Between", SDWord(5), Range(DWord(3), DWord(7)), false},
        {"Between", DWord(5), Range(DWord(7), DWord(3)), false},
        {"Between", Str(u"b"), Range(Str(u"a"), Str(u"c")), true},
        {"Greater", DWord(5), DWord(4), true},
        {"Greater", DWord(5), DWord(5), false},
        {"GreaterEqual", DWord(5), DWord(5), true},
        {"GreaterEqual", DWord(4), DWord(5), false},
        {"Less", Str(u"ab"), Str(u"abc"), true},
        {"Less", DWord(5), DWord(5), false},
        {"LessEqual", DWord(5), DWord(5), true},
        {"LessEqual", DWord(6), DWord(5), false},
        // SDWord orders after DWord as a kind, but the kinds differ: no order test holds.
        {"Greater", SDWord(5), DWord(5), false},
        {"GreaterEqual", SDWord(5), DWord(5), false},
        {"Less", DWord(5), SDWord(5), false},
        {"LessEqual", DWord(5), SDWord(5), false},
        // Array membership by unit or by value equality; the container must be an array.
        {"IncludedInArray", Array(tagged(), DWord(2)), DWord(1), false},
        {"IncludedInArray", Array(tagged(), DWord(2)), tagged(), true},
        {"ValueIncludedInArray", Array(tagged(), DWord(2)), DWord(1), true},
        {"ValueIncludedInArray", Array(DWord(2)), DWord(1), false},
        {"In", DWord(1), Array(tagged()), false},
        {"In", tagged(), Array(DWord(0), tagged()), true},
        {"ValueIn", DWord(1), Array(tagged()), true},
        {"ValueIn", DWord(1), Array(), false},
        {"ValueIn", DWord(1), DWord(1), false},
        // Trait values by value equality: the argument's own traits do not count.
        {"Is", keyed(), WithTrait(Str(u"Person"), "K", Nil()), true},
        {"Is", keyed(), Str(u"person"), false},
        {"PrimaryKey", keyed(), DWord(9), true},
        {"PrimaryKey", keyed(), DWord(4), false},
        {"ForeignKey", keyed(), DWord(4), true},
        {"ForeignKey", Composite(), DWord(4), false},
        {"Source", keyed(), Str(u"feed"), true},
        {"Source", keyed(), Str(u"other"), false},
        // An argument marked AnyValue asks only for some "Source" trait.
        {"Source", keyed(), WithTrait(Str(u"other"), "AnyValue", Nil()), true},
        {"Source", Composite(), WithTrait(Nil(), "AnyValue", Nil()), false},
        {"Like", Str(u"abcd"), Str(u"a_c%"), true},
        {"Like", Str(u"ac"), Str(u"a_c%"), false},
        {"Like", DWord(1), Str(u"%"), false},
        // Searchable arrays of strings: some element must fit; other elements never do.
        {"Like", Array(Str(u"gr")), Str(u"gr%"), false},
        {"Like", words(), Str(u"gr%"), true},
        {"Like", words(), Str(u"blue"), false},
        {"Like", WithTrait(Array(), "Searchable", Nil()), Str(u""), false},
        {"Like", WithTrait(Array(DWord(1)), "Searchable", Nil()), Str(u"%"), false},
        // Or: an empty or non-array argument passes; the first passing element ends the search.
        {"Or", DWord(1), Array(), true},
        {"Or", DWord(1), DWord(2), true},
        {"Or", DWord(5), Array(DWord(4), DWord(5)), true},
        {"Or", DWord(6), Array(DWord(4), DWord(5)), false},
        {"Or", Str(u"x"), Array(DWord(4), Nil()), true},
        {"Or", DWord(4), badOr(), true},
        {"DirectRelative", Str(u"a/b/c"), Str(u"a/b"), true},
        {"DirectRelative", Str(u"a"), Str(u""), true},
        {"DirectRelative", Str(u"a/"), Str(u"a/b"), false},
        {"DirectRelative", Str(u"b/a"), Str(u"a"), false},
        {"DirectRelative", DWord(1), Str(u""), false},
        {"HasIntersection", Array(DWord(1), DWord(2)),
         Array(DWord(3), WithTrait(DWord(2), "K", Nil())), true},
        {"HasIntersection", Array(DWord(1), DWord(2)), Array(Word(1), DWord(3)), false},
        {"HasIntersection", Array(), Array(), false},
        // The bounds are checked before the source: a source of any kind raises.
        {"Between", Str(u"s"), Range(DWord(3), Word(7)), false, kPatternError,
         u"ZAPH: Failed to check range inclusion."},
        {"Between", DWord(5), Composite(Prop{"From", DWord(3)}), false,
         Zaph::Errors::kElementNotFound},
        {"Between", DWord(5), DWord(3), false, Zaph::Errors::kElementNotFound},
        {"Like", Str(u"a"), DWord(1), false, kPatternError,
         u"ZAPH: Object internal structure mismatch."},
        {"Or", DWord(5), Array(DWord(4), WithTrait(DWord(0), "Bad", Nil())), false, kPatternError},
        {"DirectRelative", Str(u"a"), Nil(), false, kPatternError},
        {"HasIntersection", DWord(1), Array(), false, kPatternError,
         u"ZAPH: Object internal structure mismatch."},
        {"HasIntersection", Array(), Composite(), false, kPatternError},
    };
    for (const TestCase& c : cases) {
        const Common::Error error = ErrorOf([&] {
            EXPECT_EQ(GetPatternByName(c.name)(*c.source, *c.argument), c.passes) << (&c - cases);
        });
        EXPECT_EQ(error.Code(), c.code) << c.name << " " << (&c - cases);
        if (c.message != nullptr) {
            EXPECT_EQ(error.Message(), c.message) << c.name;
        }
    }
}

// The textbook dynamic programme over all prefixes: slow, obviously right, the reference.
bool ReferenceMatch(std::u16string_view text, std::u16string_view wildcard) {
    if (wildcard.empty()) {
        return true;
    }
    // fits[t]: the first t units of the text fit the wildcard's prefix handled so far.
    std::vector<bool> fits(text.size() + 1, false);
    fits[0] = true;
    for (const char16_t unit : wildcard) {
        std::vector<bool> next(text.size() + 1, false);
        for (size_t t = 0; t <= text.size(); ++t) {
            if (unit == u'%') {
                next[t] = fits[t] || (t > 0 && next[t - 1]);
            } else if (t > 0) {
                next[t] = fits[t - 1] && (unit == u'_' || unit == text[t - 1]);
            }
        }
        fits.swap(next);
    }
    return fits[text.size()];
}

// The work bound of the matcher.
uint64_t Bound(std::u16string_view text, std::u16string_view wildcard) {
    return (text.size() + 1) * (wildcard.size() + 1);
}

TEST(MatchWildcard, AgreesWithTheReferenceOnRandomTexts) {
    std::mt19937 random(20240611);
    const char16_t textUnits[] = {u'a', u'b'};
    const char16_t wildcardUnits[] = {u'a', u'b', u'%', u'_'};
    for (int round = 0; round < 20000; ++round) {
        std::u16string text(random() % 9, u'a');
        for (char16_t& unit : text) {
            unit = textUnits[random() % 2];
        }
        std::u16string wildcard(random() % 7, u'a');
        for (char16_t& unit : wildcard) {
            unit = wildcardUnits[random() % 4];
        }
        uint64_t steps = 0;
        ASSERT_EQ(MatchWildcard(text, wildcard, &steps), ReferenceMatch(text, wildcard))
            << std::string(text.begin(), text.end()) << " / "
            << std::string(wildcard.begin(), wildcard.end());
        ASSERT_LE(steps, Bound(text, wildcard));
    }
}

TEST(MatchWildcard, CodeUnitsCaseAndTheWorkBoundOfPathologicalWildcards) {
    EXPECT_TRUE(MatchWildcard(u"ab.txt.txt", u"%.txt"));
    EXPECT_FALSE(MatchWildcard(u"ABC", u"abc"));
    // A character outside the basic plane is two code units, so two '_'.
    EXPECT_FALSE(MatchWildcard(u"\U0001F600", u"_"));
    EXPECT_TRUE(MatchWildcard(u"\U0001F600", u"__"));
    EXPECT_TRUE(MatchWildcard(u"\u00e9t\u00e9", u"_t_"));
    // NUL is an ordinary code unit.
    EXPECT_TRUE(MatchWildcard(std::u16string_view(u"a\0b", 3), std::u16string_view(u"a_b")));

    const std::u16string text(20000, u'a');
    const std::u16string manyRuns = u"%a%a%a%a%a%a%a%a%b";
    // A long literal tail after the run is retried at every position of the text.
    const std::u16string longTail = u"%" + std::u16string(200, u'a') + u"b";
    for (const std::u16string& wildcard : {manyRuns, longTail}) {
        uint64_t steps = 0;
        EXPECT_FALSE(MatchWildcard(text, wildcard, &steps));
        EXPECT_LE(steps, Bound(text, wildcard));
        EXPECT_TRUE(MatchWildcard(text + u"b", wildcard, &steps));
        EXPECT_LE(steps, Bound(text + u"b", wildcard));
    }
    // Runs that match at once cost one pass over the text.
    uint64_t steps = 0;
    EXPECT_TRUE(MatchWildcard(text, u"%a%a%a%", &steps));
    EXPECT_LE(steps, text.size() + 8);
}

}  // namespace
