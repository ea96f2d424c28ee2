// Kivo::Client::ProductionCycle: pulls the updates of a source over and over, without pause,
// until a pull fails or the cycle is stopped; and the pull of a remote subscriber.
//
//   auto cycle = std::make_shared<ProductionCycle>(
//       MakeTransmissionPull(accessPoint, subscriber, consumer));
//   cycle->Start();
//   ...
//   cycle->Stop(true);
//
// The cycle runs its pull action under an Async::Detail::CyclicRunAction: each pull that
// succeeds starts the next one at once (a ReadSubscription waits in the service until there is
// something to read, so the service sets the pace). The pull of MakeTransmissionPull sends
// ReadSubscription for the subscriber and gives the reply's TopicUpdates to the consumer's
// Consume; a pull that fails (also one canceled by Stop or by the library's shutdown) gives its
// error to the consumer's Fail and so ends the cycle. The consumer is held weakly: once it is
// gone, replies go nowhere.
//
//   NEW ---Start---> RUNNING ---a pull fails, or Stop---> ENDED (the end's error is kept)
//
// Invariants:
//   - A running cycle keeps itself alive: its owner may drop it at any time, and it ends on its
//     own (its job control is never destroyed during a run).
//   - Stop(true) returns once the cycle has ended: from then on the consumer is not called.
//     Stop(false) only asks for the end, for a caller on the thread of a pull's delivery, which
//     would otherwise wait for itself.
//
// Thread-safety: Start once; Stop from any thread, any number of times. Pulls complete and the
// consumer is called on the IPC client library's threads.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>

#include "core/ipc_client_api/access_point.h"
#include "enterprise/common/async/action.h"
#include "enterprise/common/async/cyclic_runner.h"
#include "enterprise/common/async/job_control.h"
#include "enterprise/common/async/waiting_handler.h"
#include "enterprise/common/kivo/client/update_cache.h"

namespace Kivo::Client {

/// See the file comment.
class ProductionCycle final : public std::enable_shared_from_this<ProductionCycle>,
                              private Async::WaitingHandler {
  public:
    /// A cycle of `pull` (not null), not started yet. Make it with std::make_shared.
    explicit ProductionCycle(std::shared_ptr<Async::Action> pull);

    /// Runs the cycle until a pull fails or Stop.
    void Start();
    /// Asks the cycle to end; with `wait`, returns once it has ended. Nothing to do for a cycle
    /// that was never started or has ended.
    void Stop(bool wait);

  private:
    void Completed(const Common::Error& error) override;

    Async::Detail::CyclicRunAction cyclic_;
    Async::JobControl control_;
    std::mutex lock_;
    bool started_ = false;
    // The cycle itself while it runs.
    std::shared_ptr<ProductionCycle> running_;
};

/// The pull of a remote subscriber: ReadSubscription for `subscriber`, the updates to `consumer`.
[[nodiscard]] std::shared_ptr<Async::Action> MakeTransmissionPull(
    std::shared_ptr<Binding::AccessPoint> accessPoint, uint32_t subscriber,
    std::weak_ptr<Consumer> consumer);

}  // namespace Kivo::Client
