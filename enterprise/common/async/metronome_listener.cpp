#include "enterprise/common/async/metronome_listener.h"

#include <atomic>
#include <memory>
#include <utility>

#include "core/common/assert.h"
#include "core/common/noncopyable.h"
#include "core/common/win/event.h"
#include "core/common/win/mutex.h"

namespace Async {
namespace {

constexpr uintptr_t StateIdle = 0;
constexpr uintptr_t StateWorking = 1;
constexpr uintptr_t StateFired = 2;

// The event that a Stop waits on, shared with the completion that signals it: whichever of the
// two lets go last destroys it.
class SharedEvent : private Common::NonCopyable {
  public:
    static SharedEvent* Create() { return new SharedEvent; }

    void AddRef() noexcept { refs_.fetch_add(1, std::memory_order_relaxed); }
    void Release() noexcept {
        if (refs_.fetch_sub(1, std::memory_order_acq_rel) == 1) {
            delete this;
        }
    }

    void Set() { event_.Set(); }
    void Wait() { event_.Wait(); }

  private:
    SharedEvent() = default;
    ~SharedEvent() = default;

    Common::Event event_{Common::Event::ResetMode::Auto, false};
    std::atomic<uint32_t> refs_{1};
};

// The lock of every listener's state. Never destroyed: listeners may stop while the process
// exits.
Common::Mutex& ListenersLock() {
    static Common::Mutex* const lock = new Common::Mutex;
    return *lock;
}

// Asks the beat object for its next beat.
class NextBeatAction final : public Action {
  public:
    explicit NextBeatAction(const MetronomeBeat& beat) : beat_(beat) {}

    std::shared_ptr<Job> Perform(ActionHandler& handler) override { return beat_.Next(handler); }

  private:
    const MetronomeBeat& beat_;
};

}  // namespace

MetronomeListener::~MetronomeListener() {
    Stop();
}

bool MetronomeListener::Start(const MetronomeBeat& beat) {
    {
        Common::MutexLock hold(ListenersLock());
        if (state_ != StateIdle) {
            COMMON_ASSERT(!"Metronome logic broken.");
            return false;
        }
        state_ = StateWorking;
    }
    NextBeatAction next(beat);
    control_.Run(next, this);
    return true;
}

void MetronomeListener::Stop() {
    SharedEvent* event = nullptr;
    {
        Common::MutexLock hold(ListenersLock());
        if (state_ == StateIdle || state_ == StateFired) {
            return;
        }
        if (state_ != StateWorking) {
            COMMON_ASSERT_TEXT(false, "State == StateWorking");
            return;
        }
        event = SharedEvent::Create();
        state_ = reinterpret_cast<uintptr_t>(event);
    }
    control_.Cancel();
    event->Wait();
    event->Release();
}

// The end is marked even when OnTick throws (the job control traces what it threw): a Stop may
// be waiting for it.
void MetronomeListener::Completed(const Common::Error& error) {
    struct MarkFiredOnExit {
        ~MarkFiredOnExit() { listener.MarkFired(); }
        MetronomeListener& listener;
    } markFired{*this};
    if (error.IsEmpty()) {
        OnTick();
    }
}

// Nothing of the listener is touched after the lock is left: a Stop that was waiting, or one
// that finds the state fired, may destroy the listener at once.
void MetronomeListener::MarkFired() noexcept {
    SharedEvent* waiting = nullptr;
    {
        Common::MutexLock hold(ListenersLock());
        const uintptr_t previous = std::exchange(state_, StateFired);
        if (previous != StateIdle && previous != StateWorking && previous != StateFired) {
            waiting = reinterpret_cast<SharedEvent*>(previous);
            waiting->AddRef();
        }
    }
    if (waiting != nullptr) {
        waiting->Set();
        waiting->Release();
    }
}

}  // namespace Async
