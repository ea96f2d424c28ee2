// Helpers of the remote subscription tests: a view manager whose update reads are scripted and
// wait in the service, as a real subscriber's do, until there is something to answer; the
// in-process service that serves it; updates with channel keys and markers; a reader and a
// handler that record what they hear.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/ipc_client_api/local_components.h"
#include "enterprise/common/async/action.h"
#include "enterprise/common/ipc/client/lib/scoped_ipc_client.h"
#include "enterprise/common/ipc/view_manager/view_manager.h"
#include "enterprise/common/kivo/interfaces/readers.h"
#include "platform/async_service/platform_service.h"
#include "platform/ipc_client/platform_library.h"

namespace KivoTest {

/// The code of the answer to a ReadSubscription of a closed service.
inline constexpr uint32_t kServiceClosed = 0x5E0001;

/// A view manager with scripted answers. AcquireUpdates and ReadSubscription answer what was
/// queued for them, in order; with nothing queued AcquireUpdates answers no updates, while
/// ReadSubscription waits (at most 30 s) for an answer, the unsubscription of its subscriber or
/// Close, and then fails with kServiceClosed. Every other method succeeds.
class ScriptedViewManager final : public Kivo::ViewManagement::ViewManager {
  public:
    /// One call as the service heard it: the method and its identifier (view, subscriber or,
    /// for RemoveInterest, the interest of `topic`).
    struct Call {
        uint32_t method;
        uint32_t id;
        Kivo::ViewManagement::TopicID topic;
    };

    /// What Subscribe answers from now on.
    void AnswerSubscribe(uint32_t subscriber, const Common::Error& outcome = {});
    /// Queues the answer of one AcquireUpdates (3) or ReadSubscription (7).
    void Queue(uint32_t method, std::vector<Kivo::ViewManagement::ViewUpdate> updates,
               const Common::Error& outcome = {});
    /// See the class comment.
    void Close();
    std::vector<Call> Calls() const;
    std::vector<Call> CallsOf(uint32_t method) const;
    /// Waits (at most 30 s) until `count` calls of `method` have begun.
    bool WaitCalls(uint32_t method, size_t count) const;

    Common::Error OpenDynamicView(const Kivo::ViewSpec&, uint32_t&,
                                  Kivo::ViewManagement::UnitVector&) override;
    Common::Error OpenStaticView(const Kivo::ViewSpec&, Kivo::ViewManagement::UnitVector&) override;
    Common::Error AcquireUpdates(uint32_t viewID,
                                 std::vector<Kivo::ViewManagement::ViewUpdate>& updates) override;
    Common::Error CloseView(uint32_t viewID) override;
    Common::Error Subscribe(const Kivo::ViewManagement::SubscriptionSpec&,
                            Kivo::ViewManagement::Subscription& subscription) override;
    Common::Error AddInterest(const Kivo::ViewManagement::TopicSpec&,
                              Kivo::ViewManagement::Topic&) override;
    Common::Error ReadSubscription(uint32_t subscriber,
                                   Kivo::ViewManagement::SubscriptionContent& updates) override;
    Common::Error RemoveInterest(const Kivo::ViewManagement::TopicID& topic) override;
    Common::Error Unsubscribe(uint32_t subscriber) override;

  private:
    struct Answer {
        std::vector<Kivo::ViewManagement::ViewUpdate> updates;
        Common::Error outcome;
    };
    // Records a call; under the lock.
    void Record(uint32_t method, uint32_t id, Kivo::ViewManagement::TopicID topic = {});

    mutable std::mutex lock_;
    mutable std::condition_variable changed_;
    std::vector<Call> calls_;
    uint32_t subscriber_ = 7;
    Common::Error subscribeOutcome_;
    std::deque<Answer> acquired_;
    std::deque<Answer> read_;
    std::vector<uint32_t> unsubscribed_;
    bool closed_ = false;
};

/// The async service, the IPC client library, and a scripted view manager served in-process
/// with an access point to it. The service is closed first when it ends.
struct InProcessViewManager {
    InProcessViewManager();
    ~InProcessViewManager();

    AsyncService::ScopedAsyncService asyncService{AsyncService::ServiceOptions{2, 0}};
    IPCClient::ScopedPlatformLibrary library;
    const std::shared_ptr<ScriptedViewManager> service = std::make_shared<ScriptedViewManager>();
    Binding::ScopedLocalComponent registration;
    Binding::ScopedIPCClient client;
    std::shared_ptr<Binding::AccessPoint> accessPoint;

    /// Another access point to the same service.
    std::shared_ptr<Binding::AccessPoint> Connect() const;
};

/// An error of `code` for the tests' failures.
Common::Error Fault(uint32_t code);
/// An update of `type` (0 created, 1 updated, 2 deleted) of object `object`: a DWord, its own
/// Key and diff.
Kivo::ViewManagement::ViewUpdate Change(uint32_t object, uint32_t type = 0);
/// The same, its Key carrying "ChannelID" = `channel`, as the dispatcher receives it.
Kivo::ViewManagement::ViewUpdate ChannelChange(uint32_t channel, uint32_t object,
                                               uint32_t type = 0);
/// A marker update: its Key holds `value` and carries "ChannelID" = `channel` and `marker` (Nil).
Kivo::ViewManagement::ViewUpdate Marker(uint32_t channel, const char* marker,
                                        Zaph::Construction::UnitPtr value);

/// Records the changes it hears as "created 5", "updated 5", "deleted 5" (the key's DWord), and
/// "ChannelID shown" for a key that still carries it.
class ChangeRecorder final : public Kivo::SubscriptionReader {
  public:
    using Kivo::SubscriptionReader::OnCreated;
    using Kivo::SubscriptionReader::OnDeleted;
    using Kivo::SubscriptionReader::OnUpdated;
    void OnCreated(const Zaph::View::SharedUnitPtr& object) override;
    void OnUpdated(const Zaph::View::SharedUnitPtr& key,
                   const Zaph::View::SharedUnitPtr& diff) override;
    void OnDeleted(const Zaph::View::SharedUnitPtr& key) override;

    /// What was heard since the last call, in order.
    std::vector<std::string> Take();

  private:
    void Record(const char* what, const Zaph::View::Unit& key);
    std::mutex lock_;
    std::vector<std::string> heard_;
};

/// Records the completions it hears; `then` runs inside each.
class RecordingHandler final : public Async::ActionHandler {
  public:
    void Completed(const Common::Error& error) override;
    /// Waits (at most 30 s) until `count` completions have been heard; their codes in order.
    std::vector<uint32_t> WaitCodes(size_t count);
    size_t Count();

    std::function<void(const Common::Error&)> then;

  private:
    std::mutex lock_;
    std::condition_variable heard_;
    std::vector<uint32_t> codes_;
};

}  // namespace KivoTest
