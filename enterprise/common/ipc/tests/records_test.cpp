// The view-manager records in packets: their exact form, the nested format version, round trips
// and field-by-field tolerant reading.

#include "enterprise/common/ipc/view_manager/records.h"

#include <gtest/gtest.h>

#include <functional>

#include "enterprise/common/ipc/tests/ipc_test_support.h"
#include "enterprise/serialize/xml_packet_deserializer.h"
#include "enterprise/serialize/xml_packet_serializer.h"

namespace {

using IpcTest::Body;
using IpcTest::DWord;
using IpcTest::Machine;
using IpcTest::Packet;
using IpcTest::SameUnit;
using IpcTest::SameUnits;
using IpcTest::UnitElement;
using Kivo::ViewSpec;
using namespace Kivo::ViewManagement;

std::string Traits(const std::string& typeName) {
    return "<traits><trait name=\"Is\" type=\"StringValue\">" + typeName + "</trait></traits>";
}

// The body of a packet that `write` makes with a fresh writer, after setting its current format
// version to `currentVersion`.
std::string Written(const std::function<void(Serialization::Serializer&)>& write,
                    uint64_t currentVersion = 0) {
    Serialization::XMLPacketSerializer out(2, 0xFFFFFFFF);
    out.SetCurrentFormatVersion(currentVersion);
    write(out);
    EXPECT_EQ(out.GetCurrentFormatVersion(), currentVersion);
    return Body(out.FinishBytes());
}

template <class Record>
std::string WrittenRecord(const std::string& name, const Record& record,
                          uint64_t currentVersion = 0) {
    return Written([&](Serialization::Serializer& out) { WriteValue(out, name.c_str(), record); },
                   currentVersion);
}

template <class Record>
void ReadRecord(const std::string& body, const std::string& name, Record& record) {
    Serialization::XMLPacketDeserializer in(IpcTest::Text(Packet(body)), 0);
    ReadValue(in, name.c_str(), record);
}

uint32_t ReadFailure(const std::function<void()>& read) {
    try {
        read();
    } catch (const Common::Error& error) {
        return error.Code();
    }
    return 0;
}

TEST(Records, ScalarAndUnitFieldsInWireOrderWithoutTraits) {
    const ViewUpdate update{1, Machine(u"alpha", 80), nullptr};
    EXPECT_EQ(WrittenRecord("u", update), "<u><Type>1</Type>" + UnitElement("Key", update.Key) +
                                              UnitElement("PackedUpdate", nullptr) + "</u>");
    EXPECT_EQ(WrittenRecord("id", TopicID{7, 4000000000u}),
              "<id><Subscriber>7</Subscriber><Interest>4000000000</Interest></id>");
    EXPECT_EQ(WrittenRecord("subscription", Subscription{12}),
              "<subscription><ID>12</ID></subscription>");
    EXPECT_EQ(WrittenRecord("spec", SubscriptionSpec{}), "<spec></spec>");
    const ViewSpec spec{DWord(3), Machine(u"o", 1)};
    EXPECT_EQ(WrittenRecord("specification", spec),
              "<specification>" + UnitElement("Pattern", spec.Pattern) +
                  UnitElement("Options", spec.Options) + "</specification>");
}

TEST(Records, VectorsAsVectorSectionsOfItems) {
    const SubscriptionContent content{{ViewUpdate{0, DWord(1), nullptr}, ViewUpdate{}}};
    EXPECT_EQ(WrittenRecord("updates", content),
              "<updates><TopicUpdates><vector><item><Type>0</Type>" + UnitElement("Key", DWord(1)) +
                  UnitElement("PackedUpdate", nullptr) + "</item><item><Type>3</Type>" +
                  UnitElement("Key", nullptr) + UnitElement("PackedUpdate", nullptr) +
                  "</item></vector></TopicUpdates></updates>");
    EXPECT_EQ(WrittenRecord("updates", SubscriptionContent{}),
              "<updates><TopicUpdates><vector></vector></TopicUpdates></updates>");
}

TEST(Records, NestedRecordFieldsCarryTheirTypeAndVersionTwoFromAFreshWriter) {
    const Topic topic{{5, 6}, {DWord(1), nullptr}};
    const std::string topicTail = "<Subscriber>5</Subscriber><Interest>6</Interest>" +
                                  Traits("Kivo::ViewManagement::TopicID") +
                                  "</ID><Content><vector>" + UnitElement("item", DWord(1)) +
                                  UnitElement("item", nullptr) + "</vector></Content></topic>";
    EXPECT_EQ(WrittenRecord("topic", topic), "<topic><ID version=\"2\">" + topicTail);
    // Already at format version 2: no version attribute; any other version marks the field.
    EXPECT_EQ(WrittenRecord("topic", topic, 2), "<topic><ID>" + topicTail);
    EXPECT_EQ(WrittenRecord("topic", topic, 5), "<topic><ID version=\"2\">" + topicTail);

    const TopicSpec spec{9, ViewSpec{DWord(2), nullptr}};
    const std::string specTail = UnitElement("Pattern", DWord(2)) +
                                 UnitElement("Options", nullptr) + Traits("Kivo::ViewSpec") +
                                 "</Interest></spec>";
    EXPECT_EQ(WrittenRecord("spec", spec),
              "<spec><Subscription>9</Subscription><Interest version=\"2\">" + specTail);
    EXPECT_EQ(WrittenRecord("spec", spec, 2),
              "<spec><Subscription>9</Subscription><Interest>" + specTail);
}

TEST(Records, EveryRecordReadsBackAsWritten) {
    const Topic topic{{5, 6}, {Machine(u"a", 1), nullptr, DWord(8)}};
    Topic topicRead;
    ReadRecord(WrittenRecord("topic", topic), "topic", topicRead);
    EXPECT_EQ(topicRead.ID.Subscriber, 5u);
    EXPECT_EQ(topicRead.ID.Interest, 6u);
    EXPECT_TRUE(SameUnits(topicRead.Content, topic.Content));

    const TopicSpec spec{77, ViewSpec{Machine(u"pattern", 2), nullptr}};
    TopicSpec specRead{1, ViewSpec{nullptr, DWord(1)}};
    ReadRecord(WrittenRecord("spec", spec), "spec", specRead);
    EXPECT_EQ(specRead.Subscription, 77u);
    EXPECT_TRUE(SameUnit(specRead.Interest.Pattern, spec.Interest.Pattern));
    EXPECT_EQ(specRead.Interest.Options, nullptr);

    const SubscriptionContent content{
        {ViewUpdate{0, DWord(1), Machine(u"x", 3)}, ViewUpdate{2, DWord(2), nullptr}}};
    SubscriptionContent contentRead;
    ReadRecord(WrittenRecord("updates", content), "updates", contentRead);
    ASSERT_EQ(contentRead.TopicUpdates.size(), 2u);
    for (size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(contentRead.TopicUpdates[i].Type, content.TopicUpdates[i].Type);
        EXPECT_TRUE(SameUnit(contentRead.TopicUpdates[i].Key, content.TopicUpdates[i].Key));
        EXPECT_TRUE(SameUnit(contentRead.TopicUpdates[i].PackedUpdate,
                             content.TopicUpdates[i].PackedUpdate));
    }

    Subscription subscription;
    ReadRecord(WrittenRecord("s", Subscription{4294967295u}), "s", subscription);
    EXPECT_EQ(subscription.ID, 4294967295u);
    SubscriptionSpec empty;
    ReadRecord("<spec></spec>", "spec", empty);
}

TEST(Records, UpdateWithoutTypeReadsAsThree) {
    SubscriptionContent content;
    ReadRecord("<updates><TopicUpdates><vector><item>" + UnitElement("Key", DWord(4)) +
                   "</item><item></item></vector></TopicUpdates></updates>",
               "updates", content);
    ASSERT_EQ(content.TopicUpdates.size(), 2u);
    for (const ViewUpdate& update : content.TopicUpdates) {
        EXPECT_EQ(update.Type, 3u);
        EXPECT_EQ(update.PackedUpdate, nullptr);
    }
    EXPECT_TRUE(SameUnit(content.TopicUpdates[0].Key, DWord(4)));
    EXPECT_EQ(content.TopicUpdates[1].Key, nullptr);
}

TEST(Records, TopicWithoutContentKeepsItsIdentifier) {
    Topic topic;
    ReadRecord("<topic><ID><Subscriber>4</Subscriber><Interest>9</Interest></ID></topic>", "topic",
               topic);
    EXPECT_EQ(topic.ID.Subscriber, 4u);
    EXPECT_EQ(topic.ID.Interest, 9u);
    EXPECT_TRUE(topic.Content.empty());
}

TEST(Records, FieldThatDoesNotReadKeepsItsValueAndLaterFieldsStillRead) {
    ViewUpdate update{1, DWord(1), DWord(2)};
    // A Type that is no number, a Key whose blob is no unit.
    ReadRecord("<u><Type>one</Type><Key><is_empty>0</is_empty><value>AAAA</value></Key>" +
                   UnitElement("PackedUpdate", DWord(5)) + "</u>",
               "u", update);
    EXPECT_EQ(update.Type, 1u);
    EXPECT_TRUE(SameUnit(update.Key, DWord(1)));
    EXPECT_TRUE(SameUnit(update.PackedUpdate, DWord(5)));

    // A Content with one bad element keeps the whole earlier content; fields in another order.
    Topic topic{{1, 1}, {DWord(7)}};
    ReadRecord("<topic><Content><vector>" + UnitElement("item", DWord(8)) +
                   "<item><is_empty>0</is_empty></item></vector></Content>"
                   "<ID><Interest>3</Interest><Subscriber>x</Subscriber></ID></topic>",
               "topic", topic);
    EXPECT_EQ(topic.ID.Subscriber, 1u);
    EXPECT_EQ(topic.ID.Interest, 3u);
    EXPECT_TRUE(SameUnits(topic.Content, {DWord(7)}));

    // A "vector" section missing inside a present field.
    SubscriptionContent content{{ViewUpdate{0, nullptr, nullptr}}};
    ReadRecord("<updates><TopicUpdates></TopicUpdates></updates>", "updates", content);
    EXPECT_EQ(content.TopicUpdates.size(), 1u);
}

TEST(Records, MissingRecordSectionThrowsAndLeavesTheRecord) {
    TopicID id{2, 3};
    EXPECT_EQ(ReadFailure([&] { ReadRecord("<other></other>", "topic", id); }),
              Serialization::kPacketInconsistent);
    EXPECT_EQ(id.Subscriber, 2u);
    EXPECT_EQ(id.Interest, 3u);
    ViewSpec spec{DWord(1), nullptr};
    EXPECT_EQ(ReadFailure([&] { ReadRecord("", "specification", spec); }),
              Serialization::kPacketInconsistent);
    EXPECT_TRUE(SameUnit(spec.Pattern, DWord(1)));
}

TEST(Records, ReaderStaysBalancedAfterFailedFields) {
    // Each record read leaves the reader at the same level, so that values after it still read.
    const std::string body =
        "<topic><ID><Subscriber>x</Subscriber></ID><Content><vector><item><is_empty>0</is_empty>"
        "</item></vector></Content></topic><after>5</after>";
    Serialization::XMLPacketDeserializer in(IpcTest::Text(Packet(body)), 0);
    Topic topic;
    ReadValue(in, "topic", topic);
    uint32_t after = 0;
    in.ReadUInt32("after", after);
    EXPECT_EQ(after, 5u);
}

}  // namespace
