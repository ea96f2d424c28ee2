// Helpers shared by the request tests: an in-test access point that hands each request packet to
// a server component and its reply back, a view manager that records what it was called with,
// units to send, packet text helpers and a recorder of assertions and traced errors.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "core/common/trace.h"
#include "core/ipc_client_api/access_point.h"
#include "core/ipc_client_api/server_component.h"
#include "enterprise/common/ipc/view_manager/view_manager.h"

namespace IpcTest {

/// What the writer puts around every packet body.
inline const std::string kPacketHead = "\xEF\xBB\xBF<XML_SERIALIZER>";
inline const std::string kPacketTail = "</XML_SERIALIZER>";

std::string Text(std::span<const uint8_t> packet);
std::vector<uint8_t> Bytes(const std::string& text);
/// The text between the root tags of `packet` (which must have them).
std::string Body(std::span<const uint8_t> packet);
/// A whole packet around `body`.
std::vector<uint8_t> Packet(const std::string& body);
/// "<name><is_empty>0</is_empty><value>base64</value></name>" for `unit`.
std::string UnitElement(const std::string& name, const Zaph::View::SharedUnitPtr& unit);

/// A small composite object with a key trait, a text with markup and a nested array.
Zaph::View::SharedUnitPtr Machine(const std::u16string& name, uint32_t port);
/// A DWord unit.
Zaph::View::SharedUnitPtr DWord(uint32_t value);
/// True when both are null or both hold equal units.
bool SameUnit(const Zaph::View::SharedUnitPtr& left, const Zaph::View::SharedUnitPtr& right);
bool SameUnits(const Kivo::ViewManagement::UnitVector& left,
               const Kivo::ViewManagement::UnitVector& right);

/// Collects, while it lives, the assertion texts (the tests run with BRINTAL_SAFE_ASSERT=event)
/// and the traced errors with their levels.
class TraceRecorder {
  public:
    TraceRecorder();
    ~TraceRecorder();

    std::vector<std::string> Assertions() const;
    /// The codes of the errors traced at `level`.
    std::vector<uint32_t> ErrorCodes(uint32_t level) const;

  private:
    class Tracer;
    std::shared_ptr<Tracer> tracer_;
    std::shared_ptr<Common::Tracer> previous_;
};

/// An access point that runs each call on the calling thread: Run packs the request, hands the
/// packet to the component registered for the request's component id and lets the request read
/// the reply. Start is not offered. Records every request and reply packet.
class LoopbackAccessPoint final : public Binding::AccessPoint {
  public:
    explicit LoopbackAccessPoint(std::shared_ptr<Binding::SynchronousServerComponent> component);

    Common::Error Call(std::unique_ptr<Binding::Request> request,
                       std::unique_ptr<Binding::CallJob>& job) override;
    uint32_t GetConnectionID() const override { return 1; }
    Common::Error GetComponentVersion(uint32_t componentId, uint32_t& version) override;

    /// Makes every later Call fail with `error` (empty: succeed again).
    void FailCalls(const Common::Error& error);
    /// Replaces each reply packet by what `edit` makes of it.
    void EditReplies(std::function<std::vector<uint8_t>(std::vector<uint8_t>)> edit);

    size_t CallCount() const;
    std::vector<std::vector<uint8_t>> Requests() const;
    std::vector<std::vector<uint8_t>> Replies() const;

    // Used by the call job.
    std::vector<uint8_t> Exchange(uint32_t componentId, uint32_t methodId,
                                  const std::vector<uint8_t>& request);

  private:
    const std::shared_ptr<Binding::SynchronousServerComponent> component_;
    mutable std::mutex lock_;
    Common::Error callFailure_;
    std::function<std::vector<uint8_t>(std::vector<uint8_t>)> editReply_;
    size_t calls_ = 0;
    std::vector<std::vector<uint8_t>> requests_;
    std::vector<std::vector<uint8_t>> replies_;
};

/// A view manager that records the inputs of its last call and answers with the outputs and the
/// outcome set in it. Set those fields before the calls; the methods may then run on several
/// threads at once, and Calls, HoldReads and WaitHeldRead may be used at any time.
class RecordingViewManager final : public Kivo::ViewManagement::ViewManager {
  public:
    /// While held, a ReadSubscription with nothing queued waits (at most 30 s) until released.
    void HoldReads(bool hold) {
        std::lock_guard<std::mutex> locked(lock_);
        holdReads_ = hold;
        changed_.notify_all();
    }
    /// Waits (at most 30 s) until a ReadSubscription has been held; false if none was.
    bool WaitHeldRead() {
        std::unique_lock<std::mutex> locked(lock_);
        return changed_.wait_for(locked, std::chrono::seconds(30), [this] { return heldReads_; });
    }
    /// Calls of method `method` (1 to 9) so far.
    size_t Calls(uint32_t method) const { return calls_.at(method); }

    // What the last call received.
    uint32_t lastMethod = 0;
    Kivo::ViewSpec receivedSpec;
    uint32_t receivedId = 0;
    Kivo::ViewManagement::SubscriptionSpec receivedSubscriptionSpec;
    Kivo::ViewManagement::TopicSpec receivedTopicSpec;
    Kivo::ViewManagement::TopicID receivedTopic;

    // What every call answers.
    Common::Error outcome;
    uint32_t viewID = 0;
    Kivo::ViewManagement::UnitVector snapshot;
    std::vector<Kivo::ViewManagement::ViewUpdate> updates;
    Kivo::ViewManagement::Subscription subscription;
    Kivo::ViewManagement::Topic topic;
    Kivo::ViewManagement::SubscriptionContent content;
    // Answered first, in order: the outcomes of each method, the updates of ReadSubscription.
    std::map<uint32_t, std::deque<Common::Error>> outcomes;
    std::deque<Kivo::ViewManagement::SubscriptionContent> contents;

    Common::Error OpenDynamicView(const Kivo::ViewSpec& viewSpec, uint32_t& viewID,
                                  Kivo::ViewManagement::UnitVector& snapshot) override;
    Common::Error OpenStaticView(const Kivo::ViewSpec& viewSpec,
                                 Kivo::ViewManagement::UnitVector& snapshot) override;
    Common::Error AcquireUpdates(uint32_t viewID,
                                 std::vector<Kivo::ViewManagement::ViewUpdate>& updates) override;
    Common::Error CloseView(uint32_t viewID) override;
    Common::Error Subscribe(const Kivo::ViewManagement::SubscriptionSpec& spec,
                            Kivo::ViewManagement::Subscription& subscription) override;
    Common::Error AddInterest(const Kivo::ViewManagement::TopicSpec& spec,
                              Kivo::ViewManagement::Topic& topic) override;
    Common::Error ReadSubscription(uint32_t subscriber,
                                   Kivo::ViewManagement::SubscriptionContent& updates) override;
    Common::Error RemoveInterest(const Kivo::ViewManagement::TopicID& topic) override;
    Common::Error Unsubscribe(uint32_t subscriber) override;

  private:
    // Counts a call of `method` and takes its outcome; called under the lock.
    Common::Error Answer(uint32_t method);

    std::mutex lock_;
    std::condition_variable changed_;
    bool holdReads_ = false;
    bool heldReads_ = false;
    std::array<std::atomic<size_t>, 10> calls_{};
};

/// A recording view manager served through a stub and a loopback access point, with a proxy.
struct Loopback {
    Loopback();
    std::shared_ptr<RecordingViewManager> service;
    std::shared_ptr<LoopbackAccessPoint> accessPoint;
    Kivo::ViewManagement::ViewManager_Proxy proxy;
};

}  // namespace IpcTest
