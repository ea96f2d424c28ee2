#include "enterprise/common/zaph/unit_path.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "core/common/text.h"
#include "enterprise/common/zaph/binary_form.h"
#include "enterprise/common/zaph/tests/unit_samples.h"

namespace {

using namespace ZaphTest;
using Zaph::Util::BuildPath;
using Zaph::Util::PutUnitInLocation;

// The names a path walks to, or "root".
class NameCollector final : public Zaph::Util::PathWalker {
  public:
    void OnProperty(const Zaph::Name& name) override { names.emplace_back(name.View()); }
    void OnRoot() override { names.emplace_back("root"); }
    std::vector<std::string> names;
};

std::vector<std::string> Walk(std::u16string_view path) {
    NameCollector collector;
    Zaph::Util::WalkPath(path, collector);
    return collector.names;
}

Common::Error ErrorOfWalk(std::u16string_view path) {
    try {
        Walk(path);
    } catch (const Common::Error& error) {
        return error;
    }
    return {};
}

Zaph::Blob BinaryForm(const Zaph::View::Unit& unit) {
    Zaph::Blob blob;
    Zaph::Util::WriteUnitToBlob(unit, blob);
    return blob;
}

TEST(UnitPath, BuildEscapesAndWalkUnescapes) {
    EXPECT_EQ(BuildPath(u".x", u"a^b"), u".x.a&r;b");
    EXPECT_EQ(BuildPath(u"", u"a.b&c"), u".a&d;b&a;c");
    EXPECT_THAT(Walk(u".a&d;b"), testing::ElementsAre("a.b"));
    EXPECT_THAT(Walk(u""), testing::ElementsAre("root"));
    EXPECT_THAT(Walk(u".a.b"), testing::ElementsAre("a", "b"));
    EXPECT_THAT(Walk(u"..a"), testing::ElementsAre("", "a"));
    EXPECT_THAT(Walk(u".a..b"), testing::ElementsAre("a", "", "b"));
    EXPECT_THAT(Walk(u".\u00e9"), testing::ElementsAre("\xc3\xa9"));
}

TEST(UnitPath, NamesRoundTripWhateverTheyHold) {
    // (An empty name can stand only inside a path: a path may not end in '.'.)
    const std::u16string names[] = {u".",   u"^",        u"&",     u"&d;", u"&r;", u"&a;",
                                    u"&&;", u"a.b^c&d;", u"&amp;", u"...", u";&"};
    for (const std::u16string& name : names) {
        const std::u16string path = BuildPath(BuildPath(u"", u"p"), name);
        EXPECT_THAT(Walk(path), testing::ElementsAre("p", Common::ToUtf8(name)))
            << Common::ToUtf8(path);
    }
}

TEST(UnitPath, MalformedPaths) {
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
        const Common::Error error = ErrorOfWalk(c.path);
        EXPECT_EQ(error.Code(), Zaph::Errors::kGeneral) << Common::ToUtf8(c.path);
        EXPECT_EQ(error.Message(), c.message);
    }
    // Nothing reaches the walker from a path that is refused.
    NameCollector collector;
    EXPECT_NE(ErrorCodeOf([&] { Zaph::Util::WalkPath(u".a.b&q;", collector); }), 0u);
    EXPECT_TRUE(collector.names.empty());
}

TEST(PutUnitInLocation, CreatesTheCompositesOnTheWay) {
    UnitPtr root = Composite(Prop{"keep", Nil()});
    PutUnitInLocation(root, u".a.b&d;c.d", *DWord(7), Factory());
    UnitPtr expected = Composite(Prop{"keep", Nil()},
                                 Prop{"a", Composite(Prop{"b.c", Composite(Prop{"d", DWord(7)})})});
    EXPECT_EQ(BinaryForm(*root), BinaryForm(*expected));

    // Replacing a value on an existing path; a null root becomes a composite.
    PutUnitInLocation(root, u".a", *Str(u"s"), Factory());
    EXPECT_EQ(BinaryForm(*root), BinaryForm(*Composite(Prop{"keep", Nil()}, Prop{"a", Str(u"s")})));
    UnitPtr none;
    PutUnitInLocation(none, u".x", *Nil(), Factory());
    EXPECT_EQ(BinaryForm(*none), BinaryForm(*Composite(Prop{"x", Nil()})));

    // The empty path makes a copy of the unit the root.
    UnitPtr tagged = WithTrait(DWord(1), "K", Nil());
    PutUnitInLocation(root, u"", *tagged, Factory());
    EXPECT_EQ(BinaryForm(*root), BinaryForm(*tagged));
}

TEST(PutUnitInLocation, AUnitFromTheSameTree) {
    // The unit stored is the root itself: it is copied before the root changes.
    UnitPtr root = Composite(Prop{"a", DWord(1)});
    PutUnitInLocation(root, u".b", *root, Factory());
    EXPECT_EQ(BinaryForm(*root), BinaryForm(*Composite(Prop{"a", DWord(1)},
                                                       Prop{"b", Composite(Prop{"a", DWord(1)})})));

    // The unit replaced is the one stored.
    const Zaph::View::Unit& a = Zaph::Util::GetUnitByPath(*root, u".b");
    PutUnitInLocation(root, u".b", a, Factory());
    EXPECT_EQ(BinaryForm(Zaph::Util::GetUnitByPath(*root, u".b")),
              BinaryForm(*Composite(Prop{"a", DWord(1)})));
}

TEST(PutUnitInLocation, ThroughANonCompositeRaisesAndChangesNothing) {
    UnitPtr root = Composite(Prop{"a", Composite(Prop{"n", DWord(1)})});
    const Zaph::Blob before = BinaryForm(*root);
    try {
        PutUnitInLocation(root, u".a.n.x.y", *Nil(), Factory());
        FAIL();
    } catch (const Common::Error& error) {
        EXPECT_EQ(error.Code(), Zaph::Errors::kGeneral);
        EXPECT_EQ(error.Message(),
                  u"ZAPH: An internal error has occurred. Path .a.n contains non composite unit "
                  u"'n'");
    }
    EXPECT_EQ(BinaryForm(*root), before);
    UnitPtr scalar = DWord(1);
    EXPECT_EQ(ErrorCodeOf([&] { PutUnitInLocation(scalar, u".x", *Nil(), Factory()); }),
              Zaph::Errors::kGeneral);
    EXPECT_EQ(ErrorCodeOf([&] { PutUnitInLocation(root, u"x", *Nil(), Factory()); }),
              Zaph::Errors::kGeneral);
    EXPECT_EQ(BinaryForm(*root), before);
}

TEST(GetUnitByPath, FindsOrNamesTheMissingBranch) {
    UnitPtr root = Composite(Prop{"a", Composite(Prop{"b.c", DWord(3)})}, Prop{"n", Nil()});
    EXPECT_EQ(&Zaph::Util::GetUnitByPath(*root, u""), root.get());
    EXPECT_EQ(Zaph::Util::GetValue<uint32_t>(Zaph::Util::GetUnitByPath(*root, u".a.b&d;c")), 3u);
    try {
        Zaph::Util::GetUnitByPath(*root, u".a.x.y");
        FAIL();
    } catch (const Common::Error& error) {
        EXPECT_EQ(error.Code(), Zaph::Errors::kBranchNotFound);
        EXPECT_EQ(error.Message(), u"ZAPH: Branch '.a.x' cannot be found.");
    }
    EXPECT_EQ(ErrorCodeOf([&] { Zaph::Util::GetUnitByPath(*root, u".n.x"); }),
              Zaph::Errors::kBranchNotFound);
}

}  // namespace
