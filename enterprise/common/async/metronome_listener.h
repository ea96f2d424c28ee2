// Async::MetronomeListener: hearing the next beat of the async service's metronome, once.
//
//   class Watchdog : public Async::MetronomeListener {
//       void OnTick() override { ... }   // the beat came before Stop
//   };
//   watchdog.Start(beat);   // arms the listener
//   ...                     // work that should take less than a beat
//   watchdog.Stop();        // no OnTick after this returns
//
// A listener serves one beat. Start waits for the beat object's next beat (metronome_beat.h) with
// the listener's job control; when the beat comes, OnTick runs on a service thread. Stop ends the
// wait early and returns only once the listener's completion, OnTick included, is over; so code
// can react when something takes longer than a beat and know, after Stop, that the reaction is
// not running any more. A beat that cannot come (the wait was canceled, no service is registered)
// ends the wait without OnTick.
//
// States, changed only under one lock that all listeners share:
//
//   Idle --Start--> Working --beat or failed wait: [OnTick on success] --> Fired
//                     |
//                     '--Stop--> waiting for the end (the state is the address of the event that
//                                Stop waits on) --wait ends: [OnTick on success]--> Fired, event
//                                signalled
//
// Start in any state but Idle fails the assertion "Metronome logic broken." and returns false.
// Stop in Idle or Fired returns at once; Stop while another Stop waits fails the assertion
// "State == StateWorking". Classes that derive from a listener must Stop it in their own
// destructor: OnTick must not run while the derived part is being destroyed.
//
// Thread-safety: Start and Stop may be called from any thread; Stop may run while the beat
// completes on a service thread, and waits for that completion.
#pragma once

#include <cstdint>

#include "core/common/error/error.h"
#include "enterprise/common/async/action.h"
#include "enterprise/common/async/job_control.h"
#include "enterprise/common/async/metronome_beat.h"

namespace Async {

/// See the file comment.
class MetronomeListener : private ActionHandler {
  public:
    MetronomeListener() = default;
    /// Stops the listener.
    ~MetronomeListener() override;

    /// Waits for the next beat of `beat`, which must live until Start returns. True when the
    /// listener was idle.
    bool Start(const MetronomeBeat& beat);
    /// Ends the wait and returns once the listener's completion is over; see the file comment.
    void Stop();

  protected:
    /// The beat came. Runs on a service thread, before Stop returns.
    virtual void OnTick() = 0;

  private:
    void Completed(const Common::Error& error) override;
    // Ends the wait: the state becomes StateFired, and a Stop waiting for the end is released.
    void MarkFired() noexcept;

    JobControl control_;
    // StateIdle, StateWorking, StateFired, or the address of the event that a Stop waits on;
    // guarded by the shared lock.
    uintptr_t state_ = 0;
};

}  // namespace Async
