// Text that is no packet comes from a peer: reading it fails with the packet error and never
// with an assertion.

#include <gtest/gtest.h>

#include <string>

#include "enterprise/serialize/tests/packet_support.h"
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

}  // namespace
