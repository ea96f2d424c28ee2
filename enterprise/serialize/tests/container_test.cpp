#include "enterprise/serialize/container.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "enterprise/serialize/tests/packet_support.h"
#include "enterprise/serialize/xml_packet_deserializer.h"
#include "enterprise/serialize/xml_packet_serializer.h"

namespace {

using PacketTest::Body;
using PacketTest::Packet;
using PacketTest::ThrownCode;
using Serialization::Deserializer;
using Serialization::SerializationTag;
using Serialization::Serializer;
using Serialization::XMLPacketDeserializer;

struct Update {
    uint32_t type = 3;
    std::string name;
};

void WriteNumber(Serializer& out, const SerializationTag& tag, uint32_t value) {
    out.WriteUInt32(tag, value);
}

void ReadNumber(Deserializer& in, const SerializationTag& tag, uint32_t& value) {
    in.ReadUInt32(tag, value);
}

void WriteUpdate(Serializer& out, const SerializationTag& tag, const Update& update) {
    out.BeginTag(tag);
    out.WriteUInt32("Type", update.type);
    out.WriteString("Name", update.name);
    out.EndTag(tag);
}

// Fields are optional: a missing one keeps its default.
void ReadUpdate(Deserializer& in, const SerializationTag& tag, Update& update) {
    in.BeginTag(tag);
    try {
        in.ReadUInt32("Type", update.type);
    } catch (const Common::Error&) {
    }
    in.ReadString("Name", update.name);
    in.EndTag(tag);
}

TEST(PacketContainer, ElementsAsItemsOfAVectorSection) {
    const std::vector<uint32_t> numbers = {1, 2, 3};
    EXPECT_EQ(Body([&](Serializer& out) {
                  out.BeginTag("list");
                  Serialization::WriteVector(out, numbers, WriteNumber);
                  out.EndTag("list");
                  Serialization::WriteVector(out, std::vector<uint32_t>(), WriteNumber);
              }),
              "<list><vector><item>1</item><item>2</item><item>3</item></vector></list>"
              "<vector></vector>");
}

TEST(PacketContainer, RecordsRoundTrip) {
    const std::vector<Update> updates = {{1, "one"}, {2, ""}, {0, "three\nlines"}};
    Serialization::XMLPacketSerializer out(2, 0);
    out.BeginTag("updates");
    Serialization::WriteVector(out, updates, WriteUpdate);
    out.EndTag("updates");
    XMLPacketDeserializer in(out.FinishString(), 0);
    std::vector<Update> read = {{7, "stale"}};
    in.BeginTag("updates");
    Serialization::ReadVector(in, read, ReadUpdate);
    in.EndTag("updates");
    ASSERT_EQ(read.size(), updates.size());
    for (size_t i = 0; i < updates.size(); ++i) {
        EXPECT_EQ(read[i].type, updates[i].type);
        EXPECT_EQ(read[i].name, updates[i].name);
    }
}

TEST(PacketContainer, ReadingStopsAtTheFirstElementNotAnItem) {
    XMLPacketDeserializer in(
        Packet("<vector><item><Name>a</Name></item><item><Name>b</Name><Type>5</Type></item>"
               "<other/><item><Name>c</Name></item><traits/></vector>"),
        0);
    std::vector<Update> read;
    Serialization::ReadVector(in, read, ReadUpdate);
    ASSERT_EQ(read.size(), 2u);
    EXPECT_EQ(read[0].type, 3u);
    EXPECT_EQ(read[0].name, "a");
    EXPECT_EQ(read[1].type, 5u);
}

TEST(PacketContainer, MissingVectorEmptiesTheTargetAndThrows) {
    XMLPacketDeserializer in(Packet("<list></list>"), 0);
    std::vector<uint32_t> read = {1};
    in.BeginTag("list");
    EXPECT_EQ(ThrownCode([&] { Serialization::ReadVector(in, read, ReadNumber); }),
              Serialization::kPacketInconsistent);
    EXPECT_TRUE(read.empty());
}

TEST(PacketContainer, MalformedItemStopsTheRead) {
    XMLPacketDeserializer in(Packet("<vector><item>1</item><item>x</item></vector>"), 0);
    std::vector<uint32_t> read;
    EXPECT_EQ(ThrownCode([&] { Serialization::ReadVector(in, read, ReadNumber); }),
              Serialization::kPacketInconsistent);
    EXPECT_EQ(read, (std::vector<uint32_t>{1, 0}));
}

}  // namespace
