// The test program of listening: kivo_dump's own run, with a scripted view manager served in this
// process as the service QOR (33) of this machine while the query runs.
//
//   kivo_dump_in_process <service> <interface version 1 or 2> <kivo_dump arguments...>
//
// Machines 1 to 3 match when the view or interest opens; the first read brings the creation of
// machine 4, an update of 1 and the deletion of 2, marked with "ChannelID" under version 2. Later
// reads of a <service> that "works" wait, as a long poll does, until the subscriber or view is
// released; those of one that "stops" fail with 0x9C0777, of one that "cancels" with the cancel
// 0xF90002. One that "refuses" fails the opening with 0x9C0777.

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "core/common/standard_streams.h"
#include "core/common/text.h"
#include "core/ipc_client_api/local_components.h"
#include "enterprise/common/ipc/view_manager/view_manager_stub.h"
#include "enterprise/common/kivo/tools/dump/run.h"
#include "enterprise/common/zaph/tests/unit_builders.h"

namespace {

using namespace Kivo::ViewManagement;
using namespace ZaphTest;
using Common::Error;
using Kivo::ViewSpec;
using Zaph::View::SharedUnitPtr;

// `unit`, whose root carries the trait "ChannelID" unless `channel` is 0, as a service marks what
// it sends for an interest.
SharedUnitPtr Marked(UnitPtr unit, uint32_t channel) {
    return SharedUnitPtr(channel == 0 ? std::move(unit)
                                      : WithTrait(std::move(unit), "ChannelID", DWord(channel)));
}

// Machine `n`'s key, and the machine.
UnitPtr Key(uint32_t n) {
    return WithTrait(Composite(Prop{"Name", Str(Common::ToUtf16("machine-" + std::to_string(n)))}),
                     "PrimaryKey", Nil());
}
SharedUnitPtr MachineObject(uint32_t n, uint32_t channel = 0) {
    return Marked(WithTrait(Composite(Prop{"Key", Key(n)}), "Is", Str(u"Machine")), channel);
}

class ScriptedViewManager final : public ViewManager {
  public:
    explicit ScriptedViewManager(std::string service) : service_(std::move(service)) {}

    Error OpenDynamicView(const ViewSpec&, uint32_t& viewID, UnitVector& snapshot) override {
        viewID = 5;
        return Open(0, snapshot);
    }
    Error OpenStaticView(const ViewSpec&, UnitVector& snapshot) override {
        return Open(0, snapshot);
    }
    Error AcquireUpdates(uint32_t, std::vector<ViewUpdate>& updates) override {
        return Read(updates);
    }
    Error CloseView(uint32_t) override { return Unsubscribe(0); }
    Error Subscribe(const SubscriptionSpec&, Subscription& subscription) override {
        subscription.ID = 7;
        return Error();
    }
    Error AddInterest(const TopicSpec& spec, Topic& topic) override {
        topic.ID = {spec.Subscription, 3};
        return Open(3, topic.Content);
    }
    Error ReadSubscription(uint32_t, SubscriptionContent& content) override {
        return Read(content.TopicUpdates);
    }
    Error RemoveInterest(const TopicID&) override { return Error(); }
    Error Unsubscribe(uint32_t) override {
        std::lock_guard<std::mutex> hold(lock_);
        released_ = true;
        changed_.notify_all();
        return Error();
    }

  private:
    // The matching machines; queues the changes, marked with `channel` unless 0.
    Error Open(uint32_t channel, UnitVector& matching) {
        if (service_ == "refuses")
            return Failure();
        matching = {MachineObject(1), MachineObject(2), MachineObject(3)};
        std::lock_guard<std::mutex> hold(lock_);
        pending_ = {ViewUpdate{0, MachineObject(4, channel), nullptr},
                    ViewUpdate{1, Marked(Key(1), channel),
                               SharedUnitPtr(Composite(Prop{"Port", DWord(8001)}))},
                    ViewUpdate{2, Marked(Key(2), channel), nullptr}};
        changed_.notify_all();
        return Error();
    }

    Error Read(std::vector<ViewUpdate>& updates) {
        std::unique_lock<std::mutex> hold(lock_);
        if (sent_ && service_ != "works")
            return Failure();
        changed_.wait(hold, [this] { return released_ || !pending_.empty(); });
        sent_ = sent_ || !pending_.empty();
        updates = std::exchange(pending_, {});
        return Error();
    }

    Error Failure() const {
        return Error(COMMON_PLACE("ScriptedViewManager::Failure"),
                     service_ == "cancels" ? 0xF90002 : 0x9C0777, "The service failed.");
    }

    const std::string service_;
    std::mutex lock_;
    std::condition_variable changed_;
    bool released_ = false;
    bool sent_ = false;
    std::vector<ViewUpdate> pending_;
};

}  // namespace

int main(int argc, char** argv) {
    Common::IgnoreBrokenPipe();
    if (argc < 3)
        return 2;
    const std::string service = argv[1];
    const uint32_t version = std::string(argv[2]) == "1" ? 1 : 2;
    // The tool's arguments follow the program's name.
    argv[2] = argv[0];
    return KivoDump::Run(argc - 2, argv + 2, [&] {
        return std::make_shared<Binding::ScopedLocalComponent>(
            33, std::make_shared<ViewManager_Stub>(std::make_shared<ScriptedViewManager>(service),
                                                   version));
    });
}
