// The view-manager records in packets: their exact layouts, the nested format version, round
// trips and field-by-field tolerant reading.

#include "enterprise/common/ipc/view_manager/records.h"

#include "enterprise/common/ipc/tests/ipc_test_support.h"
#include "enterprise/common/zaph/tests/unit_builders.h"
#include "enterprise/serialize/xml_packet_deserializer.h"

namespace {

using namespace IpcTest;
using Kivo::ViewSpec;
using ZaphTest::DWord;

// `record` with what the packet section "v" in `body` holds read into it; the element that
// follows the section must still read.
template <class R>
R Read(const std::string& body, R record = R{}) {
    Serialization::XMLPacketDeserializer in(PacketText(body + "<after>5</after>"), 0);
    ReadValue(in, Serialization::SerializationTag("v"), record);
    uint32_t after = 0;
    in.ReadUInt32("after", after);
    EXPECT_EQ(after, 5u) << body;
    return record;
}

struct Layout {
    std::string written, rewritten, expected;
};

// `record` written by a writer at format version `version`, and read back and written again.
template <class R>
Layout Write(const R& record, uint64_t version, std::string expected) {
    const std::string written = XmlOf(record, version);
    return {written, XmlOf(Read<R>(written), version), std::move(expected)};
}

std::string Is(const std::string& typeName) {
    return "<traits><trait name=\"Is\" type=\"StringValue\">" + typeName + "</trait></traits>";
}

TEST(Records, LayoutsAndRoundTrips) {
    const ViewUpdate update{1, ZaphTest::Array(ZaphTest::Str(u"<&>"), DWord(80)), nullptr};
    const std::string updateFields =
        "<Type>1</Type>" + UnitElement("Key", update.Key) + UnitElement("PackedUpdate", nullptr);
    const Topic topic{{5, 6}, {DWord(1), nullptr}};
    const std::string topicRest = "<Subscriber>5</Subscriber><Interest>6</Interest>" +
                                  Is("Kivo::ViewManagement::TopicID") + "</ID><Content><vector>" +
                                  UnitElement("item", DWord(1)) + UnitElement("item", nullptr) +
                                  "</vector></Content></v>";
    const TopicSpec spec{9, ViewSpec{DWord(2), nullptr}};
    const std::string specRest = UnitElement("Pattern", DWord(2)) +
                                 UnitElement("Options", nullptr) + Is("Kivo::ViewSpec") +
                                 "</Interest></v>";
    const Layout cases[] = {
        Write(update, 0, "<v>" + updateFields + "</v>"),
        Write(TopicID{7, 4000000000u}, 0,
              "<v><Subscriber>7</Subscriber><Interest>4000000000</Interest></v>"),
        Write(Subscription{12}, 0, "<v><ID>12</ID></v>"),
        Write(SubscriptionSpec{}, 0, "<v></v>"),
        Write(
            ViewSpec{DWord(3), update.Key}, 0,
            "<v>" + UnitElement("Pattern", DWord(3)) + UnitElement("Options", update.Key) + "</v>"),
        Write(SubscriptionContent{{update, ViewUpdate{}}}, 0,
              "<v><TopicUpdates><vector><item>" + updateFields + "</item><item><Type>3</Type>" +
                  UnitElement("Key", nullptr) + UnitElement("PackedUpdate", nullptr) +
                  "</item></vector></TopicUpdates></v>"),
        Write(SubscriptionContent{}, 0, "<v><TopicUpdates><vector></vector></TopicUpdates></v>"),
        // A record field has version 2 unless the writer was at version 2 already.
        Write(topic, 0, "<v><ID version=\"2\">" + topicRest),
        Write(topic, 2, "<v><ID>" + topicRest),
        Write(topic, 5, "<v><ID version=\"2\">" + topicRest),
        Write(spec, 0, "<v><Subscription>9</Subscription><Interest version=\"2\">" + specRest),
        Write(spec, 2, "<v><Subscription>9</Subscription><Interest>" + specRest),
    };
    for (const Layout& layout : cases) {
        EXPECT_EQ(layout.written, layout.expected);
        EXPECT_EQ(layout.rewritten, layout.expected);
    }
}

TEST(Records, FieldsThatDoNotReadKeepTheirValuesAndTheOthersStillRead) {
    const std::string noUnit = "<is_empty>0</is_empty><value>AAAA</value>";
    const std::pair<std::string, std::string> cases[] = {
        // A Type that is no number, a Key whose blob is no unit.
        {XmlOf(Read("<v><Type>one</Type><Key>" + noUnit + "</Key>" +
                        UnitElement("PackedUpdate", DWord(5)) + "</v>",
                    ViewUpdate{1, DWord(1), DWord(2)})),
         XmlOf(ViewUpdate{1, DWord(1), DWord(5)})},
        // Updates without a Type read as 3.
        {XmlOf(Read<SubscriptionContent>("<v><TopicUpdates><vector><item>" +
                                         UnitElement("Key", DWord(4)) +
                                         "</item><item></item></vector></TopicUpdates></v>")),
         XmlOf(SubscriptionContent{{ViewUpdate{3, DWord(4), nullptr}, ViewUpdate{}}})},
        // A topic without Content keeps its identifier.
        {XmlOf(Read<Topic>("<v><ID><Subscriber>4</Subscriber><Interest>9</Interest></ID></v>")),
         XmlOf(Topic{{4, 9}, {}})},
        // One element that does not read keeps the whole Content; fields in another order.
        {XmlOf(Read("<v><Content><vector>" + UnitElement("item", DWord(8)) +
                        "<item><is_empty>0</is_empty></item></vector></Content>"
                        "<ID><Interest>3</Interest><Subscriber>x</Subscriber></ID></v>",
                    Topic{{1, 1}, {DWord(7)}})),
         XmlOf(Topic{{1, 3}, {DWord(7)}})},
        // A "vector" section missing inside a present field.
        {XmlOf(Read("<v><TopicUpdates></TopicUpdates></v>", SubscriptionContent{{ViewUpdate{}}})),
         XmlOf(SubscriptionContent{{ViewUpdate{}}})},
    };
    for (const auto& [read, expected] : cases) {
        EXPECT_EQ(read, expected);
    }
    // Only a missing record section fails the read.
    Serialization::XMLPacketDeserializer in(PacketText("<other></other>"), 0);
    TopicID id;
    EXPECT_EQ(
        ZaphTest::ErrorCodeOf([&] { ReadValue(in, Serialization::SerializationTag("v"), id); }),
        Serialization::kPacketInconsistent);
}

}  // namespace
