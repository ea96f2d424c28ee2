// Values and requests in packets: record layouts and tolerant reading, parameter flags, replies,
// the synchronous call, the client library's scope and a refused local connection.

#include "core/common/catalog.h"
#include "core/ipc_client_api/ipc_client.h"
#include "enterprise/common/ipc/client/lib/client.h"
#include "enterprise/common/ipc/client/lib/scoped_ipc_client.h"
#include "enterprise/common/ipc/request_impl.h"
#include "enterprise/common/ipc/tests/ipc_test_support.h"
#include "enterprise/common/ipc/view_manager/records.h"
#include "enterprise/common/ipc/view_manager/requests.h"
#include "enterprise/common/zaph/tests/unit_builders.h"
#include "enterprise/serialize/xml_packet_deserializer.h"

namespace {

using namespace IpcTest;
using Binding::Detail::Execute;
using Binding::Detail::RequestImpl;
using Kivo::ViewSpec;
using ZaphTest::DWord;

// `record` read from the section "v" of `body`; the element after the section must still read.
template <class R>
R Read(const std::string& body, R record = R{}) {
    Serialization::XMLPacketDeserializer in(PacketText(body + "<after>5</after>"), 0);
    ReadValue(in, Serialization::SerializationTag("v"), record);
    uint32_t after = 0;
    in.ReadUInt32("after", after);
    EXPECT_EQ(after, 5u) << body;
    return record;
}

// `record` written at format version `version`; read back and written again it gives the same.
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
        // A record field has version 2 unless the writer was at version 2 already.
        {Write(topic, 0), "<v><ID version=\"2\">" + topicRest},
        {Write(topic, 2), "<v><ID>" + topicRest},
        {Write(topic, 5), "<v><ID version=\"2\">" + topicRest},
        {Write(TopicSpec{9, ViewSpec{DWord(2), nullptr}}, 0),
         "<v><Subscription>9</Subscription><Interest version=\"2\">" + specRest},
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
    const auto dropped = [](int fields) {
        std::string traced;
        while (fields-- > 0) {
            traced += " error 1 9C0002";  // kPacketInconsistent
        }
        return traced;
    };
    const std::pair<std::string, std::string> cases[] = {
        // A Type that is no number, a Key whose blob is no unit.
        {ReadTraced("<v><Type>one</Type><Key><is_empty>0</is_empty><value>AAAA</value></Key>" +
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

const Binding::RequestHeader kHeader{
    .ComponentID = 300, .MethodID = 4, .InterfaceName = "Probe", .MethodName = "Call"};
const std::string kSuccess = "<result>AQ==</result>";  // the empty error's byte form, base64

std::vector<uint8_t> Reply(const std::string& parameters) {
    return Packet("<reply_Probe_Call>" + kSuccess + parameters + "</reply_Probe_Call>");
}

// Per flags: written (w), read back (r), then the encryption assertions traced writing, reading.
TEST(Request, FlagsDecideDirectionAndEncryptionIsRefusedWithNothingWritten) {
    const auto assertions = [](const TraceRecorder& trace) {
        for (const std::string& text : trace.Traced()) {
            EXPECT_TRUE(
                text.starts_with("Assertion failed: !\"Value is not encryptable but "
                                 "encyption was requested\", file "
                                 "enterprise/common/ipc/utils.cpp, line "))
                << text;
        }
        return std::to_string(trace.Traced().size());
    };
    std::string outcomes;
    for (const int32_t flags : {-5, -1, 0, 1, 2, 3, 4, 5, 6, 7, 8, 12}) {
        uint32_t value = 7;
        RequestImpl<void(uint32_t&)> request(kHeader, {{{"p", flags}}}, value);
        TraceRecorder writing;
        const std::string body = Body(request.Pack());
        outcomes += std::to_string(flags) + ":" + (body.find("<p>7</p>") != body.npos ? "w" : "-");
        TraceRecorder reading;
        EXPECT_TRUE(request.DeserializeReply(Reply("<p>9</p>")).IsEmpty());
        outcomes += value == 9 ? "r" : "-";
        outcomes.append(assertions(writing)).append(assertions(reading)).append(" ");
    }
    EXPECT_EQ(outcomes,
              "-5:--00 -1:--00 0:wr00 1:w-00 2:-r00 3:wr00 4:--11 5:--10 6:--01 7:--11 8:--00 "
              "12:--00 ");
}

TEST(Request, SerializerVersionIsTheRootVersionOnReading) {
    Binding::RequestHeader header = kHeader;
    header.SerializerVersion = 9;
    uint64_t version = 0;
    Binding::Detail::ReadPacket(header, Packet(""), [&](Serialization::Deserializer& in) {
        version = dynamic_cast<Serialization::XMLPacketDeserializer&>(in).GetSubjectVersion();
    });
    EXPECT_EQ(version, 9u);
}

TEST(Request, AReplyThatFailsOrDoesNotReadLeavesEveryOutputAsItWas) {
    Serialization::XMLPacketSerializer writer(2, 0);
    writer.WriteError("result", Common::Error(COMMON_PLACE("RequestTest"), 0x5151, u"refused"));
    const std::string refused = Body(writer.FinishBytes());
    const std::string open = "<reply_ViewManager_OpenDynamicView>";
    const std::string close = "</reply_ViewManager_OpenDynamicView>";
    const std::string read = "<viewID>9</viewID><snapshot><vector>" + UnitElement("item", nullptr) +
                             "</vector></snapshot>" + close;
    const std::pair<std::string, uint32_t> cases[] = {
        {PacketText(open + refused + read), 0x5151},
        // The view identifier reads, the snapshot does not.
        {PacketText(open + kSuccess + "<viewID>9</viewID>" + close),
         Serialization::kPacketInconsistent},
        {"<reply", Serialization::kPacketInconsistent},
        // The snapshot's elements replace the caller's.
        {PacketText(open + kSuccess + read), 0},
    };
    TraceRecorder trace;
    for (const auto& [reply, expected] : cases) {
        uint32_t viewID = 5;
        UnitVector snapshot{ZaphTest::DWord(6)};
        const auto request = CreateOpenDynamicViewRequest({}, viewID, snapshot);
        Common::Error result;
        const uint32_t thrown = ZaphTest::ErrorCodeOf([&, &reply = reply] {
            result = request->DeserializeReply(std::vector<uint8_t>(reply.begin(), reply.end()));
        });
        const uint32_t code = thrown != 0 ? thrown : result.Code();
        EXPECT_EQ(code, expected) << reply;
        EXPECT_EQ(
            XmlOf(snapshot) + std::to_string(viewID),
            code ? XmlOf(UnitVector{ZaphTest::DWord(6)}) + "5" : XmlOf(UnitVector{nullptr}) + "9")
            << reply;
    }
}

// An access point whose Call fails with 0x31, as a closed connection's does.
class RefusingAccessPoint final : public Binding::AccessPoint {
  public:
    Common::Error Call(std::unique_ptr<Binding::Request>,
                       std::unique_ptr<Binding::CallJob>&) override {
        return Common::Error(COMMON_PLACE("RefusingAccessPoint::Call"), 0x31);
    }
    uint32_t GetConnectionID() const override { return 0; }
    Common::Error GetComponentVersion(uint32_t, uint32_t&) override { return {}; }
};

// A builder that throws is traced at level 1 and its missing request is not sent (the access
// point would refuse it).
TEST(Execute, FailedCallAndNothingSentWithoutARequest) {
    TraceRecorder trace;
    RefusingAccessPoint refusing;
    const Common::Error notBuilt =
        Execute(refusing, Binding::Detail::BuildRequest([]() -> std::unique_ptr<Binding::Request> {
                    throw Common::Error(COMMON_PLACE("RequestTest::Builder"), 0x4242);
                }));
    EXPECT_EQ(notBuilt.Code(), Binding::kRequestNotBuilt);
    EXPECT_EQ(notBuilt.Message(), Common::GetCatalogMessage(Common::kMsgRequestNotBuilt));
    EXPECT_EQ(trace.Traced(), std::vector<std::string>{"error 1 4242"});
    EXPECT_EQ(Execute(refusing, CreateCloseViewRequest(4)).Code(), 0x31u);
}

// A library whose Init and GetLocalBrowser fail, and that tells its calls of Init and Deinit.
class RefusingLibrary final : public IPCClient::Library {
  public:
    std::string calls;
    Common::Error Init() override {
        calls += "init ";
        return Common::Error(COMMON_PLACE("RefusingLibrary::Init"), 0x2A);
    }
    Common::Error Deinit() override {
        calls += "deinit ";
        return {};
    }
    Common::Error CreateBinder(std::unique_ptr<Binding::Binder>&) override { return {}; }
    Common::Error GetLocalBrowser(std::unique_ptr<Binding::ServiceBrowser>&) override {
        return Common::Error(COMMON_PLACE("RefusingLibrary::GetLocalBrowser"), 0x1234);
    }
};

TEST(ScopedIPCClient, KeepsAFailedInitDeinitialisesAnywayAndWrapsARefusedBrowser) {
    const auto library = std::make_shared<RefusingLibrary>();
    const auto previous = IPCClient::RegisterLibrary(library);
    {
        const Binding::ScopedIPCClient scope;
        EXPECT_EQ(scope.InitError().Code(), 0x2Au);
    }
    EXPECT_EQ(library->calls, "init deinit ");
    std::unique_ptr<Binding::AccessPoint> accessPoint;
    const Common::Error refused = Binding::Detail::ConnectLocalImpl(46, 0, accessPoint);
    EXPECT_EQ(refused.Code(), Binding::kNoLocalServiceBrowser);
    EXPECT_EQ(refused.Message(),
              u"Failed to obtain the local service browser during local connection.");
    EXPECT_EQ(refused.Reason().Code(), 0x1234u);
    IPCClient::RegisterLibrary(previous);
}

}  // namespace
