#include "enterprise/common/zaph/binary_form.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <string>

#include "enterprise/common/zaph/compare.h"
#include "enterprise/common/zaph/tests/unit_samples.h"
#include "enterprise/common/zaph/unit_hash.h"

namespace {

using namespace ZaphTest;
using namespace Zaph::Util;
using testing::ElementsAre;

Md5Digest OpenSslMd5(const Zaph::Blob& bytes) {
    Md5Digest digest{};
    unsigned int size = 0;
    EXPECT_EQ(EVP_Digest(bytes.data(), bytes.size(), digest.data(), &size, EVP_md5(), nullptr), 1);
    EXPECT_EQ(size, digest.size());
    return digest;
}

TEST(BinaryForm, EveryKindLittleEndian) {
    std::vector<UnitPtr> units = OneOfEveryKind();
    const struct {
        UnitPtr unit;
        Zaph::Blob form;
    } cases[] = {
        {std::move(units[1]), {'U', 1, 1, 'E'}},
        {std::move(units[3]), {'U', 3, 0xfe, 'E'}},
        {std::move(units[5]), {'U', 5, 0xd4, 0xfe, 'E'}},
        {std::move(units[6]), {'U', 6, 0x98, 0xba, 0xdc, 0xfe, 'E'}},
        {std::move(units[8]), {'U', 8, 0x10, 0x32, 0x54, 0x76, 0x98, 0xba, 0xdc, 0xfe, 'E'}},
        {std::move(units[9]), {'U', 9, 0, 0, 0, 0, 0, 0, 0, 0x80, 'E'}},
        {std::move(units[10]), {'U', 10, 0, 0, 0, 0, 0, 0, 0xd0, 0xbf, 'E'}},  // 0xBFD0000000000000
        {std::move(units[11]), {'U', 11, 3, 0, 0, 0, 0, 1, 0xff, 'E'}},
        {std::move(units[12]),
         {'U', 12, 0x33, 0x22, 0x11, 0x00, 0x55, 0x44, 0x77, 0x66, 0x88, 0x99, 0xaa, 0xbb, 0xcc,
          0xdd, 0xee, 0xff, 'E'}},
        {std::move(units[13]), {'U', 13, 8, 0, 0, 0, 't', 0, 0xe9, 0, 'x', 0, 't', 0, 'E'}},
        {std::move(units[15]), {'U', 'A', 'U', 6,   1, 0,   0, 0,   'E', 'U', 13, 6,
                                0,   0,   0,   't', 0, 'w', 0, 'o', 0,   'E', 'E'}},
        {std::move(units[16]), {'U', 'C', 'P', 13, 2, 0, 0, 0, 'a', 0, 'U', 6, 1,   0,  0,
                                0,   'E', 'P', 13, 2, 0, 0, 0, 'b', 0, 'U', 0, 'E', 'E'}},
        {Composite(), {'U', 'C', 'E'}},
        {Array(), {'U', 'A', 'E'}},
    };
    for (const auto& [unit, form] : cases) {
        EXPECT_EQ(BinaryForm(*unit), form) << &unit - &cases[0].unit;
    }

    // An error is its byte form behind a length.
    Common::DynamicBuffer bytes;
    ASSERT_TRUE(GetValue<Common::Error>(*units[14]).Serialize(bytes));
    const Zaph::Blob form = BinaryForm(*units[14]);
    ASSERT_EQ(form.size(), 1 + 1 + 4 + bytes.Size() + 1);
    EXPECT_EQ(form[1], 14);
    EXPECT_EQ(form[2] | form[3] << 8 | form[4] << 16 | form[5] << 24, bytes.Size());
    EXPECT_TRUE(std::equal(bytes.Data(), bytes.Data() + bytes.Size(), form.begin() + 6));
}

TEST(BinaryForm, NamesAreUtf16OfTheirUtf8Text) {
    // A long name and a non-ASCII name take the converting path.
    const std::string longName(100, 'n');
    Zaph::Blob form = BinaryForm(*Composite(Prop{longName.c_str(), Nil()}));
    ASSERT_EQ(form.size(), 4 + 4 + 200 + 4);
    EXPECT_EQ(form[4], 200);
    EXPECT_EQ(form[8], 'n');
    EXPECT_THAT(BinaryForm(*WithTrait(Nil(), "\xc3\xa9\xe2\x82\xac", Nil())),
                ElementsAre('U', 0, 'T', 13, 4, 0, 0, 0, 0xe9, 0, 0xac, 0x20, 'U', 0, 'E', 'E'));
}

TEST(BinaryForm, TraitsFollowTheValueAtEveryLevel) {
    UnitPtr unit = WithTrait(Composite(Prop{"p", WithTrait(Nil(), "A", Nil())}), "B",
                             WithTrait(Nil(), "C", Nil()));
    EXPECT_THAT(BinaryForm(*unit),
                ElementsAre('U', 'C', 'P', 13, 2, 0, 0, 0, 'p', 0, 'U', 0, 'T', 13, 2, 0, 0, 0, 'A',
                            0, 'U', 0, 'E', 'E', 'T', 13, 2, 0, 0, 0, 'B', 0, 'U', 0, 'T', 13, 2, 0,
                            0, 0, 'C', 0, 'U', 0, 'E', 'E', 'E'));
}

// Walks traits first, and does not descend into containers.
class ShallowTraitsFirstGuide final : public TraitValueGuide {
  public:
    void Guide(const Zaph::View::Unit&, TraitValueCrossroad& crossroad) override {
        crossroad.WalkTraits();
        crossroad.WalkValue(false);
    }
};

TEST(WalkUnit, GuidesOrderTheHalvesAndChooseTheDepth) {
    UnitPtr unit = WithTrait(Composite(Prop{"a", Array(DWord(1))}), "K", SDWord(2));
    WalkRecorder valueFirst;
    WalkValueFirstGuide guide;
    WalkUnit(*unit, guide, valueFirst);
    EXPECT_EQ(valueFirst.text, "<CPa<A<6>>TK<7>>");

    WalkRecorder shallow;
    ShallowTraitsFirstGuide traitsFirst;
    WalkUnit(*unit, traitsFirst, shallow);
    EXPECT_EQ(shallow.text, "<TK<7>C>");
}

TEST(Md5, EveryLengthAroundTheBlockBoundariesMatchesOpenSsl) {
    // One object for every message: Finish starts the next. A third of each message is fed byte
    // by byte, the rest at once.
    Md5 md5;
    Zaph::Blob bytes;
    for (size_t length = 0; length <= 300; ++length) {
        const size_t split = length / 3;
        for (size_t i = 0; i < split; ++i) {
            md5.Update(bytes.data() + i, 1);
        }
        md5.Update(bytes.data() + split, length - split);
        EXPECT_EQ(md5.Finish(), OpenSslMd5(bytes)) << length;
        bytes.push_back(static_cast<uint8_t>(length * 7));
    }
}

TEST(ComputeUnitHash, IsMd5OfTheBinaryFormOfRandomUnits) {
    RandomUnits random(1);
    for (int i = 0; i < 300; ++i) {
        UnitPtr unit = random.Make(4);
        EXPECT_EQ(ComputeUnitHash(*unit), OpenSslMd5(BinaryForm(*unit))) << i;
    }
    const Zaph::Blob big(3 << 20, 0x5a);
    UnitPtr blob = Factory().CreateBlob(big);
    EXPECT_EQ(ComputeUnitHash(*blob), OpenSslMd5(BinaryForm(*blob)));
}

TEST(WriteUnitToBlob, AppendsAndLeavesNothingBehindOnFailure) {
    Zaph::Blob blob{0xaa};
    WriteUnitToBlob(*Nil(), blob);
    EXPECT_THAT(blob, ElementsAre(0xaa, 'U', 0, 'E'));

    const UnitPtr deep = Nested(Zaph::kMaxUnitDepth + 1, InArray);
    EXPECT_EQ(ErrorCodeOf([&] { WriteUnitToBlob(*deep, blob); }), Zaph::Errors::kUnitTooDeep);
    EXPECT_THAT(blob, ElementsAre(0xaa, 'U', 0, 'E'));
}

}  // namespace
