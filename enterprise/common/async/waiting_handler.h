// Blocking a thread until a job completes.
//
//   Async::Synchronizer synchronizer;
//   control.Run(action, &synchronizer);
//   const Common::Error result = synchronizer.Wait();
//
// A WaitingHandler keeps the last result it heard and signals an event; Wait returns that result
// once the event is signalled. Before it blocks, Wait runs the calling thread's synchronisation
// pass (synchronization_callback.h) with its context value, so that work this thread would owe
// meanwhile can move to another thread, and then blocks announcing the wait to the async service
// (AsyncService::ScopedBlockingWait), which may lend another thread while a service thread waits.
//
// With a manual-reset event (the flag false) every Wait after the first completion returns at
// once with the latest result; with an auto-reset event (the flag true) each completion lets one
// Wait through. A Synchronizer is a waiting handler with an auto-reset event, for the usual case
// of one operation and one waiter.
//
// Thread-safety: Completed may be called from any thread, also while Wait runs; Wait from one
// thread at a time. The handler must outlive the completion it waits for.
#pragma once

#include <mutex>

#include "core/common/error/error.h"
#include "core/common/win/event.h"
#include "enterprise/common/async/action.h"
#include "enterprise/common/async/synchronization_callback.h"

namespace Async {

/// See the file comment.
class WaitingHandler : public ActionHandler {
  public:
    /// An unsignalled handler whose event resets itself after each Wait when `autoReset`.
    explicit WaitingHandler(bool autoReset);

    /// Keeps `error` as the result (replacing the previous one) and signals the event.
    void Completed(const Common::Error& error) override;

    /// Runs the synchronisation pass with `context`, then blocks until the event is signalled and
    /// returns the result.
    Common::Error Wait(SynchronizationContext context = 0);

  private:
    Common::Event event_;
    std::mutex resultLock_;
    Common::Error result_;
};

/// An action handler to block on: see the file comment.
class Synchronizer : public ActionHandler {
  public:
    Synchronizer() = default;

    void Completed(const Common::Error& error) override;

    /// See WaitingHandler::Wait.
    Common::Error Wait(SynchronizationContext context = 0);

  private:
    WaitingHandler waiting_{true};
};

}  // namespace Async
