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

// `record` written by a writer at format version `version`; read back and written again, it must
// give the same text.
template <class R>
std::string Write(const R& record, uint64_t version) {
    const std::string written = XmlOf(record, version);
    EXPECT_EQ(XmlOf(Read<R>(written), version), written);
    return written;
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
    const std::pair<std::string, std::string> cases[] = {
        {Write(update, 0), "<v>" + updateFields + "</v>"},
        {Write(TopicID{7, 4000000000u}, 0),
         "<v><Subscriber>7</Subscriber><Interest>4000000000</Interest></v>"},
        {Write(Subscription{12}, 0), "<v><ID>12</ID></v>"},
        {Write(SubscriptionSpec{}, 0), "<v></v>"},
        {Write(ViewSpec{DWord(3), update.Key}, 0),
         "<v>" + UnitElement("Pattern", DWord(3)) + UnitElement("Options", update.Key) + "</v>"},
        {Write(SubscriptionContent{{update, ViewUpdate{}}}, 0),
         "<v><TopicUpdates><vector><item>" + updateFields + "</item><item><Type>3</Type>" +
             UnitElement("Key", nullptr) + UnitElement("PackedUpdate", nullptr) +
             "</item></vector></TopicUpdates></v>"},
        {Write(SubscriptionContent{}, 0), "<v><TopicUpdates><vector></vector></TopicUpdates></v>"},
        // A record field has version 2 unless the writer was at version 2 already.
        {Write(topic, 0), "<v><ID version=\"2\">" + topicRest},
        {Write(topic, 2), "<v><ID>" + topicRest},
        {Write(topic, 5), "<v><ID version=\"2\">" + topicRest},
        {Write(spec, 0), "<v><Subscription>9</Subscription><Interest version=\"2\">" + specRest},
        {Write(spec, 2), "<v><Subscription>9</Subscription><Interest>" + specRest},
    };
    for (const auto& [written, expected] : cases) {
        EXPECT_EQ(written, expected);
    }
}

// What `body` reads into `record`, as packet text, then what the read traced.
template <class R>
std::string ReadTraced(const std::string& body, R record = R{}) {
    const TraceRecorder trace;
    std::string read = XmlOf(Read(body, record));
    for (const std::string& traced : trace.Traced()) {
        read += " " + traced;
    }
    return read;
}

// A field that does not read keeps its value, is traced at level 1 and passed over.
TEST(Records, FieldsThatDoNotReadKeepTheirValuesAndTheOthersStillRead) {
    const std::string noUnit = "<is_empty>0</is_empty><value>AAAA</value>";
    const auto dropped = [](int fields) {
        std::string traced;
        while (fields-- > 0) {
            traced += " error 1 9C0002";  // kPacketInconsistent
        }
        return traced;
    };
    const std::pair<std::string, std::string> cases[] = {
        {ReadTraced<TopicID>("<v><Subscriber>4</Subscriber><Interest>9</Interest></v>"),
         XmlOf(TopicID{4, 9})},
        {ReadTraced("<v><Interest>9</Interest></v>", TopicID{1, 2}),
         XmlOf(TopicID{1, 9}) + dropped(1)},
        {ReadTraced("<v></v>", TopicID{1, 2}), XmlOf(TopicID{1, 2}) + dropped(2)},
        // A Type that is no number, a Key whose blob is no unit.
        {ReadTraced("<v><Type>one</Type><Key>" + noUnit + "</Key>" +
                        UnitElement("PackedUpdate", DWord(5)) + "</v>",
                    ViewUpdate{1, DWord(1), DWord(2)}),
         XmlOf(ViewUpdate{1, DWord(1), DWord(5)}) + dropped(1) + " error 1 FA0021"},
        // Updates without a Type read as 3.
        {ReadTraced<SubscriptionContent>("<v><TopicUpdates><vector><item>" +
                                         UnitElement("Key", DWord(4)) +
                                         "</item><item></item></vector></TopicUpdates></v>"),
         XmlOf(SubscriptionContent{{ViewUpdate{3, DWord(4), nullptr}, ViewUpdate{}}}) + dropped(5)},
        // A topic without Content keeps its identifier.
        {ReadTraced<Topic>("<v><ID><Subscriber>4</Subscriber><Interest>9</Interest></ID></v>"),
         XmlOf(Topic{{4, 9}, {}}) + dropped(1)},
        // One element that does not read keeps the whole Content; fields in another order.
        {ReadTraced("<v><Content><vector>" + UnitElement("item", DWord(8)) +
                        "<item><is_empty>0</is_empty></item></vector></Content>"
                        "<ID><Interest>3</Interest><Subscriber>x</Subscriber></ID></v>",
                    Topic{{1, 1}, {DWord(7)}}),
         XmlOf(Topic{{1, 3}, {DWord(7)}}) + dropped(2)},
        // A "vector" section missing inside a present field.
        {ReadTraced("<v><TopicUpdates></TopicUpdates></v>", SubscriptionContent{{ViewUpdate{}}}),
         XmlOf(SubscriptionContent{{ViewUpdate{}}}) + dropped(1)},
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
