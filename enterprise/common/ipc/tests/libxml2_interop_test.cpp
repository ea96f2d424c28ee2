// Every request and reply packet of the nine view-manager methods, with realistic records and
// units, is well-formed XML for libxml2, whose tree holds what our reader reads.

#include <gtest/gtest.h>
#include <libxml/parser.h>
#include <libxml/tree.h>

#include <memory>
#include <string>
#include <vector>

#include "core/common/base64.h"
#include "enterprise/common/ipc/tests/ipc_test_support.h"
#include "enterprise/common/zaph/binary_form.h"
#include "enterprise/common/zaph/blob_reader.h"
#include "enterprise/common/zaph/unit_factory.h"

namespace {

using IpcTest::DWord;
using IpcTest::Machine;
using Kivo::ViewSpec;
using namespace Kivo::ViewManagement;

struct DocumentFree {
    void operator()(xmlDoc* document) const { xmlFreeDoc(document); }
};
using Document = std::unique_ptr<xmlDoc, DocumentFree>;

Document Parse(const std::vector<uint8_t>& packet) {
    return Document(xmlReadMemory(reinterpret_cast<const char*>(packet.data()),
                                  static_cast<int>(packet.size()), "packet.xml", nullptr,
                                  XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING));
}

std::string NameOf(const xmlNode* node) {
    return reinterpret_cast<const char*>(node->name);
}

std::vector<const xmlNode*> Elements(const xmlNode* parent) {
    std::vector<const xmlNode*> elements;
    for (const xmlNode* child = parent->children; child != nullptr; child = child->next) {
        if (child->type == XML_ELEMENT_NODE) {
            elements.push_back(child);
        }
    }
    return elements;
}

const xmlNode* Child(const xmlNode* parent, const std::string& name) {
    for (const xmlNode* element : Elements(parent)) {
        if (NameOf(element) == name) {
            return element;
        }
    }
    return nullptr;
}

std::string Content(const xmlNode* node) {
    xmlChar* text = xmlNodeGetContent(node);
    std::string content = text != nullptr ? reinterpret_cast<const char*>(text) : "";
    xmlFree(text);
    return content;
}

std::string Attribute(const xmlNode* node, const char* name) {
    xmlChar* value = xmlGetProp(node, reinterpret_cast<const xmlChar*>(name));
    std::string text = value != nullptr ? reinterpret_cast<const char*>(value) : "";
    xmlFree(value);
    return text;
}

// The unit that libxml2 sees in a unit value element.
Zaph::View::SharedUnitPtr UnitIn(const xmlNode* element) {
    const xmlNode* isEmpty = Child(element, "is_empty");
    EXPECT_NE(isEmpty, nullptr);
    if (isEmpty == nullptr || Content(isEmpty) == "1") {
        return nullptr;
    }
    const xmlNode* value = Child(element, "value");
    EXPECT_NE(value, nullptr);
    std::vector<uint8_t> blob;
    EXPECT_TRUE(Common::Base64Decode(Content(value), blob));
    return Zaph::Util::ReadUnitFromBlob(blob, Zaph::Construction::DefaultUnitFactory());
}

// Fills the service with realistic answers and makes one call of each method.
std::unique_ptr<IpcTest::Loopback> CallEveryMethod() {
    auto loopback = std::make_unique<IpcTest::Loopback>();
    IpcTest::RecordingViewManager& service = *loopback->service;
    service.viewID = 12;
    service.snapshot = {Machine(u"host <a&b> \"q\"", 80), nullptr, Machine(u"  spaced  ", 443)};
    service.updates = {ViewUpdate{0, DWord(1), Machine(u"created", 1)},
                       ViewUpdate{1, DWord(2), Machine(u"diff", 2)},
                       ViewUpdate{2, DWord(3), nullptr}};
    service.subscription = Subscription{99};
    service.topic = Topic{{99, 4}, service.snapshot};
    service.content = SubscriptionContent{service.updates};

    ViewManager& proxy = loopback->proxy;
    const ViewSpec query{Machine(u"pattern", 1), Machine(u"LimitOptions", 1000)};
    uint32_t viewID = 0;
    UnitVector snapshot;
    std::vector<ViewUpdate> updates;
    Subscription subscription;
    Topic topic;
    SubscriptionContent content;
    EXPECT_TRUE(proxy.OpenDynamicView(query, viewID, snapshot).IsEmpty());
    EXPECT_TRUE(proxy.OpenStaticView(ViewSpec{query.Pattern, nullptr}, snapshot).IsEmpty());
    EXPECT_TRUE(proxy.AcquireUpdates(viewID, updates).IsEmpty());
    EXPECT_TRUE(proxy.CloseView(viewID).IsEmpty());
    EXPECT_TRUE(proxy.Subscribe(SubscriptionSpec{}, subscription).IsEmpty());
    EXPECT_TRUE(proxy.AddInterest(TopicSpec{subscription.ID, query}, topic).IsEmpty());
    EXPECT_TRUE(proxy.ReadSubscription(subscription.ID, content).IsEmpty());
    EXPECT_TRUE(proxy.RemoveInterest(topic.ID).IsEmpty());
    EXPECT_TRUE(proxy.Unsubscribe(subscription.ID).IsEmpty());
    return loopback;
}

const std::vector<std::string> kMethods = {"OpenDynamicView",  "OpenStaticView", "AcquireUpdates",
                                           "CloseView",        "Subscribe",      "AddInterest",
                                           "ReadSubscription", "RemoveInterest", "Unsubscribe"};

TEST(ViewManagerPacketsWithLibxml2, EveryRequestAndReplyIsWellFormed) {
    const auto loopback = CallEveryMethod();
    const auto requests = loopback->accessPoint->Requests();
    const auto replies = loopback->accessPoint->Replies();
    ASSERT_EQ(requests.size(), kMethods.size());
    ASSERT_EQ(replies.size(), kMethods.size());
    for (size_t i = 0; i < kMethods.size(); ++i) {
        for (const bool isRequest : {true, false}) {
            const std::vector<uint8_t>& packet = isRequest ? requests[i] : replies[i];
            const Document document = Parse(packet);
            ASSERT_NE(document, nullptr) << kMethods[i] << " " << IpcTest::Text(packet);
            const xmlNode* root = xmlDocGetRootElement(document.get());
            ASSERT_EQ(NameOf(root), "XML_SERIALIZER");
            const auto sections = Elements(root);
            ASSERT_EQ(sections.size(), 1u);
            EXPECT_EQ(NameOf(sections[0]),
                      (isRequest ? "request_ViewManager_" : "reply_ViewManager_") + kMethods[i]);
            if (!isRequest) {
                const auto values = Elements(sections[0]);
                ASSERT_FALSE(values.empty());
                EXPECT_EQ(NameOf(values[0]), "result");
                EXPECT_EQ(Content(values[0]), "AQ==");
            }
        }
    }
}

TEST(ViewManagerPacketsWithLibxml2, TreesHoldTheUnitsRecordsAndTraits) {
    const auto loopback = CallEveryMethod();
    const IpcTest::RecordingViewManager& service = *loopback->service;

    // OpenDynamicView's reply: the view identifier and every unit of the snapshot.
    const Document dynamicView = Parse(loopback->accessPoint->Replies()[0]);
    const xmlNode* reply = Elements(xmlDocGetRootElement(dynamicView.get()))[0];
    EXPECT_EQ(Content(Child(reply, "viewID")), "12");
    const auto items = Elements(Child(Child(reply, "snapshot"), "vector"));
    ASSERT_EQ(items.size(), service.snapshot.size());
    for (size_t i = 0; i < items.size(); ++i) {
        EXPECT_EQ(NameOf(items[i]), "item");
        EXPECT_TRUE(IpcTest::SameUnit(UnitIn(items[i]), service.snapshot[i]));
    }

    // AddInterest: the request's nested view spec and the reply's nested topic identifier carry
    // version 2 and their type.
    const Document addInterest = Parse(loopback->accessPoint->Requests()[5]);
    const xmlNode* spec = Child(Elements(xmlDocGetRootElement(addInterest.get()))[0], "spec");
    EXPECT_EQ(Content(Child(spec, "Subscription")), "99");
    const xmlNode* interest = Child(spec, "Interest");
    EXPECT_EQ(Attribute(interest, "version"), "2");
    const xmlNode* trait = Child(Child(interest, "traits"), "trait");
    EXPECT_EQ(Attribute(trait, "name"), "Is");
    EXPECT_EQ(Attribute(trait, "type"), "StringValue");
    EXPECT_EQ(Content(trait), "Kivo::ViewSpec");
    EXPECT_TRUE(IpcTest::SameUnit(UnitIn(Child(interest, "Pattern")), Machine(u"pattern", 1)));

    const Document topicReply = Parse(loopback->accessPoint->Replies()[5]);
    const xmlNode* id =
        Child(Child(Elements(xmlDocGetRootElement(topicReply.get()))[0], "topic"), "ID");
    EXPECT_EQ(Attribute(id, "version"), "2");
    EXPECT_EQ(Content(Child(Child(id, "traits"), "trait")), "Kivo::ViewManagement::TopicID");
    EXPECT_EQ(Content(Child(id, "Interest")), "4");

    // ReadSubscription's reply: each update with its type and units.
    const Document readSubscription = Parse(loopback->accessPoint->Replies()[6]);
    const auto updates = Elements(
        Child(Child(Child(Elements(xmlDocGetRootElement(readSubscription.get()))[0], "updates"),
                    "TopicUpdates"),
              "vector"));
    ASSERT_EQ(updates.size(), service.content.TopicUpdates.size());
    for (size_t i = 0; i < updates.size(); ++i) {
        const ViewUpdate& expected = service.content.TopicUpdates[i];
        EXPECT_EQ(Content(Child(updates[i], "Type")), std::to_string(expected.Type));
        EXPECT_TRUE(IpcTest::SameUnit(UnitIn(Child(updates[i], "Key")), expected.Key));
        EXPECT_TRUE(
            IpcTest::SameUnit(UnitIn(Child(updates[i], "PackedUpdate")), expected.PackedUpdate));
    }
}

}  // namespace
