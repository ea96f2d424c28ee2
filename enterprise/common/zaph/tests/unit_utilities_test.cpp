#include "enterprise/common/zaph/unit_utilities.h"

#include <gtest/gtest.h>

#include "core/common/text.h"
#include "enterprise/common/zaph/tests/unit_samples.h"

namespace {

using namespace ZaphTest;
using namespace Zaph::Util;

TEST(GetUniqueTraitByName, ExactlyOne) {
    UnitPtr unit =
        WithTrait(WithTrait(WithTrait(Nil(), "K", Str(u"a")), "K", Str(u"b")), "L", DWord(1));
    EXPECT_EQ(GetValue<uint32_t>(GetUniqueTraitByName(*unit, "L").GetValue()), 1u);
    const Common::Error twice = ErrorOf([&] { GetUniqueTraitByName(*unit, "K"); });
    EXPECT_EQ(twice.Code(), Zaph::Errors::kTraitNotUnique);
    EXPECT_EQ(twice.Message(), u"ZAPH: Trait 'K' is not unique.");
    const Common::Error none = ErrorOf([&] { GetUniqueTraitByName(*unit, "\xc3\xa9"); });
    EXPECT_EQ(none.Code(), Zaph::Errors::kTraitNotFound);
    EXPECT_EQ(none.Message(), u"ZAPH: Trait '\u00e9' cannot be found.");
}

TEST(UnitQuestions, TraitsPropertiesAndKinds) {
    UnitPtr unit = WithTrait(Composite(Prop{"p", Nil()}), "K", Str(u"v"));
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
}

TEST(UnitEdits, AddAndDeleteProperties) {
    UnitPtr unit = Composite(Prop{"a", Nil()});
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

}  // namespace
