// Requests: packing, the direction rules of parameter flags, reading replies, the synchronous
// call and builders that fail.

#include "enterprise/common/ipc/request_impl.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "core/common/catalog.h"
#include "enterprise/common/ipc/client/lib/client.h"
#include "enterprise/common/ipc/tests/ipc_test_support.h"
#include "enterprise/common/ipc/view_manager/requests.h"
#include "enterprise/serialize/xml_packet_deserializer.h"
#include "enterprise/serialize/xml_packet_serializer.h"

namespace {

using Binding::Detail::RequestImpl;
using IpcTest::Body;
using IpcTest::Packet;
using IpcTest::TraceRecorder;
using Kivo::ViewManagement::UnitVector;

const std::string kEncryptionAssertion =
    "!\"Value is not encryptable but encyption was requested\"";
// An empty error in its byte form, base64.
const std::string kSuccess = "<result>AQ==</result>";

Binding::RequestHeader Header() {
    Binding::RequestHeader header;
    header.ComponentID = 300;
    header.MethodID = 4;
    header.InterfaceName = "Probe";
    header.MethodName = "Call";
    header.InterfaceVersion = 1;
    return header;
}

std::string FailedResult() {
    const Common::Error failure(COMMON_PLACE("RequestTest::FailedResult"), 0x5151, u"refused");
    Serialization::XMLPacketSerializer out(2, 0);
    out.WriteError("result", failure);
    return Body(out.FinishBytes());
}

uint32_t ThrownCode(const std::function<void()>& action) {
    try {
        action();
    } catch (const Common::Error& error) {
        return error.Code();
    }
    return 0;
}

size_t CountOf(const std::vector<std::string>& texts, const std::string& part) {
    size_t count = 0;
    for (const std::string& text : texts) {
        count += text.find(part) != std::string::npos ? 1 : 0;
    }
    return count;
}

TEST(Request, WithoutInputsPacksTheRequestSectionAlone) {
    RequestImpl<void()> request(Header(), {});
    EXPECT_EQ(request.GetComponentID(), 300u);
    EXPECT_EQ(request.GetMethodID(), 4u);
    EXPECT_EQ(Body(request.Pack()), "<request_Probe_Call></request_Probe_Call>");
    EXPECT_TRUE(
        request.DeserializeReply(Packet("<reply_Probe_Call>" + kSuccess + "</reply_Probe_Call>"))
            .IsEmpty());
}

TEST(Request, OutputReferencesTravelIntoTheRequestToo) {
    const Kivo::ViewSpec spec{IpcTest::DWord(5), nullptr};
    UnitVector snapshot;
    const auto request = Kivo::ViewManagement::CreateOpenStaticViewRequest(spec, snapshot);
    ASSERT_NE(request, nullptr);
    EXPECT_EQ(Body(request->Pack()), "<request_ViewManager_OpenStaticView><specification>" +
                                         IpcTest::UnitElement("Pattern", spec.Pattern) +
                                         IpcTest::UnitElement("Options", nullptr) +
                                         "</specification><snapshot><vector></vector></snapshot>"
                                         "</request_ViewManager_OpenStaticView>");
}

TEST(Request, PacketsFollowTheHeaderVersions) {
    // The low 32 bits of the packet version filter sections; SerializerVersion is the root's
    // meta-info version on reading.
    Binding::RequestHeader header = Header();
    header.PacketVersion = 0x1234500000007ull;
    EXPECT_EQ(Body(Binding::Detail::WritePacket(header,
                                                [](Serialization::Serializer& out) {
                                                    Serialization::SerializationTag tag("s");
                                                    tag.sectionVersion = 6;
                                                    out.WriteUInt32(tag, 1);
                                                    tag.sectionVersion = 7;
                                                    out.WriteUInt32(tag, 2);
                                                })),
              "<s>2</s>");
    header.SerializerVersion = 9;
    uint64_t version = 0;
    Binding::Detail::ReadPacket(header, Packet(""), [&](Serialization::Deserializer& in) {
        version = dynamic_cast<Serialization::XMLPacketDeserializer&>(in).GetSubjectVersion();
    });
    EXPECT_EQ(version, 9u);
}

TEST(Request, ByValueAndConstReferenceParametersAreNeverReadBack) {
    uint32_t out = 1;
    RequestImpl<void(uint32_t, const uint32_t&, uint32_t&)> request(
        Header(), {{{"byValue"}, {"byConst"}, {"out"}}}, 2, 3, out);
    EXPECT_EQ(Body(request.Pack()),
              "<request_Probe_Call><byValue>2</byValue><byConst>3</byConst><out>1</out>"
              "</request_Probe_Call>");
    // Reading either of the first two would throw on their text.
    EXPECT_TRUE(request
                    .DeserializeReply(Packet("<reply_Probe_Call>" + kSuccess +
                                             "<byValue>x</byValue><byConst>y</byConst><out>7</out>"
                                             "</reply_Probe_Call>"))
                    .IsEmpty());
    EXPECT_EQ(out, 7u);
}

TEST(Request, ConstReferenceRecordIsNeverReadBack) {
    const Kivo::ViewManagement::TopicID topic{4, 5};
    const auto request = Kivo::ViewManagement::CreateRemoveInterestRequest(topic);
    ASSERT_NE(request, nullptr);
    EXPECT_TRUE(request
                    ->DeserializeReply(Packet("<reply_ViewManager_RemoveInterest>" + kSuccess +
                                              "</reply_ViewManager_RemoveInterest>"))
                    .IsEmpty());
}

TEST(Request, FailedResultLeavesEveryOutputAsItWas) {
    const Kivo::ViewSpec spec{IpcTest::DWord(1), nullptr};
    uint32_t viewID = 5;
    UnitVector snapshot{IpcTest::DWord(6)};
    const auto request = Kivo::ViewManagement::CreateOpenDynamicViewRequest(spec, viewID, snapshot);
    ASSERT_NE(request, nullptr);
    const Common::Error result = request->DeserializeReply(
        Packet("<reply_ViewManager_OpenDynamicView>" + FailedResult() +
               "<viewID>9</viewID><snapshot><vector>" + IpcTest::UnitElement("item", nullptr) +
               "</vector></snapshot></reply_ViewManager_OpenDynamicView>"));
    EXPECT_EQ(result.Code(), 0x5151u);
    EXPECT_EQ(result.Message(), u"refused");
    EXPECT_EQ(viewID, 5u);
    ASSERT_EQ(snapshot.size(), 1u);
    EXPECT_TRUE(IpcTest::SameUnit(snapshot[0], IpcTest::DWord(6)));
}

TEST(Request, UnreadableReplyLeavesEveryOutputAsItWas) {
    const Kivo::ViewSpec spec;
    uint32_t viewID = 5;
    UnitVector snapshot{IpcTest::DWord(6)};
    const auto request = Kivo::ViewManagement::CreateOpenDynamicViewRequest(spec, viewID, snapshot);
    ASSERT_NE(request, nullptr);
    const std::string head = "<reply_ViewManager_OpenDynamicView>" + kSuccess;
    const std::string tail = "</reply_ViewManager_OpenDynamicView>";
    // viewID reads, then the snapshot fails: a unit whose blob is not a unit, no snapshot at all,
    // a reply of another method, no result, a packet that is not XML.
    const std::vector<std::string> replies = {
        head +
            "<viewID>9</viewID><snapshot><vector><item><is_empty>0</is_empty><value>AAAA"
            "</value></item></vector></snapshot>" +
            tail,
        head + "<viewID>9</viewID>" + tail,
        "<reply_ViewManager_OpenStaticView>" + kSuccess + "</reply_ViewManager_OpenStaticView>",
        "<reply_ViewManager_OpenDynamicView><viewID>9</viewID>" + tail,
    };
    // Each read must throw, so a result that it returns is not looked at.
    for (const std::string& body : replies) {
        EXPECT_NE(ThrownCode([&] { request->DeserializeReply(Packet(body)).Ignore(); }), 0u)
            << body;
        EXPECT_EQ(viewID, 5u) << body;
        ASSERT_EQ(snapshot.size(), 1u) << body;
        EXPECT_TRUE(IpcTest::SameUnit(snapshot[0], IpcTest::DWord(6)));
    }
    TraceRecorder trace;
    EXPECT_EQ(ThrownCode([&] { request->DeserializeReply(IpcTest::Bytes("<reply")).Ignore(); }),
              Serialization::kPacketInconsistent);
    EXPECT_EQ(viewID, 5u);
}

TEST(Request, VectorReadReplacesTheCallersElements) {
    std::vector<Kivo::ViewManagement::ViewUpdate> updates(3);
    const auto request = Kivo::ViewManagement::CreateAcquireUpdatesRequest(8, updates);
    ASSERT_NE(request, nullptr);
    ASSERT_TRUE(request
                    ->DeserializeReply(Packet("<reply_ViewManager_AcquireUpdates>" + kSuccess +
                                              "<updates><vector><item><Type>1</Type></item>"
                                              "</vector></updates>"
                                              "</reply_ViewManager_AcquireUpdates>"))
                    .IsEmpty());
    ASSERT_EQ(updates.size(), 1u);
    EXPECT_EQ(updates[0].Type, 1u);
}

// What one 32-bit reference parameter with the given flags does.
struct FlagCase {
    int32_t flags;
    bool written;
    bool read;
    // Assertions fired while packing and while reading the reply.
    size_t writeAssertions;
    size_t readAssertions;
};

TEST(Request, FlagsDecideDirectionAndEncryptionIsRefusedWithNothingWritten) {
    const std::vector<FlagCase> cases = {
        {-1, false, false, 0, 0}, {0, true, true, 0, 0},    {1, true, false, 0, 0},
        {2, false, true, 0, 0},   {3, true, true, 0, 0},    {4, false, false, 1, 1},
        {5, false, false, 1, 0},  {6, false, false, 0, 1},  {7, false, false, 1, 1},
        {8, false, false, 0, 0},  {12, false, false, 0, 0}, {-5, false, false, 0, 0},
    };
    for (const FlagCase& flagCase : cases) {
        uint32_t value = 7;
        RequestImpl<void(uint32_t&)> request(Header(), {{{"p", flagCase.flags}}}, value);
        TraceRecorder packing;
        const std::string body = Body(request.Pack());
        EXPECT_EQ(body, flagCase.written ? "<request_Probe_Call><p>7</p></request_Probe_Call>"
                                         : "<request_Probe_Call></request_Probe_Call>")
            << flagCase.flags;
        EXPECT_EQ(CountOf(packing.Assertions(), kEncryptionAssertion), flagCase.writeAssertions)
            << flagCase.flags;
        TraceRecorder reading;
        ASSERT_TRUE(request
                        .DeserializeReply(
                            Packet("<reply_Probe_Call>" + kSuccess + "<p>9</p></reply_Probe_Call>"))
                        .IsEmpty());
        EXPECT_EQ(value, flagCase.read ? 9u : 7u) << flagCase.flags;
        EXPECT_EQ(CountOf(reading.Assertions(), kEncryptionAssertion), flagCase.readAssertions)
            << flagCase.flags;
    }
}

TEST(Request, EncryptionAssertionNamesTheParameterCodingFile) {
    uint32_t value = 0;
    RequestImpl<void(uint32_t&)> request(Header(), {{{"p", 5}}}, value);
    TraceRecorder trace;
    request.Pack();
    ASSERT_EQ(trace.Assertions().size(), 1u);
    EXPECT_THAT(
        trace.Assertions()[0],
        testing::HasSubstr(kEncryptionAssertion + ", file enterprise/common/ipc/utils.cpp"));
}

TEST(Request, BuilderThatThrowsTracesAtLevelOneAndGivesNoRequest) {
    TraceRecorder trace;
    const auto request = Binding::Detail::BuildRequest([]() -> std::unique_ptr<Binding::Request> {
        throw Common::Error(COMMON_PLACE("RequestTest::Builder"), 0x4242);
    });
    EXPECT_EQ(request, nullptr);
    EXPECT_THAT(trace.ErrorCodes(1), testing::ElementsAre(0x4242u));
}

// An access point whose Call succeeds without giving a call job.
class JoblessAccessPoint final : public Binding::AccessPoint {
  public:
    Common::Error Call(std::unique_ptr<Binding::Request>,
                       std::unique_ptr<Binding::CallJob>&) override {
        return Common::Error();
    }
    uint32_t GetConnectionID() const override { return 0; }
    Common::Error GetComponentVersion(uint32_t, uint32_t&) override { return Common::Error(); }
};

TEST(Execute, OutcomeOfCallThenOfTheRunAndNothingSentWithoutARequest) {
    IpcTest::Loopback loopback;
    EXPECT_TRUE(Binding::Detail::Execute(*loopback.accessPoint,
                                         Kivo::ViewManagement::CreateCloseViewRequest(3))
                    .IsEmpty());
    EXPECT_EQ(loopback.service->receivedId, 3u);

    const Common::Error notBuilt = Binding::Detail::Execute(*loopback.accessPoint, nullptr);
    EXPECT_EQ(notBuilt.Code(), Binding::kRequestNotBuilt);
    EXPECT_EQ(notBuilt.Message(), Common::GetCatalogMessage(Common::kMsgRequestNotBuilt));
    EXPECT_EQ(loopback.accessPoint->CallCount(), 1u);

    loopback.accessPoint->FailCalls(Common::Error(COMMON_PLACE("ExecuteTest"), 0x31));
    EXPECT_EQ(Binding::Detail::Execute(*loopback.accessPoint,
                                       Kivo::ViewManagement::CreateCloseViewRequest(4))
                  .Code(),
              0x31u);
    EXPECT_EQ(loopback.service->receivedId, 3u);
    EXPECT_EQ(loopback.accessPoint->Requests().size(), 1u);

    JoblessAccessPoint jobless;
    TraceRecorder trace;
    EXPECT_EQ(
        Binding::Detail::Execute(jobless, Kivo::ViewManagement::CreateCloseViewRequest(5)).Code(),
        Binding::kNoCallJob);
    EXPECT_EQ(trace.Assertions().size(), 1u);
}

}  // namespace
