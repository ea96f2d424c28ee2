#include "enterprise/common/zaph/blob_reader.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "core/common/text.h"
#include "enterprise/common/zaph/assign.h"
#include "enterprise/common/zaph/binary_form.h"
#include "enterprise/common/zaph/compare.h"
#include "enterprise/common/zaph/tests/unit_samples.h"

namespace {

using namespace ZaphTest;
using Zaph::Blob;
using Zaph::Util::ReadUnitFromBlob;

UnitPtr Read(const Blob& blob) {
    return ReadUnitFromBlob(blob, Factory());
}

// The corruption error of reading `blob`; fails the test when reading gives anything else.
Common::Error CorruptionOf(const Blob& blob) {
    try {
        Read(blob);
    } catch (const Common::Error& error) {
        EXPECT_EQ(error.Code(), Zaph::Errors::kUnitCorrupted) << Common::ToUtf8(error.Message());
        return error;
    }
    ADD_FAILURE() << "no error";
    return {};
}

std::string Message(const Common::Error& error) {
    return Common::ToUtf8(error.Message());
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
        EXPECT_TRUE(Zaph::Util::UnitsEqual(*Read(form), *unit));
    }
    // NaN is never equal, so the binary forms are compared.
    RandomUnits random(7);
    for (int i = 0; i < 500; ++i) {
        const Blob form = BinaryForm(*random.Make(5));
        EXPECT_EQ(BinaryForm(*Read(form)), form) << i;
    }
}

TEST(ReadUnitFromBlob, DepthUpToTheLimitAndNoFurther) {
    UnitPtr deepest = Nil();
    for (uint32_t level = 1; level < Zaph::kMaxUnitDepth; ++level) {
        deepest = WithTrait(Nil(), "t", std::move(deepest));
    }
    const Blob form = BinaryForm(*deepest);
    EXPECT_EQ(BinaryForm(*Read(form)), form);

    // Arrays nested one level too deep, without any 'U' to count.
    Blob tooDeep(Zaph::kMaxUnitDepth + 1, 'A');
    const Common::Error error = CorruptionOf(tooDeep);
    EXPECT_THAT(Message(error), testing::EndsWith("position '512'."));
}

TEST(BlobWalkingRoute, ReplaysTheBytesAsWalkEvents) {
    UnitPtr unit = WithTrait(Composite(Prop{"a", Array(DWord(1))}), "K", SDWord(2));
    WalkRecorder recorder;
    Zaph::Util::BlobWalkingRoute::Follow(BinaryForm(*unit), recorder);
    EXPECT_EQ(recorder.text, "???CPa?A?6>>TK?7>>");

    WalkRecorder bad;
    const Blob x{'X'};
    const uint32_t code = ErrorCodeOf([&] { Zaph::Util::BlobWalkingRoute::Follow(x, bad); });
    EXPECT_EQ(code, Zaph::Errors::kUnitCorrupted);
}

TEST(ReadUnitFromBlob, CorruptionNamesThePosition) {
    EXPECT_EQ(Message(CorruptionOf({'X'})), "ZAPH: Unit object '58' is corrupted at position '0'.");
    EXPECT_EQ(Message(CorruptionOf({})), "ZAPH: Unit object '' is corrupted at position '0'.");
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
        EXPECT_THAT(Message(CorruptionOf(blob)),
                    testing::EndsWith(std::string("position '") + position + "'."));
    }
    for (UnitPtr& unit : OneOfEveryKind()) {
        const Blob form = BinaryForm(*unit);
        // Every cut inside the value is corrupt (the trailing 'E' alone would be a closed root).
        for (size_t cut = 2; cut + 1 < form.size(); ++cut) {
            CorruptionOf(Blob(form.begin(), form.begin() + cut)).Ignore();  // checked inside
        }
    }
}

TEST(ReadUnitFromBlob, QuotesAtMostAWindowOfTheBlob) {
    Blob blob(10000, 0);
    blob[0] = 'U';
    blob[5000] = 'X';  // Nils up to here, each assigned to the root
    const std::string message = Message(CorruptionOf(blob));
    EXPECT_LT(message.size(), 2 * Zaph::Util::kMaxQuotedBlobBytes + 80);
    EXPECT_THAT(message, testing::HasSubstr(std::string("'...").append(64, '0').append("58")));
    EXPECT_THAT(message, testing::HasSubstr("00...'"));
    EXPECT_THAT(message, testing::EndsWith("position '5000'."));
}

TEST(ReadUnitFromBlob, EventsTheBuilderRefusesRaiseItsOwnErrors) {
    const std::pair<Blob, uint32_t> cases[] = {
        // A property of a unit that is not a composite.
        {Concat({{'U', 0}, NameBytes('P', "p"), {'U', 0, 'E', 'E'}}), Zaph::Errors::kTypeMismatch},
        // A trait closed before it has a value; a trait with nothing to attach to.
        {Concat({{'U', 0}, NameBytes('T', "t"), {'E', 'E'}}), Zaph::Errors::kNullUnit},
        {Concat({NameBytes('T', "t"), {'U', 0, 'E'}}), Zaph::Errors::kNullUnit},
        // Two values of different kinds for one unit.
        {{'U', 6, 1, 0, 0, 0, 7, 1, 0, 0, 0, 'E'}, Zaph::Errors::kAssignDifferentTypes},
    };
    for (const auto& [blob, code] : cases) {
        EXPECT_EQ(ErrorCodeOf([&] { Read(blob); }), code);
    }
}

TEST(ReadUnitFromBlob, ReadingNormalises) {
    // A Boolean byte of 2 reads as true.
    EXPECT_EQ(BinaryForm(*Read({'U', 1, 2, 'E'})), (Blob{'U', 1, 1, 'E'}));
    // A repeated trait is kept once; properties take their name order.
    const Blob repeated = Concat({{'U', 'C'},
                                  NameBytes('P', "b"),
                                  {'U', 0, 'E'},
                                  NameBytes('P', "a"),
                                  {'U', 0, 'E'},
                                  NameBytes('T', "K"),
                                  {'U', 0, 'E'},
                                  NameBytes('T', "K"),
                                  {'U', 0, 'E', 'E'}});
    const UnitPtr unit = Read(repeated);
    EXPECT_EQ(BinaryForm(*unit),
              BinaryForm(*WithTrait(Composite(Prop{"a", Nil()}, Prop{"b", Nil()}), "K", Nil())));
    // A property named twice is assigned twice; the last value stays.
    const Blob twice = Concat({{'U', 'C'},
                               NameBytes('P', "a"),
                               {'U', 6, 1, 0, 0, 0, 'E'},
                               NameBytes('P', "a"),
                               {'U', 6, 2, 0, 0, 0, 'E', 'E'}});
    EXPECT_EQ(BinaryForm(*Read(twice)), BinaryForm(*Composite(Prop{"a", DWord(2)})));
}

}  // namespace
