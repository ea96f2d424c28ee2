// Requests: the direction rules of parameter flags, packing, replies read in full or not at all,
// builders that fail; the synchronous call; the client library's scope and a refused local
// connection (connections that succeed run in the concurrency test).

#include "enterprise/common/ipc/request_impl.h"

#include "core/common/catalog.h"
#include "core/ipc_client_api/ipc_client.h"
#include "enterprise/common/ipc/client/lib/client.h"
#include "enterprise/common/ipc/client/lib/scoped_ipc_client.h"
#include "enterprise/common/ipc/tests/ipc_test_support.h"
#include "enterprise/common/ipc/view_manager/requests.h"
#include "enterprise/common/zaph/tests/unit_builders.h"
#include "enterprise/serialize/xml_packet_deserializer.h"

namespace {

using namespace IpcTest;
using Binding::Detail::Execute;
using Binding::Detail::RequestImpl;

const Binding::RequestHeader kHeader{
    .ComponentID = 300, .MethodID = 4, .InterfaceName = "Probe", .MethodName = "Call"};
const std::string kSuccess = "<result>AQ==</result>";  // the empty error's byte form, base64

std::vector<uint8_t> Reply(const std::string& parameters) {
    return Packet("<reply_Probe_Call>" + kSuccess + parameters + "</reply_Probe_Call>");
}

TEST(Request, FlagsDecideDirectionAndEncryptionIsRefusedWithNothingWritten) {
    // The file may be named from the build folder ("../../enterprise/…").
    const auto assertions = [](const TraceRecorder& trace) {
        const auto traced = trace.Traced();
        return std::to_string(std::count_if(traced.begin(), traced.end(), [](const auto& text) {
            return text.starts_with(
                       "Assertion failed: !\"Value is not encryptable but encyption "
                       "was requested\", file ") &&
                   text.find("enterprise/common/ipc/utils.cpp, line ") != text.npos;
        }));
    };
    // Per flags: written or not (w, -), read back or not (r, -), the assertions while writing
    // and while reading.
    std::string outcomes;
    for (const int32_t flags : {-5, -1, 0, 1, 2, 3, 4, 5, 6, 7, 8, 12}) {
        uint32_t value = 7;
        RequestImpl<void(uint32_t&)> request(kHeader, {{{"p", flags}}}, value);
        TraceRecorder writing;
        const std::string body = Body(request.Pack());
        outcomes += std::to_string(flags) + ":" + (body.find("<p>7</p>") != body.npos ? "w" : "-");
        TraceRecorder reading;
        EXPECT_TRUE(request.DeserializeReply(Reply("<p>9</p>")).IsEmpty());
        outcomes += (value == 9 ? "r" : "-") + assertions(writing) + assertions(reading) + " ";
    }
    EXPECT_EQ(outcomes,
              "-5:--00 -1:--00 0:wr00 1:w-00 2:-r00 3:wr00 4:--11 5:--10 6:--01 7:--11 8:--00 "
              "12:--00 ");
}

// Parameters by value or by const reference are not read back: the view manager's methods show
// that (their replies lack them); here the packet version's low 32 bits filter sections and
// SerializerVersion is the root's meta-info version on reading.
TEST(Request, PacketVersionFiltersSectionsAndSerializerVersionIsRead) {
    Binding::RequestHeader header = kHeader;
    header.PacketVersion = 0x1234500000007ull;
    header.SerializerVersion = 9;
    const auto write = [](Serialization::Serializer& writer) {
        for (const uint32_t version : {6u, 7u}) {
            Serialization::SerializationTag tag("s");
            tag.sectionVersion = version;
            writer.WriteUInt32(tag, version);
        }
    };
    EXPECT_EQ(Body(Binding::Detail::WritePacket(header, write)), "<s>7</s>");
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
        const uint32_t thrown = ZaphTest::ErrorCodeOf([&] {
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

// An access point whose Call gives `called` and no call job.
class JoblessAccessPoint final : public Binding::AccessPoint {
  public:
    Common::Error called;
    Common::Error Call(std::unique_ptr<Binding::Request>,
                       std::unique_ptr<Binding::CallJob>&) override {
        return called;
    }
    uint32_t GetConnectionID() const override { return 0; }
    Common::Error GetComponentVersion(uint32_t, uint32_t&) override { return called; }
};

// A builder that throws is traced at level 1 and gives no request, which Execute does not send.
TEST(Execute, OutcomeOfCallThenOfTheRunAndNothingSentWithoutARequest) {
    Loopback loopback;
    loopback.service->outcomes[4] = {Common::Error(COMMON_PLACE("ExecuteTest"), 0x32)};
    EXPECT_EQ(Execute(*loopback.accessPoint, CreateCloseViewRequest(3)).Code(), 0x32u);
    EXPECT_EQ(loopback.service->receivedId, 3u);
    TraceRecorder trace;
    const Common::Error notBuilt =
        Execute(*loopback.accessPoint,
                Binding::Detail::BuildRequest([]() -> std::unique_ptr<Binding::Request> {
                    throw Common::Error(COMMON_PLACE("RequestTest::Builder"), 0x4242);
                }));
    EXPECT_EQ(notBuilt.Code(), Binding::kRequestNotBuilt);
    EXPECT_EQ(notBuilt.Message(), Common::GetCatalogMessage(Common::kMsgRequestNotBuilt));
    EXPECT_EQ(loopback.accessPoint->packets.size(), 2u);

    JoblessAccessPoint jobless;
    jobless.called = Common::Error(COMMON_PLACE("ExecuteTest"), 0x31);
    EXPECT_EQ(Execute(jobless, CreateCloseViewRequest(4)).Code(), 0x31u);
    jobless.called = Common::Error();
    EXPECT_EQ(Execute(jobless, CreateCloseViewRequest(5)).Code(), Binding::kNoCallJob);
    const std::vector<std::string> traced = trace.Traced();
    ASSERT_EQ(traced.size(), 2u);
    EXPECT_EQ(traced[0], "error 1 4242");
    EXPECT_TRUE(traced[1].starts_with("Assertion failed: job != nullptr, file ")) << traced[1];
}

// A library that fails as told and tells its initialisations and deinitialisations.
class ScriptedLibrary final : public IPCClient::Library {
  public:
    Common::Error initFailure, browserFailure;
    std::string calls;
    Common::Error Init() override { return calls += "init ", initFailure; }
    Common::Error Deinit() override {
        return calls += "deinit ", Common::Error(COMMON_PLACE("ScriptedLibrary::Deinit"), 0x77);
    }
    Common::Error CreateBinder(std::unique_ptr<Binding::Binder>&) override { return {}; }
    Common::Error GetLocalBrowser(std::unique_ptr<Binding::ServiceBrowser>&) override {
        return browserFailure;
    }
};

TEST(ScopedIPCClient, KeepsTheInitErrorDeinitialisesOnEveryPathAndWrapsARefusedBrowser) {
    const auto library = std::make_shared<ScriptedLibrary>();
    const auto previous = IPCClient::RegisterLibrary(library);
    library->initFailure = Common::Error(COMMON_PLACE("ScopedIPCClient"), 0x2A);
    for (const uint32_t code : {0x2Au, 0u}) {
        const Binding::ScopedIPCClient scope;
        EXPECT_EQ(scope.InitError().Code(), code);
        library->initFailure = Common::Error();
    }
    EXPECT_EQ(library->calls, "init deinit init deinit ");
    library->browserFailure = Common::Error(COMMON_PLACE("ScopedIPCClient"), 0x1234);
    std::unique_ptr<Binding::AccessPoint> accessPoint;
    const Common::Error refused = Binding::Detail::ConnectLocalImpl(46, 0, accessPoint);
    EXPECT_EQ(refused.Code(), Binding::kNoLocalServiceBrowser);
    EXPECT_EQ(refused.Message(),
              u"Failed to obtain the local service browser during local connection.");
    EXPECT_EQ(refused.Reason().Code(), 0x1234u);
    IPCClient::RegisterLibrary(previous);
}

}  // namespace
