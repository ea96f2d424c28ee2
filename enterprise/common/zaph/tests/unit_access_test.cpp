// Names, unit paths, data accessors, the layered search and the unit utilities.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "enterprise/common/zaph/binary_form.h"
#include "enterprise/common/zaph/data_accessor.h"
#include "enterprise/common/zaph/name.h"
#include "enterprise/common/zaph/search_by_layers.h"
#include "enterprise/common/zaph/tests/unit_samples.h"
#include "enterprise/common/zaph/unit_path.h"
#include "enterprise/common/zaph/unit_utilities.h"
#include "enterprise/common/zaph/value_access.h"

namespace {

using namespace ZaphTest;
using namespace Zaph::Util;
using testing::ElementsAre;
using Zaph::Name;

TEST(UnitUtilities, TraitsPropertiesAndKinds) {
    UnitPtr unit =
        WithTrait(WithTrait(WithTrait(Nil(), "K", Str(u"a")), "K", Str(u"b")), "L", DWord(1));
    EXPECT_EQ(GetValue<uint32_t>(GetUniqueTraitByName(*unit, "L").GetValue()), 1u);
    const Common::Error twice = ErrorOf([&] { GetUniqueTraitByName(*unit, "K"); });
    EXPECT_EQ(twice.Code(), Zaph::Errors::kTraitNotUnique);
    EXPECT_EQ(twice.Message(), u"ZAPH: Trait 'K' is not unique.");
    const Common::Error none = ErrorOf([&] { GetUniqueTraitByName(*unit, "\xc3\xa9"); });
    EXPECT_EQ(none.Code(), Zaph::Errors::kTraitNotFound);
    EXPECT_EQ(none.Message(), u"ZAPH: Trait '\u00e9' cannot be found.");

    unit = WithTrait(Composite(Prop{"p", Nil()}), "K", Str(u"v"));
    EXPECT_TRUE(HasTrait(*unit, "K"));
    EXPECT_FALSE(HasTrait(*unit, "k"));
    EXPECT_TRUE(HasTraitWithValue(*unit, "K", *Str(u"v")));
    // Value equality: the traits of the value do not count, the kind does.
    EXPECT_TRUE(HasTraitWithValue(*unit, "K", *WithTrait(Str(u"v"), "X", Nil())));
    EXPECT_FALSE(HasTraitWithValue(*unit, "K", *Str(u"w")));
    EXPECT_TRUE(HasProperties(*unit));
    EXPECT_FALSE(HasProperties(*Composite()));
    EXPECT_FALSE(HasProperties(*Array(Nil())));
    EXPECT_TRUE(HasProperty(unit.get(), "p"));
    EXPECT_FALSE(HasProperty(unit.get(), "q"));
    EXPECT_FALSE(HasProperty(nullptr, "p"));
    EXPECT_EQ(ErrorCodeOf([] { HasProperty(DWord(1).get(), "p"); }), Zaph::Errors::kTypeMismatch);
    EXPECT_TRUE(IsComposite(*unit));
    EXPECT_FALSE(IsArray(*unit));
    EXPECT_TRUE(IsArray(*Array()));
    EXPECT_FALSE(IsSearchableArray(*Array()));
    EXPECT_TRUE(IsSearchableArray(*WithTrait(Array(), "Searchable", Nil())));
    EXPECT_FALSE(IsSearchableArray(*WithTrait(Composite(), "Searchable", Nil())));

    unit = Composite(Prop{"a", Nil()});
    AddProperty(*unit, Factory().CreateProperty("b", DWord(2)));
    DeletePropertyByName(*unit, "a");
    DeletePropertyByName(*unit, "missing");
    EXPECT_EQ(PropertyNames(AsComposite(*unit)), (std::vector<std::string>{"b"}));
    UnitPtr scalar = DWord(1);
    EXPECT_EQ(ErrorCodeOf([&] { AddProperty(*scalar, Factory().CreateProperty("b", Nil())); }),
              Zaph::Errors::kTypeMismatch);
    EXPECT_EQ(ErrorCodeOf([&] { DeletePropertyByName(*scalar, "b"); }),
              Zaph::Errors::kTypeMismatch);
}

UnitPtr Entry(std::u16string_view key, UnitPtr value) {
    return Composite(Prop{"first", Str(key)}, Prop{"second", std::move(value)});
}

TEST(FindMapElement, FirstEqualKey) {
    UnitPtr map = Array(Entry(u"x", DWord(1)), DWord(7), Entry(u"y", DWord(2)),
                        Entry(u"y", DWord(3)), Entry(u"\u00e9", DWord(4)));
    const Zaph::View::Unit* found = FindMapElement(*map, "y");
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(GetValue<uint32_t>(*found), 2u);
    EXPECT_EQ(GetValue<uint32_t>(*FindMapElement(*map, "\xc3\xa9")), 4u);
    EXPECT_EQ(FindMapElement(*map, "z"), nullptr);
    EXPECT_EQ(FindMapElement(*Array(), "x"), nullptr);
    EXPECT_EQ(ErrorCodeOf([] { FindMapElement(*Composite(), "x"); }), Zaph::Errors::kTypeMismatch);

    const Common::Error broken = ErrorOf([] {
        FindMapElement(*Array(Composite(Prop{"first", Str(u"x")})), "x");
    });
    EXPECT_EQ(broken.Code(), Zaph::Errors::kPropertyNotFound);
    EXPECT_EQ(broken.Message(), u"ZAPH: Property 'second' cannot be found.");
    EXPECT_EQ(ErrorCodeOf([] {
                  FindMapElement(*Array(Composite(Prop{"first", DWord(1)})), "x");
              }),
              Zaph::Errors::kTypeMismatch);
}

std::shared_ptr<Zaph::Construction::Unit> Server() {
    return Composite(Prop{"Server", Composite(Prop{"Port", DWord(443)}, Prop{"Host", Str(u"h")})},
                     Prop{"Flag", Nil()});
}

TEST(DataAccessor, ChainedLookupsChangesAndMissingElements) {
    ConstDataAccessor root(Server());
    ConstDataAccessor port = root["Server"]["Port"];
    root = ConstDataAccessor();
    EXPECT_EQ(port.GetValue<uint32_t>(), 443u);
    root = ConstDataAccessor(Server());
    EXPECT_EQ(root["Server"]["Port"].GetValue<uint32_t>(), 443u);
    EXPECT_EQ(root["Server"]["Host"].GetValue<Zaph::String>(), u"h");
    EXPECT_TRUE(root["Flag"].IsValid());
    EXPECT_FALSE(root["Missing"].IsValid());
    EXPECT_FALSE(root["Missing"]["Port"].IsValid());
    // A scalar has no members; the lookup itself raises nothing.
    EXPECT_FALSE(root["Server"]["Port"]["x"].IsValid());
    EXPECT_EQ(ErrorCodeOf([&] { root["Server"]["Host"].GetValue<uint32_t>(); }),
              Zaph::Errors::kTypeMismatch);

    const ConstDataAccessor small(
        std::shared_ptr<Zaph::Construction::Unit>(Composite(Prop{"a", DWord(1)})));
    const auto missing = small["b"]["c"];
    EXPECT_EQ(ErrorCodeOf([&] { missing.GetUnit(); }), Zaph::Errors::kElementNotFound);
    EXPECT_EQ(MessageOf(ErrorOf([&] { missing.EnsureUnitIsValid(); })),
              "ZAPH: Element 'b' cannot be found. Unit: Root (Composite)\n"
              "  a (unsigned long) = 1");
    EXPECT_EQ(MessageOf(ErrorOf([] { ConstDataAccessor().GetUnit(); })),
              "ZAPH: Element '' cannot be found.");

    // A large root is quoted up to a bound.
    std::shared_ptr<Zaph::Construction::Unit> big = Composite();
    for (int i = 0; i < 1000; ++i) {
        AsComposite(*big).Set(Factory().CreateProperty(std::to_string(i), DWord(i)));
    }
    const std::string message = MessageOf(ErrorOf([&] { ConstDataAccessor(big)["x"].GetUnit(); }));
    EXPECT_LT(message.size(), kMaxQuotedUnitText + 100);
    EXPECT_THAT(message, testing::EndsWith("..."));

    // A changing accessor changes the unit it points at.
    std::shared_ptr<Zaph::Construction::Unit> tree = Server();
    const DataAccessor changing(tree);
    SetValue<uint32_t>(changing["Server"]["Port"].GetUnit(), 80);
    EXPECT_EQ(ConstDataAccessor(tree)["Server"]["Port"].GetValue<uint32_t>(), 80u);
    const DataAccessor inner(tree, changing["Server"].GetUnit());
    EXPECT_EQ(inner["Host"].GetValue<Zaph::String>(), u"h");
    const Common::Error nothing = ErrorOf([&] { changing["Nothing"].GetUnit(); });
    EXPECT_EQ(nothing.Code(), Zaph::Errors::kArrayElementNotFound);
    EXPECT_EQ(MessageOf(nothing), "ZAPH: The array element cannot be found.");
}

// Searches `unit`, naming each unit given to the processor by its DWord value (0 for other
// kinds); stops at `stopAt`.
std::vector<uint32_t> Search(const Zaph::View::Unit& unit, uint32_t stopAt, bool* stopped) {
    std::vector<uint32_t> seen;
    auto record = Zaph::MakeProcessor<const Zaph::View::Unit>([&](const Zaph::View::Unit& u) {
        seen.push_back(GetValueOr<uint32_t>(u, 0));
        return seen.back() == stopAt;
    });
    *stopped = SearchByLayers(unit, record);
    return seen;
}

TEST(SearchByLayers, LevelByLevelInNameAndElementOrderWithoutRecursion) {
    bool stopped = false;
    UnitPtr tree = Composite(Prop{"c", DWord(2)}, Prop{"a", Composite(Prop{"b", DWord(1)})});
    EXPECT_THAT(Search(*tree, 99, &stopped), ElementsAre(0, 0, 2, 1));
    EXPECT_FALSE(stopped);

    UnitPtr mixed = WithTrait(Array(Array(DWord(3), Composite(Prop{"z", DWord(5)})), DWord(4)), "T",
                              DWord(9));  // traits are not searched
    EXPECT_THAT(Search(*mixed, 99, &stopped), ElementsAre(0, 0, 4, 3, 0, 5));
    EXPECT_THAT(Search(*tree, 2, &stopped), ElementsAre(0, 0, 2));  // stops at the first true
    EXPECT_TRUE(stopped);

    // Far deeper than any recursive walk is allowed to go.
    const UnitPtr deep = Nested(5001, InArray, DWord(1));
    EXPECT_EQ(Search(*deep, 1, &stopped).size(), 5001u);
    EXPECT_TRUE(stopped);
}

// The names a path walks to, or "root".
class NameCollector final : public PathWalker {
  public:
    void OnProperty(const Zaph::Name& name) override { names.emplace_back(name.View()); }
    void OnRoot() override { names.emplace_back("root"); }
    std::vector<std::string> names;
};

std::vector<std::string> Walk(std::u16string_view path) {
    NameCollector collector;
    WalkPath(path, collector);
    return collector.names;
}

TEST(UnitPath, BuildEscapesWalkUnescapesAndRefusesMalformedPaths) {
    EXPECT_EQ(BuildPath(u".x", u"a^b"), u".x.a&r;b");
    EXPECT_EQ(BuildPath(u"", u"a.b&c"), u".a&d;b&a;c");
    EXPECT_THAT(Walk(u""), ElementsAre("root"));
    EXPECT_THAT(Walk(u".a..b"), ElementsAre("a", "", "b"));
    EXPECT_THAT(Walk(u"..a"), ElementsAre("", "a"));
    EXPECT_THAT(Walk(u".\u00e9"), ElementsAre("\xc3\xa9"));
    // Names round-trip whatever they hold (an empty name only inside: a path may not end in
    // '.').
    for (const std::u16string name :
         {u".", u"^", u"&", u"&d;", u"&r;", u"&&;", u"a.b^c&d;", u";&"}) {
        EXPECT_THAT(Walk(BuildPath(BuildPath(u"", u"p"), name)),
                    ElementsAre("p", Common::ToUtf8(name)));
    }

    struct Case {
        std::u16string path;
        std::u16string message;
    };
    const Case cases[] = {
        {u"a", u"ZAPH: Beginning of unit path 'a' contains an incorrect symbol."},
        {u".", u"ZAPH: Unit path '.' contains an empty token."},
        {u".a.", u"ZAPH: There is an invalid separator at the end of path '.a.'."},
        {u"..", u"ZAPH: There is an invalid separator at the end of path '..'."},
        {u".a&x;", u"ZAPH: Unit path '.a&x;' contains an unknown escape sequence."},
        {u".a&b", u"ZAPH: Unit path '.a&b' contains an unknown escape sequence."},
        {u".a&", u"ZAPH: Unit path '.a&' contains an unknown escape sequence."},
        {u".a&dd", u"ZAPH: Unit path '.a&dd' contains an unknown escape sequence."},
    };
    for (const Case& c : cases) {
        const Common::Error error = ErrorOf([&] { Walk(c.path); });
        EXPECT_EQ(error.Code(), Zaph::Errors::kGeneral) << Common::ToUtf8(c.path);
        EXPECT_EQ(error.Message(), c.message);
    }
    // Nothing reaches the walker from a path that is refused.
    NameCollector collector;
    EXPECT_NE(ErrorCodeOf([&] { WalkPath(u".a.b&q;", collector); }), 0u);
    EXPECT_TRUE(collector.names.empty());
}

TEST(UnitPath, PlacingAndFindingUnits) {
    UnitPtr root = Composite(Prop{"keep", Nil()});
    PutUnitInLocation(root, u".a.b&d;c.d", *DWord(7), Factory());
    EXPECT_EQ(
        BinaryForm(*root),
        BinaryForm(*Composite(Prop{"keep", Nil()},
                              Prop{"a", Composite(Prop{"b.c", Composite(Prop{"d", DWord(7)})})})));
    // An existing value is replaced; a null root becomes a composite; the empty path makes a
    // copy of the unit the root.
    PutUnitInLocation(root, u".a", *Str(u"s"), Factory());
    EXPECT_EQ(BinaryForm(*root), BinaryForm(*Composite(Prop{"keep", Nil()}, Prop{"a", Str(u"s")})));
    UnitPtr none;
    PutUnitInLocation(none, u".x", *Nil(), Factory());
    EXPECT_EQ(BinaryForm(*none), BinaryForm(*Composite(Prop{"x", Nil()})));
    PutUnitInLocation(root, u"", *WithTrait(DWord(1), "K", Nil()), Factory());
    EXPECT_EQ(BinaryForm(*root), BinaryForm(*WithTrait(DWord(1), "K", Nil())));

    // The unit stored is the root itself, or the unit it replaces: it is copied first.
    root = Composite(Prop{"a", DWord(1)});
    PutUnitInLocation(root, u".b", *root, Factory());
    PutUnitInLocation(root, u".b", GetUnitByPath(*root, u".b"), Factory());
    EXPECT_EQ(BinaryForm(*root), BinaryForm(*Composite(Prop{"a", DWord(1)},
                                                       Prop{"b", Composite(Prop{"a", DWord(1)})})));

    root = Composite(Prop{"a", Composite(Prop{"n", DWord(1)})});
    const Zaph::Blob before = BinaryForm(*root);
    const Common::Error error =
        ErrorOf([&] { PutUnitInLocation(root, u".a.n.x.y", *Nil(), Factory()); });
    EXPECT_EQ(error.Code(), Zaph::Errors::kGeneral);
    EXPECT_EQ(error.Message(),
              u"ZAPH: An internal error has occurred. Path .a.n contains non composite unit 'n'");
    UnitPtr scalar = DWord(1);
    EXPECT_EQ(ErrorCodeOf([&] { PutUnitInLocation(scalar, u".x", *Nil(), Factory()); }),
              Zaph::Errors::kGeneral);
    EXPECT_EQ(ErrorCodeOf([&] { PutUnitInLocation(root, u"x", *Nil(), Factory()); }),
              Zaph::Errors::kGeneral);
    EXPECT_EQ(BinaryForm(*root), before);

    root = Composite(Prop{"a", Composite(Prop{"b.c", DWord(3)})}, Prop{"n", Nil()});
    EXPECT_EQ(&GetUnitByPath(*root, u""), root.get());
    EXPECT_EQ(GetValue<uint32_t>(GetUnitByPath(*root, u".a.b&d;c")), 3u);
    const Common::Error missing = ErrorOf([&] { GetUnitByPath(*root, u".a.x.y"); });
    EXPECT_EQ(missing.Code(), Zaph::Errors::kBranchNotFound);
    EXPECT_EQ(missing.Message(), u"ZAPH: Branch '.a.x' cannot be found.");
    EXPECT_EQ(ErrorCodeOf([&] { GetUnitByPath(*root, u".n.x"); }), Zaph::Errors::kBranchNotFound);
}

TEST(Name, OrderEqualityCopiesAndMoves) {
    EXPECT_LT(Name("Z"), Name("a"));
    EXPECT_LT(Name("ab"), Name("abc"));
    EXPECT_LT(Name(""), Name("a"));
    EXPECT_LT(Name("z"), Name("\xC3\xA9"));  // a byte above 0x7F is not negative
    EXPECT_EQ(Name("b").Compare("a"), 1);
    EXPECT_NE(Name("a"), Name("A"));
    EXPECT_EQ(Name("Name"), Name::WellKnown("Name"));
    EXPECT_EQ(Name(std::string_view("ab\0cd", 5)).View(), "ab");
    EXPECT_TRUE(Name(static_cast<const char*>(nullptr)).IsEmpty());

    static const char kLiteral[] = "Searchable";
    const Name literal = Name::Literal(kLiteral);
    EXPECT_EQ(Name(literal).Text(), kLiteral);  // literals are shared
    const Name owned(std::string("a fairly long property name beyond small strings"));
    const Name ownedCopy = owned;
    EXPECT_NE(ownedCopy.Text(), owned.Text());
    EXPECT_EQ(ownedCopy, owned);

    Name shortName("k");  // held in the string's own small buffer
    Name moved(std::move(shortName));
    EXPECT_STREQ(moved.Text(), "k");
    EXPECT_STREQ(shortName.Text(), "");
    Name assigned;
    assigned = std::move(moved);
    const Name& alias = assigned;
    assigned = alias;  // self-assignment keeps the text
    EXPECT_STREQ(assigned.Text(), "k");
}

}  // namespace
