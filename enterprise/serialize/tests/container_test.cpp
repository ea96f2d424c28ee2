#include "enterprise/serialize/container.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "enterprise/serialize/tests/packet_support.h"
#include "enterprise/serialize/xml_packet_deserializer.h"

namespace {

using Serialization::Deserializer;
using Serialization::SerializationTag;
using Serialization::Serializer;

struct Update {
    uint32_t type = 3;
    std::string name;
};

void WriteUpdate(Serializer& out, const SerializationTag& tag, const Update& update) {
    out.BeginTag(tag);
    out.WriteUInt32("Type", update.type);
    out.WriteString("Name", update.name);
    out.EndTag(tag);
}

// "Type" is optional: a missing one keeps its default.
void ReadUpdate(Deserializer& in, const SerializationTag& tag, Update& update) {
    in.BeginTag(tag);
    (void)PacketTest::ThrownCode([&] { in.ReadUInt32("Type", update.type); });
    try {
        in.ReadString("Name", update.name);
    } catch (const Common::Error&) {
        in.EndTag(tag);  // an element reader closes its own element before its error goes on
        throw;
    }
    in.EndTag(tag);
}

std::string Read(const std::string& body) {
    Serialization::XMLPacketDeserializer in(PacketTest::Packet(body), 0);
    std::vector<Update> read = {{7, "stale"}};
    std::string thrown =
        PacketTest::Thrown([&] { Serialization::ReadVector(in, read, ReadUpdate); });
    for (const Update& update : read) {
        thrown.append(" ").append(std::to_string(update.type)).append(update.name);
    }
    return thrown;
}

TEST(PacketContainer, ItemsOfAVectorSectionInOrderUntilTheFirstOtherElement) {
    const std::vector<Update> updates = {{1, "one"}, {2, ""}, {0, "x"}};
    const std::string body = PacketTest::Body([&](Serializer& out) {
        Serialization::WriteVector(out, updates, WriteUpdate);
        Serialization::WriteVector(out, std::vector<Update>(), WriteUpdate);
    });
    EXPECT_EQ(body,
              "<vector><item><Type>1</Type><Name>one</Name></item><item><Type>2</Type><Name>"
              "</Name></item><item><Type>0</Type><Name>x</Name></item></vector><vector></vector>");
    EXPECT_EQ(Read(body), "none 1one 2 0x");
    EXPECT_EQ(Read("<vector><item><Name>a</Name></item><item><Name>b</Name><Type>5</Type></item>"
                   "<other/><item><Name>c</Name></item></vector>"),
              "none 3a 5b");
    EXPECT_EQ(Read("<list/>"), "9C0002 Child");
    EXPECT_EQ(Read("<vector><item><Name>a</Name></item><item/></vector>"), "9C0002 Child 3a 3");
}

}  // namespace
