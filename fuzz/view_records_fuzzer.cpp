// Reads arbitrary packet bytes in the three ways the binding reads packets from peers. The first
// byte chooses the reading, the rest is the packet:
//   records   each of the eight view-manager record types, read from a section "r" field by
//             field; what was read is written, read back and written again, and the two writes
//             must agree;
//   replies   the reply of each of the nine methods, read by the method's request; a reply that
//             fails, or reports a failure, must leave every output variable as it was;
//   requests  the request of each of the nine methods, answered by the service stub; the stub
//             must answer, and the client must read its answer.
// Readers may only fail with the packet reader's codes and, where units are read, the unit
// library's.

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "enterprise/common/ipc/utils.h"
#include "enterprise/common/ipc/view_manager/requests.h"
#include "enterprise/common/ipc/view_manager/view_manager_stub.h"
#include "enterprise/common/zaph/unit_builder.h"
#include "enterprise/serialize/xml_packet_deserializer.h"
#include "enterprise/serialize/xml_packet_serializer.h"

namespace {

using namespace Kivo::ViewManagement;
using Kivo::ViewSpec;

constexpr uint32_t kRecordKinds = 8;
constexpr uint32_t kMethods = 9;
// The facility of the unit library's errors (a unit's binary form that does not read).
constexpr uint32_t kUnitFacility = 0xFA0000;

bool ReaderCode(uint32_t code, bool units) {
    return code == Serialization::kPacketInconsistent || code == Serialization::kPacketNoData ||
           (units && (code & 0xFFFF0000) == kUnitFacility);
}

// A packet holding `value` (a record or a vector) under the tag "r".
template <class Value>
std::string Written(const Value& value) {
    using Binding::Detail::WriteValue;
    Serialization::XMLPacketSerializer out(2, 0xFFFFFFFF);
    WriteValue(out, "r", value);
    return out.FinishString();
}

template <class Record>
void ReadRecordTwice(std::string_view packet) {
    Record first;
    try {
        Serialization::XMLPacketDeserializer in(packet, 0);
        ReadValue(in, "r", first);
    } catch (const Common::Error& error) {
        // Fields are optional: only a packet without the section fails.
        if (error.Code() != Serialization::kPacketInconsistent) {
            std::abort();
        }
        return;
    }
    const std::string written = Written(first);
    Record second;
    try {
        Serialization::XMLPacketDeserializer in(written, 0);
        ReadValue(in, "r", second);
    } catch (const Common::Error&) {
        std::abort();
    }
    if (Written(second) != written) {
        std::abort();
    }
}

void ReadRecord(uint32_t kind, std::string_view packet) {
    switch (kind) {
        case 0:
            return ReadRecordTwice<ViewSpec>(packet);
        case 1:
            return ReadRecordTwice<ViewUpdate>(packet);
        case 2:
            return ReadRecordTwice<TopicID>(packet);
        case 3:
            return ReadRecordTwice<TopicSpec>(packet);
        case 4:
            return ReadRecordTwice<Topic>(packet);
        case 5:
            return ReadRecordTwice<SubscriptionSpec>(packet);
        case 6:
            return ReadRecordTwice<Subscription>(packet);
        default:
            return ReadRecordTwice<SubscriptionContent>(packet);
    }
}

Zaph::View::SharedUnitPtr Sentinel() {
    return Zaph::Util::FluentUnitBuilder(Zaph::Construction::DefaultUnitFactory())
        .String(u"before")
        .End()
        .TakeResult();
}

// The output variables of every method, holding values that no reply gives by chance.
struct Outputs {
    uint32_t viewID = 0xDEADBEEF;
    UnitVector snapshot{Sentinel()};
    std::vector<ViewUpdate> updates{ViewUpdate{77, Sentinel(), nullptr}};
    Subscription subscription{0xDEADBEEF};
    Topic topic{{1, 2}, {Sentinel()}};
    SubscriptionContent content{{ViewUpdate{77, nullptr, Sentinel()}}};

