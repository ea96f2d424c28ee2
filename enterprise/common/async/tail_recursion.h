// Async::TailRecursionController: runs the steps of a job as a loop instead of a recursion, and
// moves the loop to a service thread when its thread blocks or stays busy.
//
// A job made of steps (a sequence of actions, a cyclic run) asks for its next step from the
// completion of the previous one. When that completion comes synchronously, inside the step, a
// plain call would nest a few stack frames per step, and a long run would overflow the stack.
// Instead, RequestStep only marks a step as pending when this controller's loop already runs on
// the calling thread; the loop, back from the step, finds the mark and runs the next step. A
// completion on any other thread runs the loop on that thread.
//
// While a step runs, the loop keeps a processing detachment (a synchronisation fork,
// synchronization_fork.h) as its thread's top synchronisation callback. If the thread blocks in a
// waiting handler while a step is pending, the detachment forks: the loop goes on on a service
// thread, so that a step waiting for a later step of its own job is freed. A step that completed
// synchronously also arms the detachment's metronome listener with the period 60: if the thread
// has not come back to the loop one beat later (it blocks without a pass, or stays busy), the
// loop moves the same way. The listener is stopped, its beat canceled, as soon as the step
// returns, so fast steps never wait for a beat.
//
//   RequestStep, from a step's completion
//     lock: pending := true; taken := current detachment; here := (loop thread == this thread)
//     |--here: arm taken's listener (60), return ......... the loop below takes the step
//     '--no loop, or a loop on another thread: run the loop on this thread
//
//   The loop, on thread T
//   +--> push a detachment D as T's top callback
//   |    lock: pending? --no------------------------------------------> pop D, leave the loop
//   |          pending := false; loop thread := T; current := D
//   |    Step()                     T blocks in a wait: pass -> D: pending? -> fork
//   |      '-- completes inside:    the beat, 60 after arming -> D: pending? -> fork
//   |          RequestStep (here)   (fork = this loop run as work on a service thread)
//   |    lock: current == D? current := none
//   |    stop D's listener (waits for a fork under way), pop D
//   '----'
//   after the loop: if it ran a step and the loop thread is still T: loop thread := none
//
// Each pending step is taken under the lock by exactly one loop. After a fork the loop may run on
// two threads for a moment: the old thread is still returning from its step while the new one
// runs the next; the old loop then finds nothing pending and ends.
//
// Thread-safety: RequestStep may be called from any thread. The pending flag, the loop thread
// and the current detachment are guarded by the controller's lock; steps run outside it.
#pragma once

#include <memory>
#include <thread>

#include "core/common/noncopyable.h"
#include "core/common/win/mutex.h"

namespace Async {

/// See the file comment.
class TailRecursionController : private Common::NonCopyable {
  public:
    virtual ~TailRecursionController() = default;

  protected:
    /// A controller whose first step is pending: the first RequestStep starts the loop.
    TailRecursionController() = default;

    /// Asks for the next step; see the file comment.
    void RequestStep();

    /// A reference that keeps the controller alive; the loop and its forks hold one.
    virtual std::shared_ptr<TailRecursionController> GetSelf() = 0;
    /// Runs one step. Its completion calls RequestStep to go on, or ends the job.
    virtual void Step() = 0;

  private:
    class ProcessingDetachment;

    void RunLoop();
    bool IsPending();

    Common::Mutex lock_;
    bool pending_ = true;
    std::thread::id loopThread_;
    ProcessingDetachment* current_ = nullptr;
};

}  // namespace Async
