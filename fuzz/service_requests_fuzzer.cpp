// Hands arbitrary request packets to the service's view manager over a small store in memory.
// The first byte chooses the method (1 to 9), the rest is the packet. Every call must be answered
// at once (polls are bounded to no wait), with a reply packet that the method's own request reads
// back without a reading error; once the connection closes, the service must hold nothing.

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <span>
#include <vector>

#include "enterprise/common/ipc/view_manager/requests.h"
#include "enterprise/common/zaph/unit_builder.h"
#include "platform/service/view_manager_service.h"

namespace {

using namespace Kivo::ViewManagement;

constexpr uint32_t kMethods = 9;

// A service over a store in memory with a few machines, made once.
KivoService::ViewManagerService& Service() {
    static const std::shared_ptr<KivoService::ViewManagerService> service = [] {
        const auto store = KivoStore::Store::Open(u"file::memory:");
        const auto batch = store->BeginBatch();
        for (uint32_t n = 1; n <= 3; ++n) {
            batch->CreateObject(Zaph::View::SharedUnitPtr(
                Zaph::Util::FluentUnitBuilder(Zaph::Construction::DefaultUnitFactory())
                    .Composite()
                    .Trait("Is")
                    .String(u"Machine")
                    .End()
                    .Property("Key")
                    .Composite()
                    .Trait("PrimaryKey")
                    .Nil()
                    .End()
                    .Property("Id")
                    .DWord(n)
                    .End()
                    .End()
                    .End()
                    .TakeResult()));
        }
        batch->Commit();
        return KivoService::ViewManagerService::Start(
            store, {.pollBound = std::chrono::milliseconds(0), .workers = 1});
    }();
    return *service;
}

std::unique_ptr<Binding::Request> ReplyReader(uint32_t method) {
    static uint32_t id;
    static UnitVector units;
    static std::vector<ViewUpdate> updates;
    static Subscription subscription;
    static Topic topic;
    static SubscriptionContent content;
    static const Kivo::ViewSpec spec;
    switch (method) {
        case 1:
            return CreateOpenDynamicViewRequest(spec, id, units);
        case 2:
            return CreateOpenStaticViewRequest(spec, units);
        case 3:
            return CreateAcquireUpdatesRequest(1, updates);
        case 4:
            return CreateCloseViewRequest(1);
        case 5:
            return CreateSubscribeRequest({}, subscription);
        case 6:
            return CreateAddInterestRequest({}, topic);
        case 7:
            return CreateReadSubscriptionRequest(1, content);
        case 8:
            return CreateRemoveInterestRequest({});
        default:
            return CreateUnsubscribeRequest(1);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0)
        return 0;
    KivoService::ViewManagerService& service = Service();
    const uint32_t method = data[0] % kMethods + 1;
    int replies = 0;
    service.StartCall(1, method, std::span<const uint8_t>(data + 1, size - 1),
                      [&](const Common::Error& failure, std::vector<uint8_t> reply) {
                          ++replies;
                          if (!failure.IsEmpty())
                              std::abort();  // every method has a reply packet
                          try {
                              (void)ReplyReader(method)->DeserializeReply(reply);
                          } catch (const Common::Error&) {
                              std::abort();  // the service wrote what its client cannot read
                          }
                      });
    if (replies != 1)
        std::abort();
    service.ConnectionClosed(1);
    if (!(service.Counts() == KivoService::ServiceCounts{}))
        std::abort();
    return 0;
}
