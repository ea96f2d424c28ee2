#include "enterprise/common/async/tail_recursion.h"

#include "enterprise/common/async/metronome_beat.h"
#include "enterprise/common/async/silent_work_adaptor.h"
#include "enterprise/common/async/synchronization_fork.h"

namespace Async {
namespace {

// The beat after which a loop whose thread has not come back moves to a service thread.
constexpr uint32_t kForkBeatPeriod = 60;

const MetronomeBeat& ForkBeat() {
    static const MetronomeBeat beat(kForkBeatPeriod);
    return beat;
}

}  // namespace

// The fork of one turn of the loop: hands the loop to a service thread while a step is pending.
class TailRecursionController::ProcessingDetachment final : public SynchronizationFork {
  public:
    explicit ProcessingDetachment(TailRecursionController& controller) : controller_(controller) {}
    ~ProcessingDetachment() override { StopListening(); }

  private:
    bool ShouldFork() override { return controller_.IsPending(); }

    std::shared_ptr<Work> CreateWork() override {
        return std::make_shared<SilentWorkAdaptor<TailRecursionController>>(
            controller_.GetSelf(), &TailRecursionController::RunLoop);
    }

    TailRecursionController& controller_;
};

void TailRecursionController::RequestStep() {
    const std::shared_ptr<TailRecursionController> self = GetSelf();
    ProcessingDetachment* taken = nullptr;
    bool loopHere = false;
    {
        Common::MutexLock hold(lock_);
        taken = current_;
        pending_ = true;
        loopHere = loopThread_ != std::this_thread::get_id();
    }
    if (loopHere) {
        RunLoop();
    } else if (taken != nullptr) {
        // The detachment belongs to this thread's loop, which cannot end before this returns.
        taken->Start(ForkBeat());
    }
}

void TailRecursionController::RunLoop() {
    const std::thread::id thisThread = std::this_thread::get_id();
    bool ranStep = false;
    for (;;) {
        ProcessingDetachment detachment(*this);
        {
            Common::MutexLock hold(lock_);
            if (!pending_) {
                break;
            }
            pending_ = false;
            loopThread_ = thisThread;
            current_ = &detachment;
        }
        ranStep = true;
        Step();
        {
            Common::MutexLock hold(lock_);
            if (current_ == &detachment) {
                current_ = nullptr;
            }
        }
    }
    if (ranStep) {
        Common::MutexLock hold(lock_);
        if (loopThread_ == thisThread) {
            loopThread_ = std::thread::id();
        }
    }
}

bool TailRecursionController::IsPending() {
    Common::MutexLock hold(lock_);
    return pending_;
}

}  // namespace Async