    std::string Text() const {
        return std::to_string(viewID) + Written(snapshot) + Written(updates) +
               Written(subscription) + Written(topic) + Written(content);
    }
};

std::unique_ptr<Binding::Request> MakeRequest(uint32_t method, Outputs& outputs) {
    static const ViewSpec spec{Sentinel(), nullptr};
    switch (method) {
        case 1:
            return CreateOpenDynamicViewRequest(spec, outputs.viewID, outputs.snapshot);
        case 2:
            return CreateOpenStaticViewRequest(spec, outputs.snapshot);
        case 3:
            return CreateAcquireUpdatesRequest(5, outputs.updates);
        case 4:
            return CreateCloseViewRequest(5);
        case 5:
            return CreateSubscribeRequest(SubscriptionSpec{}, outputs.subscription);
        case 6:
            return CreateAddInterestRequest(TopicSpec{5, spec}, outputs.topic);
        case 7:
            return CreateReadSubscriptionRequest(5, outputs.content);
        case 8:
            return CreateRemoveInterestRequest(TopicID{5, 6});
        default:
            return CreateUnsubscribeRequest(5);
    }
}

void ReadReply(uint32_t method, std::span<const uint8_t> packet) {
    Outputs outputs;
    const std::string before = outputs.Text();
    const std::unique_ptr<Binding::Request> request = MakeRequest(method, outputs);
    bool failed = false;
    try {
        failed = !request->DeserializeReply(packet).IsEmpty();
    } catch (const Common::Error& error) {
        if (!ReaderCode(error.Code(), true)) {
            std::abort();
        }
        failed = true;
    }
    if (failed && outputs.Text() != before) {
        std::abort();
    }
}

// A service that answers every method with what it was sent, so that the units of the request
// travel back in the reply.
class EchoService final : public ViewManager {
  public:
    Common::Error OpenDynamicView(const ViewSpec& specification, uint32_t& viewID,
                                  UnitVector& snapshot) override {
        viewID = 1;
        snapshot = {specification.Pattern, specification.Options};
        return Common::Error();
    }
    Common::Error OpenStaticView(const ViewSpec& specification, UnitVector& snapshot) override {
        snapshot.push_back(specification.Pattern);
        return Common::Error();
    }
    Common::Error AcquireUpdates(uint32_t viewID, std::vector<ViewUpdate>& updates) override {
        for (ViewUpdate& update : updates) {
            update.Type = viewID;
        }
        return Common::Error();
    }
    Common::Error CloseView(uint32_t) override { return Common::Error(); }
    Common::Error Subscribe(const SubscriptionSpec&, Subscription& subscription) override {
        ++subscription.ID;
        return Common::Error();
    }
    Common::Error AddInterest(const TopicSpec& spec, Topic& topic) override {
        topic.ID.Subscriber = spec.Subscription;
        topic.Content.push_back(spec.Interest.Options);
        return Common::Error();
    }
    Common::Error ReadSubscription(uint32_t, SubscriptionContent&) override {
        return Common::Error();
    }
    Common::Error RemoveInterest(const TopicID&) override { return Common::Error(); }
    Common::Error Unsubscribe(uint32_t) override { return Common::Error(); }
};

void AnswerRequest(uint32_t method, std::span<const uint8_t> packet) {
    static ViewManager_Stub stub(std::make_shared<EchoService>(), 2);
    std::vector<uint8_t> reply;
    try {
        reply = stub.HandleCall(method, packet);
    } catch (const Common::Error&) {
        std::abort();  // a known method is always answered
    }
    Outputs outputs;
    try {
        // A request that did not read is answered with the stub's refusal: what matters here is
        // that the answer reads, not what it says.
        MakeRequest(method, outputs)->DeserializeReply(reply).Ignore();
    } catch (const Common::Error&) {
        std::abort();  // the stub's reply always reads
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Reading what a peer sends never asserts: a failed assertion ends the run.
    setenv("BRINTAL_SAFE_ASSERT", "abort", 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    const uint32_t choice = data[0] % (kRecordKinds + 2 * kMethods);
    const std::span<const uint8_t> packet(data + 1, size - 1);
    if (choice < kRecordKinds) {
        ReadRecord(choice,
                   std::string_view(reinterpret_cast<const char*>(packet.data()), packet.size()));
    } else if (choice < kRecordKinds + kMethods) {
        ReadReply(choice - kRecordKinds + 1, packet);
    } else {
        AnswerRequest(choice - kRecordKinds - kMethods + 1, packet);
    }
    return 0;
}
