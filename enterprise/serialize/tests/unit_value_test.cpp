#include "enterprise/serialize/unit_value.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/common/base64.h"
#include "enterprise/common/zaph/binary_form.h"
#include "enterprise/common/zaph/blob_reader.h"
#include "enterprise/common/zaph/compare.h"
#include "enterprise/common/zaph/unit_builder.h"
#include "enterprise/serialize/container.h"
#include "enterprise/serialize/tests/packet_support.h"
#include "enterprise/serialize/xml_packet_deserializer.h"

namespace {

using PacketTest::Body;
using PacketTest::Packet;
using PacketTest::ThrownCode;
using Serialization::SerializationTag;
using Serialization::Serializer;
using Serialization::XMLPacketDeserializer;
using Zaph::View::SharedUnitPtr;

SharedUnitPtr Machine() {
    return Zaph::Util::FluentUnitBuilder(Zaph::Construction::DefaultUnitFactory())
        .Composite()
        .Trait("Is")
        .String(u"Machine \u20AC")
        .End()
        .Property("Ports")
        .Array()
        .DWord(80)
        .End()
        .DWord(443)
        .End()
        .End()
        .Property("Name")
        .String(u"  two\nlines ]]> ")
        .End()
        .End()
        .TakeResult();
}

SharedUnitPtr DWord(uint32_t value) {
    return Zaph::Util::FluentUnitBuilder(Zaph::Construction::DefaultUnitFactory())
        .DWord(value)
        .End()
        .TakeResult();
}

TEST(PacketUnitValue, ElementHoldsIsEmptyAndTheBinaryForm) {
    Zaph::Blob blob;
    Zaph::Util::WriteUnitToBlob(*DWord(5), blob);
    std::string base64;
    Common::Base64Encode(blob.data(), blob.size(), base64);
    EXPECT_EQ(Body([](Serializer& out) {
                  Serialization::WriteUnit(out, "Pattern", DWord(5));
                  Serialization::WriteUnit(out, "Options", nullptr);
              }),
              "<Pattern><is_empty>0</is_empty><value>" + base64 +
                  "</value></Pattern><Options><is_empty>1</is_empty></Options>");
}

TEST(PacketUnitValue, UnitsRoundTrip) {
    const SharedUnitPtr machine = Machine();
    Serialization::XMLPacketSerializer out(2, 0xFFFFFFFF);
    Serialization::WriteUnit(out, "Pattern", machine);
    Serialization::WriteUnit(out, "Options", nullptr);
    XMLPacketDeserializer in(out.FinishString(), 0);
    SharedUnitPtr options = DWord(1), pattern;
    Serialization::ReadUnit(in, "Options", options);
    EXPECT_EQ(options, nullptr);
    Serialization::ReadUnit(in, "Pattern", pattern);
    ASSERT_NE(pattern, nullptr);
    EXPECT_TRUE(Zaph::Util::UnitsEqual(*pattern, *machine));
}

TEST(PacketUnitValue, VectorOfUnits) {
    const std::vector<SharedUnitPtr> units = {Machine(), nullptr, DWord(7)};
    Serialization::XMLPacketSerializer out(2, 0);
    out.BeginTag("snapshot");
    Serialization::WriteVector(out, units, Serialization::WriteUnit);
    out.EndTag("snapshot");
    XMLPacketDeserializer in(out.FinishString(), 0);
    std::vector<SharedUnitPtr> read = {DWord(1)};
    in.BeginTag("snapshot");
    Serialization::ReadVector(in, read, Serialization::ReadUnit);
    in.EndTag("snapshot");
    ASSERT_EQ(read.size(), 3u);
    EXPECT_TRUE(Zaph::Util::UnitsEqual(*read[0], *units[0]));
    EXPECT_EQ(read[1], nullptr);
    EXPECT_TRUE(Zaph::Util::UnitsEqual(*read[2], *units[2]));
}

TEST(PacketUnitValue, FailedUnitLeavesTheNextValueReadable) {
    // A corrupted binary form ('X' is no tag), a missing "is_empty", then a good unit.
    XMLPacketDeserializer in(Packet("<Key><is_empty>0</is_empty><value>WA==</value></Key>"
                                    "<Update><value>WA==</value></Update>"
                                    "<Bad><is_empty>0</is_empty><value>*</value></Bad>"
                                    "<Type>2</Type>"),
                             0);
    SharedUnitPtr unit = DWord(9);
    const SharedUnitPtr before = unit;
    EXPECT_EQ(ThrownCode([&] { Serialization::ReadUnit(in, "Key", unit); }),
              Zaph::Errors::kUnitCorrupted);
    EXPECT_EQ(ThrownCode([&] { Serialization::ReadUnit(in, "Update", unit); }),
              Serialization::kPacketInconsistent);
    EXPECT_EQ(ThrownCode([&] { Serialization::ReadUnit(in, "Bad", unit); }),
              Serialization::kPacketInconsistent);
    EXPECT_EQ(unit, before);
    uint32_t type = 0;
    in.ReadUInt32("Type", type);
    EXPECT_EQ(type, 2u);
}

}  // namespace
