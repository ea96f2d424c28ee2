// The view manager over the binding: every method through the proxy, the service stub and an
// in-test access point, with libxml2 as a reference reader of every packet; failures on either
// side; the component descriptors and their registry.

#include "enterprise/common/ipc/view_manager/view_manager.h"

#include <libxml/parser.h>
#include <libxml/tree.h>

#include "enterprise/common/ipc/component_info.h"
#include "enterprise/common/ipc/tests/ipc_test_support.h"
#include "enterprise/common/ipc/view_manager/component_descriptors.h"
#include "enterprise/common/zaph/tests/unit_builders.h"
#include "enterprise/serialize/xml_packet_deserializer.h"

namespace {

using namespace IpcTest;
using Kivo::ViewSpec;
using Zaph::View::SharedUnitPtr;
using ZaphTest::DWord;

using Document = std::unique_ptr<xmlDoc, decltype(&xmlFreeDoc)>;

std::vector<const xmlNode*> Elements(const xmlNode* parent) {
    std::vector<const xmlNode*> elements;
    for (const xmlNode* child = parent ? parent->children : nullptr; child; child = child->next) {
        if (child->type == XML_ELEMENT_NODE) {
            elements.push_back(child);
        }
    }
    return elements;
}

std::string Name(const xmlNode* node) {
    return reinterpret_cast<const char*>(node->name);
}

// The element at `path` below `node` (each step the first child of that name), or null.
const xmlNode* At(const xmlNode* node, std::initializer_list<std::string> path) {
    for (const std::string& name : path) {
        const auto children = Elements(node);
        const auto found = std::find_if(children.begin(), children.end(),
                                        [&](const xmlNode* child) { return Name(child) == name; });
        node = found == children.end() ? nullptr : *found;
    }
    return node;
}

// The text of `node`, or of its attribute `attribute`.
std::string Text(const xmlNode* node, const char* attribute = nullptr) {
    xmlChar* text = node == nullptr ? nullptr
                    : attribute     ? xmlGetProp(node, reinterpret_cast<const xmlChar*>(attribute))
                                    : xmlNodeGetContent(node);
    const std::string content = text ? reinterpret_cast<const char*>(text) : "(none)";
    xmlFree(text);
    return content;
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

    const struct {
        const char *method, *request, *reply;
    } methods[] = {
        {"OpenDynamicView", "specification viewID snapshot ", "result viewID snapshot "},
        {"OpenStaticView", "specification snapshot ", "result snapshot "},
        {"AcquireUpdates", "viewID updates ", "result updates "},
        {"CloseView", "viewID ", "result "},
        {"Subscribe", "spec subscription ", "result subscription "},
        {"AddInterest", "spec topic ", "result topic "},
        {"ReadSubscription", "subscriber updates ", "result updates "},
        {"RemoveInterest", "topic ", "result "},
        {"Unsubscribe", "subscriber ", "result "},
    };
    const auto packets = loopback.accessPoint->packets;
    ASSERT_EQ(packets.size(), 2 * std::size(methods));
    std::vector<Document> documents;
    std::vector<const xmlNode*> sections;
    for (size_t i = 0; i < packets.size(); ++i) {
        documents.emplace_back(xmlReadMemory(reinterpret_cast<const char*>(packets[i].data()),
                                             static_cast<int>(packets[i].size()), "packet.xml",
                                             nullptr, XML_PARSE_NONET | XML_PARSE_NOERROR),
                               &xmlFreeDoc);
        ASSERT_NE(documents.back(), nullptr) << Body(packets[i]);
        const xmlNode* root = xmlDocGetRootElement(documents.back().get());
        const auto section = Elements(root);
        ASSERT_EQ(Name(root) + std::to_string(section.size()), "XML_SERIALIZER1");
        std::string names = Name(section[0]) + ": ";
        for (const xmlNode* parameter : Elements(section[0])) {
            names += Name(parameter) + " ";
        }
        const auto& method = methods[i / 2];
        EXPECT_EQ(names, std::string(i % 2 ? "reply" : "request") + "_ViewManager_" +
                             method.method + ": " + (i % 2 ? method.reply : method.request));
        EXPECT_TRUE(i % 2 == 0 || Text(At(section[0], {"result"})) == "AQ==") << names;
        sections.push_back(section[0]);
    }

    // AddInterest's view spec and topic identifier carry their type and format version 2, and
    // libxml2 reads the units as they were written.
    const xmlNode* interest = At(sections[10], {"spec", "Interest"});
    const xmlNode* is = At(interest, {"traits", "trait"});
    EXPECT_EQ(Text(interest, "version") + Text(is, "name") + Text(is, "type") + Text(is),
              "2IsStringValueKivo::ViewSpec");
    const xmlNode* id = At(sections[11], {"topic", "ID"});
    EXPECT_EQ(Text(id, "version") + Text(At(id, {"traits", "trait"})) + Text(At(id, {"Interest"})),
              "2Kivo::ViewManagement::TopicID3");
    const auto unit = [](const char* name, const xmlNode* element) {
        return std::string("<") + name + "><is_empty>" + Text(At(element, {"is_empty"})) +
               "</is_empty><value>" + Text(At(element, {"value"})) + "</value></" + name + ">";
    };
    EXPECT_EQ(unit("Pattern", At(interest, {"Pattern"})), UnitElement("Pattern", machine));
    EXPECT_EQ(unit("item", At(sections[1], {"snapshot", "vector", "item"})),
              UnitElement("item", machine));
}

TEST(ViewManagerProxy, AFailedCallReturnsItsErrorAndLeavesTheOutputs) {
    Loopback loopback;
    loopback.service->outcomes[1] = {Common::Error(COMMON_PLACE("Refuse"), 0xFC0031, u"no view")};
    loopback.service->outcomes[6] = {Common::Error(COMMON_PLACE("Refuse"), 0xFC0032)};
    loopback.service->viewID = 41;
    loopback.service->snapshot = {DWord(1)};
    loopback.service->topic = Topic{{1, 2}, {DWord(3)}};
    uint32_t viewID = 5;
    UnitVector snapshot;
    const Common::Error failure = loopback.proxy.OpenDynamicView({}, viewID, snapshot);
    EXPECT_EQ(failure.Code(), 0xFC0031u);
    EXPECT_EQ(failure.Message(), u"no view");
    Topic topic{{8, 9}, {}};
    EXPECT_EQ(loopback.proxy.AddInterest(TopicSpec{}, topic).Code(), 0xFC0032u);
    EXPECT_EQ(XmlOf(topic) + XmlOf(snapshot) + std::to_string(viewID),
              XmlOf(Topic{{8, 9}, {}}) + XmlOf(UnitVector{}) + "5");

    TraceRecorder trace;
    ViewManager_Proxy unbound(nullptr);
    EXPECT_EQ(trace.Traced().size(), 1u);
    Subscription subscription{4};
    EXPECT_EQ(unbound.Subscribe(SubscriptionSpec{}, subscription).Code(), kDisposedAccessPoint);
    EXPECT_EQ(subscription.ID, 4u);
}

TEST(ViewManagerStub, AnUnreadableRequestIsAnsweredWithoutCallingAndAnUnknownMethodThrows) {
    const auto service = std::make_shared<RecordingViewManager>();
    ViewManager_Stub stub(service, 2);
    // The CloseView request without its viewID, and a request of another method.
    for (const std::string body :
         {"<request_ViewManager_CloseView></request_ViewManager_CloseView>",
          "<request_ViewManager_Unsubscribe><subscriber>1</subscriber>"
          "</request_ViewManager_Unsubscribe>"}) {
        TraceRecorder trace;
        const std::vector<uint8_t> reply = stub.HandleCall(4, Packet(body));
        Serialization::XMLPacketDeserializer in(std::string(reply.begin(), reply.end()), 0);
        in.BeginTag("reply_ViewManager_CloseView");
        Common::Error result;
        in.ReadError("result", result);
        EXPECT_EQ(result.Code(), Serialization::kPacketInconsistent) << body;
    }
    EXPECT_EQ(service->Calls(4) + service->Calls(9), 0u);
    for (const uint32_t method : {0u, 10u}) {
        EXPECT_EQ(ZaphTest::ErrorCodeOf([&] { stub.HandleCall(method, Packet("")); }),
                  Core::kUnknownMethod);
    }
}

// Stands in for the view manager's descriptor.
class StandIn final : public Core::ComponentInfo {
  public:
    uint32_t GetComponentID() const override { return 271; }
    Common::Error GetMethodInfo(uint32_t, Core::MethodInfo&) const override { return {}; }
    uint32_t GetInterfaceVersion() const override { return 1; }
};

TEST(ComponentDescriptors, MethodRangesVersionsAndTheRegistry) {
    const struct {
        const Core::ComponentInfo& info;
        uint32_t id, version, methods;
        const char* function;
    } cases[] = {
        {ViewManagerComponentInfo(), 271, 2, 9,
         "(anonymous namespace)::ComponentInfoImpl<271>::GetMethodInfo"},
        {ObjectRegistryComponentInfo(), 274, 1, 3,
         "(anonymous namespace)::ComponentInfoImpl<274>::GetMethodInfo"},
    };
    for (const auto& component : cases) {
        EXPECT_EQ(component.info.GetComponentID(), component.id);
        EXPECT_EQ(component.info.GetInterfaceVersion(), component.version);
        for (const uint32_t method : {1u, component.methods}) {
            Core::MethodInfo info{7, 7};
            EXPECT_TRUE(component.info.GetMethodInfo(method, info).IsEmpty());
            EXPECT_EQ(std::make_pair(info.first, info.second), std::make_pair(0u, 2u));
        }
        for (const uint32_t method : {0u, component.methods + 1}) {
            Core::MethodInfo untouched{7, 7};
            const Common::Error error = component.info.GetMethodInfo(method, untouched);
            EXPECT_EQ(error.Code(), Core::kUnknownMethod);
            EXPECT_TRUE(error.Message().empty());
            EXPECT_STREQ(error.Place().function, component.function);
            EXPECT_EQ(untouched.first, 7u);
        }
    }

    // A descriptor registered under a known identifier replaces the one before.
    static const StandIn standIn;
    EXPECT_EQ(Core::FindComponentInfo(271), nullptr);
    Core::RegisterComponentInfo(standIn);
    EXPECT_EQ(Core::FindComponentInfo(271), &standIn);
    RegisterComponentDescriptors();
    EXPECT_EQ(Core::FindComponentInfo(271), &ViewManagerComponentInfo());
    EXPECT_EQ(Core::FindComponentInfo(274), &ObjectRegistryComponentInfo());
}

}  // namespace
