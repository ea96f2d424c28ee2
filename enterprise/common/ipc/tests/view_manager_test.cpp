// The view manager through proxy, stub and loopback, read by libxml2; failures; descriptors.

#include "enterprise/common/ipc/view_manager/view_manager.h"

#include <libxml/parser.h>
#include <libxml/tree.h>
#include <libxml/xpath.h>

#include "enterprise/common/ipc/component_info.h"
#include "enterprise/common/ipc/tests/ipc_test_support.h"
#include "enterprise/common/ipc/view_manager/component_descriptors.h"
#include "enterprise/common/ipc/view_manager/requests.h"
#include "enterprise/common/zaph/tests/unit_builders.h"
#include "enterprise/serialize/xml_packet_deserializer.h"

namespace {

using namespace IpcTest;
using Kivo::ViewSpec;
using Zaph::View::SharedUnitPtr;
using ZaphTest::DWord;

// The string value of the XPath `expression` over `packet` as libxml2 reads it.
std::string XPath(const std::vector<uint8_t>& packet, const std::string& expression) {
    const std::unique_ptr<xmlDoc, decltype(&xmlFreeDoc)> document(
        xmlReadMemory(reinterpret_cast<const char*>(packet.data()), static_cast<int>(packet.size()),
                      "packet.xml", nullptr, XML_PARSE_NONET | XML_PARSE_NOERROR),
        &xmlFreeDoc);
    if (document == nullptr) {
        return "not well-formed";
    }
    const std::unique_ptr<xmlXPathContext, decltype(&xmlXPathFreeContext)> context(
        xmlXPathNewContext(document.get()), &xmlXPathFreeContext);
    xmlXPathObject* const result =
        xmlXPathEvalExpression(reinterpret_cast<const xmlChar*>(expression.c_str()), context.get());
    xmlChar* const value = xmlXPathCastToString(result);
    const std::string read = reinterpret_cast<const char*>(value);
    xmlFree(value);
    xmlXPathFreeObject(result);
    return read;
}

TEST(ViewManagerWithLibxml2, EveryMethodCarriesItsParametersBothWaysInWellFormedPackets) {
    Loopback loopback;
    RecordingViewManager& service = *loopback.service;
    const SharedUnitPtr machine = ZaphTest::WithTrait(
        ZaphTest::Composite(ZaphTest::Prop{"Ports", ZaphTest::Array(DWord(80))}), "Is",
        ZaphTest::Str(u"<Machine & \"more\">"));
    const ViewSpec query{machine, DWord(2)};
    service.viewID = 41;
    service.snapshot = {machine, nullptr};
    service.updates = {ViewUpdate{0, DWord(1), machine}, ViewUpdate{2, DWord(3), nullptr}};
    service.subscription = Subscription{17};
    service.topic = Topic{{17, 3}, {machine}};
    service.contents = {SubscriptionContent{service.updates}};

    ViewManager& proxy = loopback.proxy;
    uint32_t viewID = 0;
    UnitVector snapshot, report;
    std::vector<ViewUpdate> updates;
    Subscription subscription;
    Topic topic;
    SubscriptionContent content;
    EXPECT_TRUE(proxy.OpenDynamicView(query, viewID, snapshot).IsEmpty());
    EXPECT_EQ(XmlOf(service.receivedSpec), XmlOf(query));
    EXPECT_TRUE(proxy.OpenStaticView(ViewSpec{DWord(7), nullptr}, report).IsEmpty());
    EXPECT_EQ(XmlOf(service.receivedSpec), XmlOf(ViewSpec{DWord(7), nullptr}));
    EXPECT_TRUE(proxy.AcquireUpdates(41, updates).IsEmpty());
    EXPECT_EQ(service.receivedId, 41u);
    EXPECT_TRUE(proxy.CloseView(4294967295u).IsEmpty());
    EXPECT_EQ(service.receivedId, 4294967295u);
    EXPECT_TRUE(proxy.Subscribe(SubscriptionSpec{}, subscription).IsEmpty());
    EXPECT_TRUE(proxy.AddInterest(TopicSpec{17, query}, topic).IsEmpty());
    EXPECT_EQ(XmlOf(service.receivedTopicSpec), XmlOf(TopicSpec{17, query}));
    EXPECT_TRUE(proxy.ReadSubscription(16, content).IsEmpty());
    EXPECT_EQ(service.receivedId, 16u);
    EXPECT_TRUE(proxy.RemoveInterest(TopicID{17, 4}).IsEmpty());
    EXPECT_EQ(XmlOf(service.receivedTopic), XmlOf(TopicID{17, 4}));
    EXPECT_TRUE(proxy.Unsubscribe(15).IsEmpty());
    EXPECT_EQ(service.receivedId, 15u);
    EXPECT_EQ(std::to_string(viewID) + XmlOf(snapshot) + XmlOf(report) + XmlOf(updates),
              "41" + XmlOf(service.snapshot) + XmlOf(service.snapshot) + XmlOf(service.updates));
    EXPECT_EQ(XmlOf(subscription) + XmlOf(topic) + XmlOf(content),
              XmlOf(service.subscription) + XmlOf(service.topic) +
                  XmlOf(SubscriptionContent{service.updates}));

    // One section per packet with the parameters in order, replies led by the result ("AQ==").
    const struct {
        const char *method, *request, *reply;
    } methods[] = {
        {"OpenDynamicView", "specification viewID snapshot", "result viewID snapshot"},
        {"OpenStaticView", "specification snapshot", "result snapshot"},
        {"AcquireUpdates", "viewID updates", "result updates"},
        {"CloseView", "viewID", "result"},
        {"Subscribe", "spec subscription", "result subscription"},
        {"AddInterest", "spec topic", "result topic"},
        {"ReadSubscription", "subscriber updates", "result updates"},
        {"RemoveInterest", "topic", "result"},
        {"Unsubscribe", "subscriber", "result"},
    };
    const auto packets = loopback.accessPoint->packets;
    ASSERT_EQ(packets.size(), 2 * std::size(methods));
    const std::string shape =
        "normalize-space(concat(name(/*), ' ', count(/*/*), ' ', name(/*/*), ' ', name(/*/*/*[1]), "
        "' ', name(/*/*/*[2]), ' ', name(/*/*/*[3]), ' ', name(/*/*/*[4]), ' ', /*/*/result))";
    for (size_t i = 0; i < packets.size(); ++i) {
        const auto& method = methods[i / 2];
        EXPECT_EQ(XPath(packets[i], shape),
                  std::string("XML_SERIALIZER 1 ") + (i % 2 ? "reply" : "request") +
                      "_ViewManager_" + method.method + " " +
                      (i % 2 ? method.reply + std::string(" AQ==") : method.request))
            << Body(packets[i]);
    }

    // libxml2 reads AddInterest's view spec with its format version, type and pattern unit.
    const std::string interest = "/*/*/spec/Interest/";
    EXPECT_EQ(
        XPath(packets[10], "concat(" + interest + "@version, ' ', " + interest +
                               "traits/trait[@name='Is'], ' ', " + interest + "Pattern/value)"),
        "2 Kivo::ViewSpec " + XPath(Packet(UnitElement("u", machine)), "/*/u/value"));
}

// A failure crosses the stub whole; the stub answers a request that does not read without
// calling, and throws on an unknown method.
TEST(ViewManagerProxyAndStub, FailuresOnEitherSide) {
    Loopback loopback;
    loopback.service->outcomes[6] = {Common::Error(COMMON_PLACE("Refuse"), 0xFC0032, u"no topic")};
    Topic topic;
    const Common::Error failure = loopback.proxy.AddInterest(TopicSpec{}, topic);
    EXPECT_EQ(failure.Code(), 0xFC0032u);
    EXPECT_EQ(failure.Message(), u"no topic");

    ViewManager_Stub& stub = *loopback.stub;
    // The CloseView request without its viewID, and a request of another method.
    for (const std::string body :
         {"<request_ViewManager_CloseView></request_ViewManager_CloseView>",
          "<request_ViewManager_Unsubscribe><subscriber>1</subscriber>"
          "</request_ViewManager_Unsubscribe>"}) {
        EXPECT_EQ(
            CreateCloseViewRequest(0)->DeserializeReply(stub.HandleCall(4, Packet(body))).Code(),
            Serialization::kPacketInconsistent)
            << body;
    }
    EXPECT_EQ(loopback.service->Calls(4) + loopback.service->Calls(9), 0u);
    for (const uint32_t method : {0u, 10u}) {
        EXPECT_EQ(ZaphTest::ErrorCodeOf([&] { stub.HandleCall(method, Packet("")); }),
                  Core::kUnknownMethod);
    }
}

// Identifier, interface version, then at methods 0, 1, `last`, `last` + 1: code, info, place.
std::string Describe(const Core::ComponentInfo& info, uint32_t last) {
    std::string seen =
        std::to_string(info.GetComponentID()) + " v" + std::to_string(info.GetInterfaceVersion());
    for (const uint32_t method : {0u, 1u, last, last + 1}) {
        Core::MethodInfo described{7, 7};
        const Common::Error error = info.GetMethodInfo(method, described);
        EXPECT_TRUE(error.Message().empty());
        seen.append(" ").append(std::to_string(error.Code())).append(":");
        seen.append(std::to_string(described.first)).append(",");
        seen.append(std::to_string(described.second));
        if (!error.IsEmpty()) {
            seen += std::string(" ") + error.Place().function;
        }
    }
    return seen;
}

TEST(ComponentDescriptors, MethodRangesVersionsAndRegistration) {
    const std::string unknown = std::string(" ")
                                    .append(std::to_string(Core::kUnknownMethod))
                                    .append(":7,7 (anonymous namespace)::ComponentInfoImpl<");
    EXPECT_EQ(
        Describe(ViewManagerComponentInfo(), 9),
        "271 v2" + unknown + "271>::GetMethodInfo 0:0,2 0:0,2" + unknown + "271>::GetMethodInfo");
    EXPECT_EQ(
        Describe(ObjectRegistryComponentInfo(), 3),
        "274 v1" + unknown + "274>::GetMethodInfo 0:0,2 0:0,2" + unknown + "274>::GetMethodInfo");
    RegisterComponentDescriptors();
    EXPECT_EQ(Core::FindComponentInfo(271), &ViewManagerComponentInfo());
    EXPECT_EQ(Core::FindComponentInfo(274), &ObjectRegistryComponentInfo());
}

}  // namespace
