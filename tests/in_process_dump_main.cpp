// The test program of listening: kivo_dump's own run, with a scripted view manager served in this
// process as the service QOR (33) of this machine while the query runs.
//
//   kivo_dump_in_process <service> <interface version 1 or 2> <kivo_dump arguments...>
//
// Machines 1 to 3 (scripted_service_support.h) match when the view or interest opens; the first
// read brings the creation of machine 4, an update of 1 and the deletion of 2, every Key marked
// with "ChannelID" under version 2. Later reads of a <service> that "works" wait, as a long poll
// does, until the subscriber or view is released; those of one that "stops" fail with 0x9C0777,
// of one that "cancels" with the cancel 0xF90002. One that "refuses" fails the opening with
// 0x9C0777. With "elsewhere", every other host binds, then refuses the service.

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "core/common/standard_streams.h"
#include "core/common/text.h"
#include "core/ipc_client_api/ipc_client.h"
#include "core/ipc_client_api/local_components.h"
#include "enterprise/common/ipc/view_manager/view_manager_stub.h"
#include "enterprise/common/kivo/tools/dump/run.h"
#include "tests/scripted_service_support.h"

namespace {

using namespace Kivo::ViewManagement;
using namespace KivoDumpTest;
using Common::Error;
using Kivo::ViewSpec;

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
                    ViewUpdate{1, MachineKey(1, channel), MachineDiff(1)},
                    ViewUpdate{2, MachineKey(2, channel), nullptr}};
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

// An IPC client library that is its own binder and browser: binds every host, then refuses every
// service, naming the host, the credentials and the service it was given.
class RefusingLibrary final : public IPCClient::Library,
                              public Binding::Binder,
                              public Binding::ServiceBrowser {
  public:
    Error Init() override { return Error(); }
    Error Deinit() override { return Error(); }
    Error CreateBinder(std::unique_ptr<Binding::Binder>& binder) override {
        binder = std::make_unique<RefusingLibrary>();
        return Error();
    }
    Error GetLocalBrowser(std::unique_ptr<Binding::ServiceBrowser>&) override { return Error(); }
    Error Bind(const Binding::ConnectionParameters& parameters,
               std::unique_ptr<Binding::ServiceBrowser>& browser) override {
        auto bound = std::make_unique<RefusingLibrary>();
        bound->bound_ = parameters.host + "|" + Common::ToUtf8(parameters.user) + "|" +
                        Common::ToUtf8(parameters.password) + "|";
        browser = std::move(bound);
        return Error();
    }
    Error Connect(uint32_t serviceId, uint32_t, std::unique_ptr<Binding::AccessPoint>&) override {
        return Error(COMMON_PLACE("RefusingLibrary::Connect"), 0xAE0003,
                     Common::ToUtf16(bound_ + std::to_string(serviceId)));
    }

  private:
    std::string bound_;
};

// What the run holds while the query runs: the view manager served, and for "elsewhere" the
// refusing library in place of the platform's.
struct Companion {
    Companion(const std::string& service, uint32_t version)
        : component(33, std::make_shared<ViewManager_Stub>(
                            std::make_shared<ScriptedViewManager>(service), version)),
          previous(service == "elsewhere"
                       ? IPCClient::RegisterLibrary(std::make_shared<RefusingLibrary>())
                       : nullptr) {}
    ~Companion() {
        if (previous != nullptr)
            IPCClient::RegisterLibrary(previous);
    }

    const Binding::ScopedLocalComponent component;
    const std::shared_ptr<IPCClient::Library> previous;
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
    return KivoDump::Run(argc - 2, argv + 2,
                         [&] { return std::make_shared<Companion>(service, version); });
}
