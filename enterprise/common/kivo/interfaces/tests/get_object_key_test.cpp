// Object identity: which unit is an object's key, and the id that the dump prints for a key.

#include "enterprise/common/kivo/interfaces/get_object_key.h"

#include <gtest/gtest.h>

#include "enterprise/common/zaph/tests/unit_builders.h"
#include "enterprise/common/zaph/unit_utilities.h"

namespace {

using namespace ZaphTest;
using Zaph::View::SharedUnitPtr;

const char16_t kGuidText[] = u"12345678-BEEF-0102-A0A1-A2A3A4A5A6A7";

UnitPtr GuidUnit() {
    Common::Guid guid;
    EXPECT_TRUE(Common::GuidFromString(kGuidText, guid));
    return Factory().CreateGuid(guid);
}

// A machine whose key is a composite under "Key" marked by a Nil "PrimaryKey" trait.
SharedUnitPtr Machine(std::u16string_view name, uint64_t timeStamp, const char* stamp) {
    UnitPtr key =
        WithTrait(Composite(Prop{"Name", Str(name)}, Prop{stamp, Factory().CreateQWord(timeStamp)}),
                  "PrimaryKey", Nil());
    return SharedUnitPtr(WithTrait(Composite(Prop{"Key", std::move(key)}, Prop{"Owner", Str(name)}),
                                   "Is", Str(u"Machine")));
}

TEST(ObjectId, VersionsShareTheirIdAndAGuidIsItsOwnIdOnlyWhenNotMarkedAsKey) {
    const std::u16string first = Kivo::GetObjectIdText(Machine(u"alpha", 1, "KivoTimeStamp"));
    // The byte order of the hash is what the dump has always printed.
    EXPECT_EQ(first, u"4A60410A-7A56-2CC8-8C38-1D30225D92C9");
    EXPECT_EQ(Kivo::GetObjectIdText(Machine(u"alpha", 987654321, "KivoTimeStamp")), first);
    EXPECT_NE(Kivo::GetObjectIdText(Machine(u"beta", 1, "KivoTimeStamp")), first);
    EXPECT_NE(Kivo::GetObjectIdText(Machine(u"alpha", 1, "TimeStamp")),
              Kivo::GetObjectIdText(Machine(u"alpha", 2, "TimeStamp")));

    const std::u16string primary = Kivo::GetKeyIdText(*WithTrait(GuidUnit(), "PrimaryKey", Nil()));
    const std::u16string foreign = Kivo::GetKeyIdText(*WithTrait(GuidUnit(), "ForeignKey", Nil()));
    EXPECT_EQ(Kivo::GetKeyIdText(*WithTrait(GuidUnit(), "Is", Str(u"Machine"))), kGuidText);
    EXPECT_NE(primary, kGuidText);
    EXPECT_NE(foreign, kGuidText);
    EXPECT_NE(primary, foreign);
    // An object whose "PrimaryKey" trait holds the GUID.
    EXPECT_EQ(
        Kivo::GetObjectIdText(SharedUnitPtr(WithTrait(Composite(), "PrimaryKey", GuidUnit()))),
        kGuidText);
}

TEST(ObjectKey, TheShallowestMarkedUnitOutsideTraitsGivesTheKey) {
    struct {
        UnitPtr object;
        uint32_t key;  // the DWord of the key; 0: no key
    } cases[] = {
        {WithTrait(Composite(Prop{"Name", Str(u"a")}), "PrimaryKey", DWord(42)), 42},
        {WithTrait(DWord(5), "PrimaryKey", Nil()), 5},
        // "A" sorts first but its key is two levels down; "Z" holds one a level down.
        {Composite(Prop{"A", Composite(Prop{"In", WithTrait(DWord(1), "PrimaryKey", Nil())})},
                   Prop{"Z", WithTrait(DWord(2), "PrimaryKey", Nil())}),
         2},
        {Composite(Prop{"List", Array(DWord(0), WithTrait(DWord(3), "PrimaryKey", Nil()))}), 3},
        {WithTrait(Composite(), "Meta", WithTrait(DWord(4), "PrimaryKey", Nil())), 0},
        {WithTrait(DWord(1), "ForeignKey", Nil()), 0},
        {Nil(), 0},
        {nullptr, 0},
    };
    for (auto& [object, key] : cases) {
        SharedUnitPtr shared(std::move(object));
        try {
            SharedUnitPtr found = Kivo::GetObjectKey(shared);
            shared.reset();  // the key keeps the object alive
            EXPECT_EQ(Zaph::Util::GetValue<uint32_t>(*found), key);
        } catch (const Common::Error& error) {
            EXPECT_EQ(key, 0u);
            EXPECT_EQ(error.Code(), Kivo::kObjectIdentificationNotFound);
            EXPECT_EQ(error.Message(), u"KIVO: Object identification cannot be found.");
            EXPECT_STREQ(error.Place().function, "Kivo::GetObjectKey");
        }
    }
}

}  // namespace
