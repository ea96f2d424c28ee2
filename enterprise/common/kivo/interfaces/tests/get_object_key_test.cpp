#include "enterprise/common/kivo/interfaces/get_object_key.h"

#include <gtest/gtest.h>

#include "enterprise/common/zaph/tests/unit_builders.h"
#include "enterprise/common/zaph/unit_utilities.h"

namespace {

using namespace ZaphTest;
using Zaph::View::SharedUnitPtr;

SharedUnitPtr Publish(UnitPtr unit) {
    return SharedUnitPtr(std::move(unit));
}

Common::Guid MakeGuid(uint32_t data1) {
    Common::Guid guid;
    guid.Data1 = data1;
    guid.Data2 = 0xBEEF;
    guid.Data3 = 0x0102;
    for (uint8_t i = 0; i < 8; ++i)
        guid.Data4[i] = static_cast<uint8_t>(0xA0 + i);
    return guid;
}

UnitPtr GuidUnit(uint32_t data1) {
    return Factory().CreateGuid(MakeGuid(data1));
}

// A machine record whose key is a composite under "Key" marked by a Nil "PrimaryKey" trait.
SharedUnitPtr Machine(std::u16string_view name, uint64_t timeStamp, std::u16string_view owner) {
    UnitPtr key = WithTrait(
        Composite(Prop{"Name", Str(name)}, Prop{"KivoTimeStamp", Factory().CreateQWord(timeStamp)}),
        "PrimaryKey", Nil());
    return Publish(WithTrait(Composite(Prop{"Key", std::move(key)}, Prop{"Owner", Str(owner)}),
                             "Is", Str(u"Machine")));
}

TEST(ObjectIdTest, VersionsOfOneObjectShareTheirIdWhatElseDiffers) {
    const SharedUnitPtr first = Machine(u"alpha", 1, u"ann");
    const SharedUnitPtr later = Machine(u"alpha", 987654321, u"bob");
    EXPECT_EQ(Kivo::GetObjectIdText(first), Kivo::GetObjectIdText(later));

    const SharedUnitPtr other = Machine(u"beta", 1, u"ann");
    EXPECT_NE(Kivo::GetObjectIdText(first), Kivo::GetObjectIdText(other));

    // The time stamp is left out only by name: a key without one hashes differently from a key
    // whose other properties match but which carries a different property in its place.
    const SharedUnitPtr renamed = Publish(Composite(
        Prop{"Key", WithTrait(Composite(Prop{"Name", Str(u"alpha")}, Prop{"TimeStamp", DWord(1)}),
                              "PrimaryKey", Nil())}));
    EXPECT_NE(Kivo::GetObjectIdText(first), Kivo::GetObjectIdText(renamed));
}

TEST(ObjectIdTest, GuidKeyIsItsOwnIdOnlyWhenItCarriesNoKeyTrait) {
    const UnitPtr plain = GuidUnit(0x12345678);
    EXPECT_EQ(Kivo::GetObjectId(*plain), MakeGuid(0x12345678));
    EXPECT_EQ(Kivo::GetKeyIdText(*plain), u"12345678-BEEF-0102-A0A1-A2A3A4A5A6A7");

    // A trait that does not mark a key does not matter.
    const UnitPtr tagged = WithTrait(GuidUnit(0x12345678), "Is", Str(u"Machine"));
    EXPECT_EQ(Kivo::GetObjectId(*tagged), MakeGuid(0x12345678));

    // Marked as a key, the GUID is hashed like any other key, and each mark hashes differently.
    const UnitPtr primary = WithTrait(GuidUnit(0x12345678), "PrimaryKey", Nil());
    const UnitPtr foreign = WithTrait(GuidUnit(0x12345678), "ForeignKey", Nil());
    EXPECT_NE(Kivo::GetObjectId(*primary), MakeGuid(0x12345678));
    EXPECT_NE(Kivo::GetObjectId(*foreign), MakeGuid(0x12345678));
    EXPECT_NE(Kivo::GetObjectId(*primary), Kivo::GetObjectId(*foreign));
}

TEST(ObjectIdTest, ObjectWhosePrimaryKeyTraitHoldsAGuidPrintsThatGuid) {
    const SharedUnitPtr object =
        Publish(WithTrait(Composite(Prop{"Name", Str(u"alpha")}), "PrimaryKey", GuidUnit(7)));
    EXPECT_EQ(Kivo::GetObjectIdText(object), u"00000007-BEEF-0102-A0A1-A2A3A4A5A6A7");
}

TEST(ObjectKeyTest, KeyIsTheTraitValueOrTheUnitItselfWhenTheValueIsNil) {
    const SharedUnitPtr withValue =
        Publish(WithTrait(Composite(Prop{"Name", Str(u"alpha")}), "PrimaryKey", DWord(42)));
    EXPECT_EQ(Zaph::Util::GetValue<uint32_t>(*Kivo::GetObjectKey(withValue)), 42u);

    const SharedUnitPtr self = Machine(u"alpha", 1, u"ann");
    const SharedUnitPtr key = Kivo::GetObjectKey(self);
    EXPECT_TRUE(Zaph::Util::HasTrait(*key, "PrimaryKey"));
    EXPECT_TRUE(Zaph::Util::HasProperty(key.get(), "Name"));
}

TEST(ObjectKeyTest, ShallowestKeyWinsAndTraitValuesAreNotSearched) {
    // "A" sorts first but its key is two levels down; "Z" holds a key one level down.
    const SharedUnitPtr object = Publish(
        Composite(Prop{"A", Composite(Prop{"Inner", WithTrait(DWord(1), "PrimaryKey", Nil())})},
                  Prop{"Z", WithTrait(DWord(2), "PrimaryKey", Nil())}));
    EXPECT_EQ(Zaph::Util::GetValue<uint32_t>(*Kivo::GetObjectKey(object)), 2u);

    // Keys inside array elements are found.
    const SharedUnitPtr inArray =
        Publish(Composite(Prop{"List", Array(DWord(0), WithTrait(DWord(3), "PrimaryKey", Nil()))}));
    EXPECT_EQ(Zaph::Util::GetValue<uint32_t>(*Kivo::GetObjectKey(inArray)), 3u);

    // A key that only a trait's value carries is not the object's key.
    const SharedUnitPtr hidden =
        Publish(WithTrait(Composite(Prop{"Name", Str(u"x")}), "Meta",
                          Composite(Prop{"Id", WithTrait(DWord(4), "PrimaryKey", Nil())})));
    EXPECT_EQ(ErrorCodeOf([&] { Kivo::GetObjectKey(hidden); }),
              Kivo::kObjectIdentificationNotFound);
}

TEST(ObjectKeyTest, KeyOutlivesTheCallersPointerToTheObject) {
    SharedUnitPtr object = Machine(u"alpha", 1, u"ann");
    const std::u16string expected = Kivo::GetObjectIdText(object);
    const SharedUnitPtr key = Kivo::GetObjectKey(object);
    object.reset();
    EXPECT_EQ(Kivo::GetKeyIdText(*key), expected);
}

TEST(ObjectKeyTest, ObjectsWithoutKeyRaiseTheIdentificationError) {
    for (SharedUnitPtr object : {SharedUnitPtr(), Publish(Nil()), Publish(Composite()),
                                 Publish(WithTrait(DWord(1), "ForeignKey", Nil()))}) {
        try {
            Kivo::GetObjectIdText(object);
            ADD_FAILURE() << "no error";
        } catch (const Common::Error& error) {
            EXPECT_EQ(error.Code(), Kivo::kObjectIdentificationNotFound);
            EXPECT_EQ(error.Message(), u"KIVO: Object identification cannot be found.");
            EXPECT_STREQ(error.Place().function, "Kivo::GetObjectKey");
        }
    }
}

}  // namespace
