// The binary form: its bytes, its MD5 hash, and units built again from it through the accumulator.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <span>
#include <string>
#include <vector>

#include "enterprise/common/zaph/assign.h"
#include "enterprise/common/zaph/binary_form.h"
#include "enterprise/common/zaph/blob_reader.h"
#include "enterprise/common/zaph/compare.h"
#include "enterprise/common/zaph/tests/unit_samples.h"
#include "enterprise/common/zaph/unit_builder.h"
#include "enterprise/common/zaph/unit_hash.h"

namespace {

using namespace ZaphTest;
using namespace Zaph::Util;
using testing::ElementsAre;
using Zaph::Blob;

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

TEST(BinaryForm, NamesAreUtf16AndTraitsFollowTheValueAtEveryLevel) {
    // A long name and a non-ASCII name take the converting path.
    const std::string longName(100, 'n');
    Zaph::Blob form = BinaryForm(*Composite(Prop{longName.c_str(), Nil()}));
    ASSERT_EQ(form.size(), 4 + 4 + 200 + 4);
    EXPECT_EQ(form[4], 200);
    EXPECT_EQ(form[8], 'n');
    EXPECT_THAT(BinaryForm(*WithTrait(Nil(), "\xc3\xa9\xe2\x82\xac", Nil())),
                ElementsAre('U', 0, 'T', 13, 4, 0, 0, 0, 0xe9, 0, 0xac, 0x20, 'U', 0, 'E', 'E'));

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

TEST(WalkUnit, GuidesOrderTheHalvesAndTheBlobRouteReplaysTheBytes) {
    UnitPtr unit = WithTrait(Composite(Prop{"a", Array(DWord(1))}), "K", SDWord(2));
    WalkRecorder valueFirst;
    WalkValueFirstGuide guide;
    WalkUnit(*unit, guide, valueFirst);
    EXPECT_EQ(valueFirst.text, "<CPa<A<6>>TK<7>>");

    WalkRecorder shallow;
    ShallowTraitsFirstGuide traitsFirst;
    WalkUnit(*unit, traitsFirst, shallow);
    EXPECT_EQ(shallow.text, "<TK<7>C>");

    // The bytes replayed carry no unit.
    WalkRecorder recorder;
    BlobWalkingRoute::Follow(BinaryForm(*unit), recorder);
    EXPECT_EQ(recorder.text, "???CPa?A?6>>TK?7>>");
}

TEST(Md5, MatchesOpenSslAtEveryLengthAndOverTheBinaryFormOfRandomUnits) {
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

UnitPtr Read(std::span<const uint8_t> blob) {
    return ReadUnitFromBlob(blob, Factory());
}

// The corruption error of reading `blob`; fails the test when reading gives anything else.
Common::Error CorruptionOf(std::span<const uint8_t> blob) {
    try {
        Read(blob);
    } catch (const Common::Error& error) {
        EXPECT_EQ(error.Code(), Zaph::Errors::kUnitCorrupted) << MessageOf(error);
        return error;
    }
    ADD_FAILURE() << "no error";
    return {};
}

Blob Concat(std::initializer_list<Blob> parts) {
    Blob all;
    for (const Blob& part : parts) {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

// 'P' or 'T' and the String value of an ASCII name.
Blob NameBytes(uint8_t tag, const std::string& name) {
    Blob bytes{tag, 13, static_cast<uint8_t>(2 * name.size()), 0, 0, 0};
    for (const char c : name) {
        bytes.push_back(static_cast<uint8_t>(c));
        bytes.push_back(0);
    }
    return bytes;
}

TEST(ReadUnitFromBlob, EveryKindAndRandomUnitsRoundTripByteForByte) {
    for (UnitPtr& unit : OneOfEveryKind()) {
        unit = WithTrait(std::move(unit), "K", Composite(Prop{"x", Str(u"y")}));
        const Blob form = BinaryForm(*unit);
        EXPECT_TRUE(UnitsEqual(*Read(form), *unit));
    }
    // NaN is never equal, so the binary forms are compared.
    RandomUnits random(7);
    for (int i = 0; i < 500; ++i) {
        const Blob form = BinaryForm(*random.Make(5));
        EXPECT_EQ(BinaryForm(*Read(form)), form) << i;
    }
    // A Boolean byte of 2 reads as true.
    EXPECT_EQ(BinaryForm(*Read(Blob{'U', 1, 2, 'E'})), (Blob{'U', 1, 1, 'E'}));
}

TEST(ReadUnitFromBlob, DepthUpToTheLimitAndNoFurther) {
    const Blob form = BinaryForm(*Nested(Zaph::kMaxUnitDepth, InTrait));
    EXPECT_EQ(BinaryForm(*Read(form)), form);

    // Arrays nested one level too deep, without any 'U' to count.
    Blob tooDeep(Zaph::kMaxUnitDepth + 1, 'A');
    const Common::Error error = CorruptionOf(tooDeep);
    EXPECT_THAT(MessageOf(error), testing::EndsWith("position '512'."));
}

TEST(ReadUnitFromBlob, CorruptionNamesThePositionAndQuotesAWindow) {
    EXPECT_EQ(MessageOf(CorruptionOf(Blob{'X'})),
              "ZAPH: Unit object '58' is corrupted at position '0'.");
    EXPECT_EQ(MessageOf(CorruptionOf(Blob{})),
              "ZAPH: Unit object '' is corrupted at position '0'.");
    const std::pair<Blob, const char*> cases[] = {
        {{'U', 'C', 'P', 12}, "3"},
        {{'U', 'C'}, "2"},          // the blob ends before its root is closed
        {{'U', 0, 'E', 'U'}, "3"},  // bytes after the root unit
        {{'U', 0, 'E', 'E'}, "3"},
        // A length past the end, an odd string length, a name that is not a string, the byte
        // form of an error that is not one.
        {{'U', 11, 0xff, 0xff, 0xff, 0xff, 1, 'E'}, "1"},
        {{'U', 13, 1, 0, 0, 0, 'a', 'E'}, "1"},
        {{'U', 'C', 'P', 6, 0, 0, 0, 0, 'U', 0, 'E', 'E'}, "3"},
        {{'U', 14, 2, 0, 0, 0, 7, 7, 'E'}, "1"},
    };
    for (const auto& [blob, position] : cases) {
        EXPECT_THAT(MessageOf(CorruptionOf(blob)),
                    testing::EndsWith(std::string("position '") + position + "'."));
    }
    // Every cut inside the value is corrupt (the trailing 'E' alone would be a closed root),
    // among them one byte short of each field. The bytes past the cut stay readable, so a reader
    // that takes a byte past its end shows in the position: a scalar is refused at its type byte.
    const std::vector<UnitPtr> units = OneOfEveryKind();
    for (size_t kind = 0; kind < units.size(); ++kind) {
        const Blob form = BinaryForm(*units[kind]);
        for (size_t cut = 2; cut + 1 < form.size(); ++cut) {
            const std::string message = MessageOf(CorruptionOf(std::span(form.data(), cut)));
            if (kind < Zaph::TypeIndex::Array) {
                EXPECT_THAT(message, testing::EndsWith("position '1'.")) << kind << " " << cut;
            }
        }
    }

    Blob blob(10000, 0);
    blob[0] = 'U';
    blob[5000] = 'X';  // Nils up to here, each assigned to the root
    const std::string message = MessageOf(CorruptionOf(blob));
    EXPECT_LT(message.size(), 2 * kMaxQuotedBlobBytes + 80);
    EXPECT_THAT(message, testing::HasSubstr(std::string("'...").append(64, '0').append("58")));
    EXPECT_THAT(message, testing::HasSubstr("00...'"));
    EXPECT_THAT(message, testing::EndsWith("position '5000'."));
}

TEST(ReadUnitFromBlob, EventsTheBuilderRefusesRaiseItsOwnErrors) {
    const std::pair<Blob, uint32_t> cases[] = {
        // A property of a unit that is not a composite.
        {Concat({{'U', 0}, NameBytes('P', "p"), {'U', 0, 'E', 'E'}}), Zaph::Errors::kTypeMismatch},
        // A trait or a property closed before it has a value, the root closed before it has one;
        // a trait or a property with nothing to attach to.
        {Concat({{'U', 0}, NameBytes('T', "t"), {'E', 'E'}}), Zaph::Errors::kNullUnit},
        {Concat({{'U', 'C'}, NameBytes('P', "p"), {'E', 'E'}}), Zaph::Errors::kNullUnit},
        {{'U', 'E'}, Zaph::Errors::kNullUnit},
        {Concat({NameBytes('T', "t"), {'U', 0, 'E'}}), Zaph::Errors::kNullUnit},
        {Concat({NameBytes('P', "p"), {'U', 0, 'E'}}), Zaph::Errors::kNullUnit},
        // Two values of different kinds for one unit, directly or by naming a property again.
        {{'U', 6, 1, 0, 0, 0, 7, 1, 0, 0, 0, 'E'}, Zaph::Errors::kAssignDifferentTypes},
        {Concat({{'U', 'C'},
                 NameBytes('P', "n"),
                 {'U', 6, 1, 0, 0, 0, 'E'},
                 NameBytes('P', "n"),
                 {'U', 13, 0, 0, 0, 0, 'E', 'E'}}),
         Zaph::Errors::kAssignDifferentTypes},
    };
    for (const auto& [blob, code] : cases) {
        const auto& bytes = blob;  // clang 14 cannot capture a structured binding
        EXPECT_EQ(ErrorCodeOf([&] { Read(bytes); }), code);
    }
}

TEST(UnitAccumulator, RootFramesReplaceTheirResultAndTraitDepthIsBounded) {
    UnitAccumulator accumulator(Factory());
    EXPECT_EQ(accumulator.TakeResult(), nullptr);
    accumulator.DWord(1);
    accumulator.End();
    accumulator.DWord(2);
    accumulator.End();
    EXPECT_EQ(GetValue<uint32_t>(*accumulator.TakeResult()), 2u);
    EXPECT_EQ(accumulator.TakeResult(), nullptr);
    // A root left open gives nothing.
    accumulator.Composite();
    EXPECT_EQ(accumulator.TakeResult(), nullptr);

    UnitAccumulator traits(Factory());
    traits.Nil();
    for (uint32_t level = 1; level < Zaph::kMaxUnitDepth; ++level) {
        traits.Trait("t");
        traits.Nil();
    }
    EXPECT_EQ(ErrorCodeOf([&] { traits.Trait("t"); }), Zaph::Errors::kUnitTooDeep);
}

TEST(UnitAccumulator, PropertiesInAnyOrderEndInNameOrderAndReopenedOnesChangeInPlace) {
    // Reopened while the names still came in order (found without an index), and after one out
    // of order: a value is assigned, an array grows, a composite gains.
    // clang-format off
    UnitPtr unit = FluentUnitBuilder(Factory())
        .Composite()
            .Property("c").Composite().Property("x").Nil().End().End()
            .Property("list").Array().DWord(1).End().End()
            .Property("n").DWord(1).End()
            .Property("c").Composite().Property("y").Nil().End().End()
            .Property("0").DWord(4).End()
            .Property("list").DWord(2).End().End()
            .Property("n").DWord(5).End()
        .End()
        .TakeResult();
    // clang-format on
    EXPECT_EQ(BinaryForm(*unit),
              BinaryForm(*Composite(Prop{"0", DWord(4)},
                                    Prop{"c", Composite(Prop{"x", Nil()}, Prop{"y", Nil()})},
                                    Prop{"list", Array(DWord(1), DWord(2))}, Prop{"n", DWord(5)})));

    // After a refused event the root frame starts afresh.
    UnitAccumulator root(Factory());
    EXPECT_EQ(ErrorCodeOf([&] { root.End(); }), Zaph::Errors::kNullUnit);
    root.Nil();
    root.End();
    EXPECT_NE(root.TakeResult(), nullptr);

    // Numbers without padding are not in name order ("p10" < "p9"); given backwards, and with
    // names that sort by unsigned byte ("Z" < "a" < "\xC3\xA9").
    std::vector<std::string> names = {"Z", "a", "\xC3\xA9", "p", "pp"};
    for (int i = 0; i < 3000; ++i) {
        names.push_back(std::string("p").append(std::to_string(i)));
    }
    UnitAccumulator accumulator(Factory());
    accumulator.Composite();
    for (size_t i = names.size(); i-- > 0;) {
        accumulator.Property(names[i].c_str());
        accumulator.DWord(static_cast<uint32_t>(i));
        accumulator.End();
    }
    // A repeated Property reopens the pending one: the value is assigned in place.
    accumulator.Property("p17");
    accumulator.DWord(1700000);
    accumulator.End();
    // The root reopened as a composite keeps its pending properties.
    accumulator.Composite();
    accumulator.Property("p1");
    accumulator.DWord(100);
    accumulator.End();
    accumulator.End();
    unit = accumulator.TakeResult();
    ASSERT_NE(unit, nullptr);
    // The same properties set one by one, which keeps them in name order.
    UnitPtr expected = Composite();
    for (size_t i = 0; i < names.size(); ++i) {
        const uint32_t value = names[i] == "p17" ? 1700000 : names[i] == "p1" ? 100 : i;
        AsComposite(*expected).Set(Factory().CreateProperty(names[i], DWord(value)));
    }
    EXPECT_EQ(BinaryForm(*unit), BinaryForm(*expected));
}

// The array bound is the blob reader's: arrays one level too deep are refused there.

}  // namespace
