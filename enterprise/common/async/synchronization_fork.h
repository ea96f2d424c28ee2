// Async::SynchronizationFork: a synchronisation callback that hands work to a service thread when
// its thread is about to block, or when a beat of the metronome passes first.
//
// While a fork is its thread's top callback (it is a scoped callback: pushed at construction,
// popped at destruction), a synchronisation pass on that thread, or the beat that its metronome
// listener waits for once armed with Start, asks ShouldFork. When the answer is true, the fork
// takes a work item from CreateWork and runs it through the async service's work execution
// (work.h) under a fork job of its own: the work runs on a service thread, or at once on the
// calling thread when no service is registered. A failure of the forked work goes to the trace
// at level 1; nobody else hears of it. The fork never stops a pass: its Synchronize returns false.
//
// Thread-safety: ShouldFork and CreateWork run on the fork's thread (a pass) and on a service
// thread (a beat), possibly at the same time. A derived class calls StopListening first thing in
// its destructor, so that no beat reaches it while it is being destroyed.
#pragma once

#include <memory>

#include "enterprise/common/async/metronome_listener.h"
#include "enterprise/common/async/synchronization_callback.h"
#include "enterprise/common/async/work.h"

namespace Async {

/// See the file comment.
class SynchronizationFork : private ScopedSynchronizationCallback, private MetronomeListener {
  public:
    /// Arms the fork's metronome listener (MetronomeListener::Start; once per fork).
    using MetronomeListener::Start;

  protected:
    SynchronizationFork() = default;
    ~SynchronizationFork() override = default;

    /// Ends the wait for the beat, and any fork it started, before the derived part goes.
    void StopListening() { MetronomeListener::Stop(); }

    /// True when there is work to hand over.
    virtual bool ShouldFork() = 0;
    /// The work to hand over.
    virtual std::shared_ptr<Work> CreateWork() = 0;

  private:
    class ForkJob;

    bool Synchronize(SynchronizationContext context) override;
    void OnTick() override;
    void Fork();
};

}  // namespace Async
