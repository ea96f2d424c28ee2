#include "enterprise/serialize/unit_value.h"

#include <gtest/gtest.h>

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

using Zaph::View::SharedUnitPtr;

SharedUnitPtr Machine(uint32_t port) {
    return Zaph::Util::FluentUnitBuilder(Zaph::Construction::DefaultUnitFactory())
        .Composite()
        .Trait("Is")
        .String(u"Machine \u20AC")
        .End()
        .Property("Ports")
        .Array()
        .DWord(port)
        .End()
        .End()
        .Property("Name")
        .String(u"  two\nlines ]]> ")
        .End()
        .End()
        .TakeResult();
}

TEST(PacketUnitValue, IsEmptyAndTheBinaryFormInBase64RoundTripAlsoInAVector) {
    const std::vector<SharedUnitPtr> units = {Machine(80), nullptr, Machine(443)};
    Zaph::Blob blob;
    Zaph::Util::WriteUnitToBlob(*units[0], blob);
    std::string base64;
    Common::Base64Encode(blob.data(), blob.size(), base64);
    const std::string body = PacketTest::Body([&](Serialization::Serializer& out) {
        Serialization::WriteUnit(out, "Pattern", units[0]);
        Serialization::WriteUnit(out, "Options", nullptr);
        Serialization::WriteVector(out, units, Serialization::WriteUnit);
    });
    EXPECT_EQ(body.substr(0, body.find("<vector>")),
              std::string("<Pattern><is_empty>0</is_empty><value>") + base64 +
                  "</value></Pattern><Options><is_empty>1</is_empty></Options>");
    Serialization::XMLPacketDeserializer in(PacketTest::Packet(body), 0);
    SharedUnitPtr options = Machine(1), pattern;
    Serialization::ReadUnit(in, "Options", options);
    EXPECT_EQ(options, nullptr);
    Serialization::ReadUnit(in, "Pattern", pattern);
    EXPECT_TRUE(pattern && Zaph::Util::UnitsEqual(*pattern, *units[0]));
    std::vector<SharedUnitPtr> read = {Machine(1)};
    Serialization::ReadVector(in, read, Serialization::ReadUnit);
    ASSERT_EQ(read.size(), 3u);
    EXPECT_EQ(read[1], nullptr);
    EXPECT_TRUE(read[2] && Zaph::Util::UnitsEqual(*read[2], *units[2]));
}

TEST(PacketUnitValue, AFailedUnitKeepsTheTargetAndLeavesTheNextValueReadable) {
    // A corrupted binary form ('X' is no tag), a missing "is_empty", malformed base64.
    Serialization::XMLPacketDeserializer in(
        PacketTest::Packet("<Key><is_empty>0</is_empty><value>WA==</value></Key><Update><value>"
                           "WA==</value></Update><Bad><is_empty>0</is_empty><value>*</value></Bad>"
                           "<Type>2</Type>"),
        0);
    const SharedUnitPtr before = Machine(1);
    SharedUnitPtr unit = before;
    EXPECT_EQ(PacketTest::ThrownCode([&] { Serialization::ReadUnit(in, "Key", unit); }),
              Zaph::Errors::kUnitCorrupted);
    EXPECT_EQ(PacketTest::Thrown([&] { Serialization::ReadUnit(in, "Update", unit); }),
              "9C0002 Child");
    EXPECT_EQ(PacketTest::Thrown([&] { Serialization::ReadUnit(in, "Bad", unit); }), "9C0002 Read");
    EXPECT_EQ(unit, before);
    uint32_t type = 0;
    in.ReadUInt32("Type", type);
    EXPECT_EQ(type, 2u);
}

}  // namespace
