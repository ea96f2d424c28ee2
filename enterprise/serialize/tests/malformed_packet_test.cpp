// Text that is no packet comes from a peer: reading it fails with the packet error and never
// with an assertion.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "enterprise/serialize/container.h"
#include "enterprise/serialize/tests/packet_support.h"
#include "enterprise/serialize/unit_value.h"
#include "enterprise/serialize/xml_packet_deserializer.h"

namespace {

using Serialization::XMLPacketDeserializer;

TEST(MalformedPacket, FailsWithThePacketErrorAndNoAssertion) {
    const std::string notPackets[] = {"", "text", "<a></b>", PacketTest::Packet("<a>")};
    for (const std::string& text : notPackets) {
        const size_t logged = PacketTest::AssertionLog().size();
        EXPECT_EQ(PacketTest::ThrownCode([&] { XMLPacketDeserializer in(text, 0); }),
                  Serialization::kPacketInconsistent)
            << text;
        EXPECT_EQ(PacketTest::AssertionLog().size(), logged) << text;
    }
}

// A container whose element does not read leaves the reader where it was, so the section
// around it still closes.
TEST(MalformedPacket, ContainerThatDoesNotReadLeavesTheReaderBalanced) {
    XMLPacketDeserializer in(
        PacketTest::Packet("<s><vector><item><is_empty>1</is_empty></item><item/></vector></s>"),
        0);
    const size_t logged = PacketTest::AssertionLog().size();
    std::vector<Zaph::View::SharedUnitPtr> units;
    in.BeginTag("s");
    EXPECT_EQ(PacketTest::ThrownCode(
                  [&] { Serialization::ReadVector(in, units, Serialization::ReadUnit); }),
              Serialization::kPacketInconsistent);
    EXPECT_EQ(PacketTest::ThrownCode([&] { in.EndTag("s"); }), 0u);
    EXPECT_EQ(PacketTest::AssertionLog().size(), logged);
}

}  // namespace
