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

TEST(UnitPath, BuildEscapesAndWalkUnescapes) {
    EXPECT_EQ(BuildPath(u".x", u"a^b"), u".x.a&r;b");
    EXPECT_EQ(BuildPath(u"", u"a.b&c"), u".a&d;b&a;c");
    EXPECT_THAT(Walk(u""), testing::ElementsAre("root"));
    EXPECT_THAT(Walk(u".a..b"), testing::ElementsAre("a", "", "b"));
    EXPECT_THAT(Walk(u"..a"), testing::ElementsAre("", "a"));
    EXPECT_THAT(Walk(u".\u00e9"), testing::ElementsAre("\xc3\xa9"));
    // Names round-trip whatever they hold (an empty name only inside: a path may not end in
    // '.').
    for (const std::u16string name :
         {u".", u"^", u"&", u"&d;", u"&r;", u"&&;", u"a.b^c&d;", u";&"}) {
        EXPECT_THAT(Walk(BuildPath(BuildPath(u"", u"p"), name)),
                    testing::ElementsAre("p", Common::ToUtf8(name)));
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
        const Common::Error error = ErrorOf([&] { Walk(c.path); });
        EXPECT_EQ(error.Code(), Zaph::Errors::kGeneral) << Common::ToUtf8(c.path);
        EXPECT_EQ(error.Message(), c.message);
    }
    // Nothing reaches the walker from a path that is refused.
    NameCollector collector;
    EXPECT_NE(ErrorCodeOf([&] { Zaph::Util::WalkPath(u".a.b&q;", collector); }), 0u);
    EXPECT_TRUE(collector.names.empty());
}

TEST(PutUnitInLocation, CreatesTheCompositesOnTheWayAndCopiesFirst) {
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
    PutUnitInLocation(root, u".b", Zaph::Util::GetUnitByPath(*root, u".b"), Factory());
    EXPECT_EQ(BinaryForm(*root), BinaryForm(*Composite(Prop{"a", DWord(1)},
                                                       Prop{"b", Composite(Prop{"a", DWord(1)})})));
}

TEST(PutUnitInLocation, ThroughANonCompositeRaisesAndChangesNothing) {
    UnitPtr root = Composite(Prop{"a", Composite(Prop{"n", DWord(1)})});
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
}

TEST(GetUnitByPath, FindsOrNamesTheMissingBranch) {
    UnitPtr root = Composite(Prop{"a", Composite(Prop{"b.c", DWord(3)})}, Prop{"n", Nil()});
    EXPECT_EQ(&Zaph::Util::GetUnitByPath(*root, u""), root.get());
    EXPECT_EQ(Zaph::Util::GetValue<uint32_t>(Zaph::Util::GetUnitByPath(*root, u".a.b&d;c")), 3u);
    const Common::Error error = ErrorOf([&] { Zaph::Util::GetUnitByPath(*root, u".a.x.y"); });
    EXPECT_EQ(error.Code(), Zaph::Errors::kBranchNotFound);
    EXPECT_EQ(error.Message(), u"ZAPH: Branch '.a.x' cannot be found.");
    EXPECT_EQ(ErrorCodeOf([&] { Zaph::Util::GetUnitByPath(*root, u".n.x"); }),
              Zaph::Errors::kBranchNotFound);
}

}  // namespace
