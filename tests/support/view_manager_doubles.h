// Test doubles of the view manager's two sides, shared by the binding tests and the Kivo client
// tests: a view manager that records what it was called with and answers what it was set to
// answer, and an access point that hands each request to a server component on the calling
// thread.
//
// Thread-safety: see each class.
#pragma once

#include <array>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "core/ipc_client_api/access_point.h"
#include "core/ipc_client_api/server_component.h"
#include "enterprise/common/ipc/view_manager/view_manager.h"
#include "enterprise/common/ipc/view_manager/view_manager_stub.h"

namespace IpcTest {

using namespace Kivo::ViewManagement;

/// An access point that runs each call on the calling thread: Run packs the request, hands the
/// packet to the component and lets the request read the reply. Keeps every packet exchanged.
class LoopbackAccessPoint final : public Binding::AccessPoint {
  public:
    explicit LoopbackAccessPoint(std::shared_ptr<Binding::SynchronousServerComponent> component)
        : component_(std::move(component)) {}
    Common::Error Call(std::unique_ptr<Binding::Request> request,
                       std::unique_ptr<Binding::CallJob>& job) override {
        job = std::make_unique<Job>(*this, std::move(request));
        return Common::Error();
    }
    uint32_t GetConnectionID() const override { return 1; }
    /// The component's version; an error with code 0xE1E1 for any other component.
    Common::Error GetComponentVersion(uint32_t componentId, uint32_t& version) override {
        if (componentId != component_->GetComponentID()) {
            return Common::Error(COMMON_PLACE("IpcTest::LoopbackAccessPoint::GetComponentVersion"),
                                 0xE1E1, "No such component.");
        }
        version = component_->GetInterfaceVersion();
        return Common::Error();
    }

    /// The packets exchanged so far, request then reply, under the lock.
    std::vector<std::vector<uint8_t>> packets;
    std::mutex lock;

  private:
    // Refuses Start: the loopback runs calls synchronously only.
    struct Job final : Binding::CallJob {
        Job(LoopbackAccessPoint& to, std::unique_ptr<Binding::Request> request)
            : to(to), request(std::move(request)) {}
        Common::Error Run() override try {
            std::vector<uint8_t> packet = request->Pack();
            std::vector<uint8_t> reply = to.component_->HandleCall(request->GetMethodID(), packet);
            std::lock_guard<std::mutex> hold(to.lock);
            to.packets.insert(to.packets.end(), {std::move(packet), reply});
            return request->DeserializeReply(reply);
        } catch (const Common::Error& error) {
            return error;
        }
        Common::Error Start(JobManagement::JobHandler&) override {
            return Common::Error(COMMON_PLACE("IpcTest::LoopbackAccessPoint::Job::Start"), 0xE1E1);
        }
        Common::Error Cancel() override { return Common::Error(); }
        LoopbackAccessPoint& to;
        const std::unique_ptr<Binding::Request> request;
    };
    const std::shared_ptr<Binding::SynchronousServerComponent> component_;
};

/// A view manager that records the inputs of its calls and answers with the fields below. Set
/// those before the calls; the methods may then run on several threads at once, and Calls and
/// HoldReads may be used at any time.
class RecordingViewManager final : public ViewManager {
  public:
    /// While held, a ReadSubscription with nothing queued waits (at most 30 s) until released.
    void HoldReads(bool hold) {
        std::lock_guard<std::mutex> locked(lock_);
        holdReads_ = hold;
        changed_.notify_all();
    }
    /// Calls of method `method` (1 to 9) so far.
    size_t Calls(uint32_t method) {
        std::lock_guard<std::mutex> locked(lock_);
        return calls_.at(method);
    }

    // What the last calls received.
    Kivo::ViewSpec receivedSpec;
    uint32_t receivedId = 0;
    TopicSpec receivedTopicSpec;
    TopicID receivedTopic;

    // What the calls answer; the outcomes of each method are answered first, in order, then
    // success; the contents are answered in order by ReadSubscription, then nothing.
    uint32_t viewID = 0;
    UnitVector snapshot;
    std::vector<ViewUpdate> updates;
    Subscription subscription;
    Topic topic;
    std::map<uint32_t, std::deque<Common::Error>> outcomes;
    std::deque<SubscriptionContent> contents;

    Common::Error OpenDynamicView(const Kivo::ViewSpec& spec, uint32_t& id,
                                  UnitVector& out) override {
        return Answer(1, [&] { receivedSpec = spec, id = viewID, out = snapshot; });
    }
    Common::Error OpenStaticView(const Kivo::ViewSpec& spec, UnitVector& out) override {
        return Answer(2, [&] { receivedSpec = spec, out = snapshot; });
    }
    Common::Error AcquireUpdates(uint32_t id, std::vector<ViewUpdate>& out) override {
        return Answer(3, [&] { receivedId = id, out = updates; });
    }
    Common::Error CloseView(uint32_t id) override {
        return Answer(4, [&] { receivedId = id; });
    }
    Common::Error Subscribe(const SubscriptionSpec&, Subscription& out) override {
        return Answer(5, [&] { out = subscription; });
    }
    Common::Error AddInterest(const TopicSpec& spec, Topic& out) override {
        return Answer(6,
                      [&] { receivedTopicSpec = spec, receivedSpec = spec.Interest, out = topic; });
    }
    Common::Error ReadSubscription(uint32_t subscriber, SubscriptionContent& out) override {
        bool held = false;
        const Common::Error outcome = Answer(7, [&] {
            receivedId = subscriber;
            held = contents.empty();
            out = held ? SubscriptionContent{} : contents.front();
            if (!held) {
                contents.pop_front();
            }
        });
        std::unique_lock<std::mutex> locked(lock_);
        changed_.wait_for(locked, std::chrono::seconds(held ? 30 : 0),
                          [this] { return !holdReads_; });
        return outcome;
    }
    Common::Error RemoveInterest(const TopicID& id) override {
        return Answer(8, [&] { receivedTopic = id; });
    }
    Common::Error Unsubscribe(uint32_t id) override {
        return Answer(9, [&] { receivedId = id; });
    }

  private:
    // Counts a call of `method` and takes its outcome after `exchange`, under the lock.
    template <class Exchange>
    Common::Error Answer(uint32_t method, Exchange&& exchange) {
        std::lock_guard<std::mutex> hold(lock_);
        exchange();
        ++calls_.at(method);
        std::deque<Common::Error>& queued = outcomes[method];
        const Common::Error outcome = queued.empty() ? Common::Error() : queued.front();
        if (!queued.empty()) {
            queued.pop_front();
        }
        return outcome;
    }

    std::mutex lock_;
    std::condition_variable changed_;
    bool holdReads_ = false;
    std::array<size_t, 10> calls_{};
};

/// A recording view manager served through a stub of interface version 2 and a loopback access
/// point, with a proxy.
struct Loopback {
    std::shared_ptr<RecordingViewManager> service = std::make_shared<RecordingViewManager>();
    std::shared_ptr<ViewManager_Stub> stub = std::make_shared<ViewManager_Stub>(service, 2);
    std::shared_ptr<LoopbackAccessPoint> accessPoint = std::make_shared<LoopbackAccessPoint>(stub);
    ViewManager_Proxy proxy{accessPoint};
};

}  // namespace IpcTest
