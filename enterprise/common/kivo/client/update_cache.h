// Kivo::Client::Consumer and Kivo::Client::InMemoryUpdateCache: where the updates of one remote
// interest wait until its channel reads them.
//
// The dispatcher (remote_subscription.h) hands each channel's share of a ReadSubscription reply
// to that channel's cache (Consume), or tells it that the source of updates failed (Fail). A read
// of the channel checks the cache out (CheckOut): pending updates go to the reader at once;
// otherwise the checkout waits for the next Consume or Fail.
//
// A cache goes through these states:
//
//   IDLE (maybe updates pending, maybe a failure stored)
//     |--CheckOut, updates pending: all go to the reader, already-completed job --> IDLE
//     |--CheckOut, nothing pending, failure stored: already-failed job ----------> IDLE
//     '--CheckOut, nothing pending, no failure ----------------------------------> WAITING
//   WAITING (one outstanding checkout job)
//     |--Consume/Fail: the job's handler is taken; the pending updates go to its reader, then
//     |  the handler hears the given error ------------------------------------> IDLE
//     |--Cancel of the job: the handler is taken and hears 0xF90002; pending updates stay
//     |  ---------------------------------------------------------------------> IDLE
//     '--CheckOut: already-failed job, 0xFC000C, "KIVO: The operation is already running."
//
// A canceled checkout may stay in its slot until the next put or CheckOut: a checkout whose
// handler has been taken counts as gone.
//
// Invariants:
//   - Every Consume and Fail replaces the stored failure by its own error (Consume's is empty):
//     updates that arrive after a failure clear it.
//   - A checkout's handler is taken by one atomic exchange; whoever takes it (a put or a cancel)
//     is the only one to complete it, so it completes exactly once.
//   - No lock is held while a reader or a handler is called.
//
// Thread-safety: every operation may be called from any thread.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "core/common/error/error.h"
#include "core/common/noncopyable.h"
#include "enterprise/common/async/action.h"
#include "enterprise/common/async/job.h"
#include "enterprise/common/ipc/view_manager/records.h"
#include "enterprise/common/kivo/interfaces/readers.h"

namespace Kivo::Client {

/// A second checkout while one is outstanding: "KIVO: The operation is already running."
inline constexpr uint32_t kOperationAlreadyRunning = 0xFC000C;

/// Takes the updates of a source, or hears that the source failed.
class Consumer : private Common::NonCopyable {
  public:
    virtual ~Consumer() = default;
    /// A batch of updates, in the order the source gave them.
    virtual void Consume(std::vector<ViewManagement::ViewUpdate> updates) = 0;
    /// The source of updates failed with `error`.
    virtual void Fail(const Common::Error& error) = 0;
};

/// See the file comment.
class InMemoryUpdateCache final : public Consumer {
  public:
    InMemoryUpdateCache();
    ~InMemoryUpdateCache() override;

    void Consume(std::vector<ViewManagement::ViewUpdate> updates) override;
    void Fail(const Common::Error& error) override;

    /// Gives the pending updates to `reader`, or waits for the next put; see the file comment.
    /// Never throws: a refusal is an already-failed job. `reader` and `handler` must live until
    /// `handler` has been called.
    std::shared_ptr<Async::Job> CheckOut(SubscriptionReader& reader, Async::ActionHandler& handler);
    /// The same with a handler that the checkout keeps alive until it has been called (not
    /// null): for a caller that wraps the reader's handler in one of its own.
    std::shared_ptr<Async::Job> CheckOut(SubscriptionReader& reader,
                                         std::shared_ptr<Async::ActionHandler> handler);

    /// The job of a checkout that waits for the next put.
    class CheckoutJob;

  private:
    // Replaces the stored failure by `error`, appends `updates`, and completes the outstanding
    // checkout with them.
    void Put(std::vector<ViewManagement::ViewUpdate> updates, const Common::Error& error);

    struct State;
    const std::unique_ptr<State> state_;
};

}  // namespace Kivo::Client
