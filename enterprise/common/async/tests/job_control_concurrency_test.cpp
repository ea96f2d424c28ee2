#include <gtest/gtest.h>

#include <atomic>
#include <latch>
#include <memory>
#include <random>
#include <thread>
#include <vector>

#include "core/common/win/event.h"
#include "enterprise/common/async/action_adaptors.h"
#include "enterprise/common/async/error/cached_error.h"
#include "enterprise/common/async/job_control.h"
#include "enterprise/common/async/tests/job_support.h"
#include "enterprise/common/async/work.h"
#include "platform/async_service/platform_service.h"

namespace {

using Async::JobControl;
using AsyncTest::ManualAction;
using AsyncTest::ManualJob;
using AsyncTest::RecordingHandler;
using AsyncTest::ScopedTraceCapture;
using Common::Event;

void Spin(uint32_t rounds) {
    std::atomic<uint32_t> counter{0};
    while (counter.fetch_add(1, std::memory_order_relaxed) < rounds) {
    }
}

// --- Hand-over between threads, step by step ------------------------------------------------

// The job completes on another thread while the caller is still inside Perform.
TEST(JobControlThreads, CompletionOnAnotherThreadDuringPerform) {
    JobControl control;
    ManualAction action;
    RecordingHandler handler;
    action.during = [&](ManualJob& job) {
        std::thread completer([&] { job.Complete(Async::CanceledError()); });
        completer.join();
        EXPECT_EQ(control.State(), JobControl::STATE_COMPLETED_DURING_PERFORM);
    };
    control.Run(action, &handler);
    EXPECT_EQ(handler.Calls(), 1);
    EXPECT_EQ(handler.Thread(), std::this_thread::get_id());  // finished by Run
    EXPECT_EQ(control.State(), JobControl::STATE_BEGIN);
}

// Run, Cancel and the completion each on a thread of their own: the thread that makes the
// finishing move delivers.
TEST(JobControlThreads, CancelFromAThirdThreadAndCompletionFromASecond) {
    JobControl control;
    ManualAction action;
    RecordingHandler handler;
    Event canceled(Event::ResetMode::Manual, false);
    action.onCancel = [&](ManualJob&) { canceled.Set(); };
    control.Run(action, &handler);
    std::thread canceler([&] { control.Cancel(); });
    canceled.Wait();
    canceler.join();
    EXPECT_EQ(control.State(), JobControl::STATE_CANCELING);
    std::thread::id completerId;
    std::thread completer([&] {
        completerId = std::this_thread::get_id();
        action.job->Complete(Async::CanceledError());
    });
    completer.join();
    EXPECT_EQ(handler.Thread(), completerId);
    EXPECT_EQ(control.State(), JobControl::STATE_BEGIN);
}

// The handler owns the control and destroys it: nothing may touch the control afterwards.
TEST(JobControlThreads, TheHandlerMayDestroyTheControl) {
    struct Owner : public Async::ActionHandler {
        void Completed(const Common::Error&) override {
            control.reset();
            done.Set();
        }
        std::unique_ptr<JobControl> control = std::make_unique<JobControl>();
        Event done{Event::ResetMode::Manual, false};
    } owner;
    ManualAction action;
    owner.control->Run(action, &owner);
    std::thread completer([&] { action.job->Complete(Common::Error()); });
    owner.done.Wait();
    completer.join();
    EXPECT_EQ(owner.control, nullptr);
}

// --- Randomized races ------------------------------------------------------------------------

// A job whose completion and whose Cancel race for the one report.
class RaceJob : public Async::BaseJob {
  public:
    RaceJob(Async::ActionHandler& handler, bool completesWhenCanceled)
        : handler_(handler), completesWhenCanceled_(completesWhenCanceled) {}

    void Complete(const Common::Error& result) {
        if (!claimed_.exchange(true)) {
            handler_.Completed(result);
        }
    }
    void Cancel() override {
        if (completesWhenCanceled_) {
            Complete(Async::CanceledError());
        }
    }

  private:
    Async::ActionHandler& handler_;
    const bool completesWhenCanceled_;
    std::atomic<bool> claimed_{false};
};

// Hands its job to the completer thread, then lingers a random while inside Perform.
class RaceAction : public Async::Action {
  public:
    std::shared_ptr<Async::Job> Perform(Async::ActionHandler& handler) override {
        job = std::make_shared<RaceJob>(handler, completesWhenCanceled);
        handedOver.Set();
        Spin(lingerRounds);
        return job;
    }

    bool completesWhenCanceled = false;
    uint32_t lingerRounds = 0;
    std::shared_ptr<RaceJob> job;
    Event handedOver{Event::ResetMode::Auto, false};
};

TEST(JobControlRaces, RunCancelAndCompletionOnThreeThreads) {
    constexpr int kRuns = 2000;
    std::mt19937 random(20240611);
    JobControl control;
    RecordingHandler handler;
    int preventive = 0, canceledRuns = 0, pendingAfterRun = 0;
    for (int run = 0; run < kRuns; ++run) {
        RaceAction action;
        action.completesWhenCanceled = random() % 2 == 0;
        action.lingerRounds = random() % 200;
        const uint32_t resultKind = random() % 3;
        const Common::Error result = resultKind == 0 ? Common::Error()
                                     : resultKind == 1
                                         ? Async::CanceledError()
                                         : Common::Error(COMMON_PLACE("Test::Race"), 0x5151);
        const bool cancelBefore = random() % 10 == 0;
        const bool cancelRacing = random() % 4 != 0;
        const uint32_t cancelDelay = random() % 400;
        const uint32_t completeDelay = random() % 400;

        std::latch start(3);
        std::thread completer([&] {
            start.arrive_and_wait();
            action.handedOver.Wait();
            if (action.job != nullptr) {
                Spin(completeDelay);
                action.job->Complete(result);
            }
        });
        std::thread canceler([&] {
            start.arrive_and_wait();
            if (cancelRacing) {
                Spin(cancelDelay);
                control.Cancel();
            }
        });
        if (cancelBefore) {
            control.Cancel();
        }
        const bool preventiveRun = control.State() == JobControl::STATE_CANCEL_SCHEDULED_WAIT_ALL;
        start.arrive_and_wait();
        const int callsBefore = handler.Calls();
        control.Run(action, &handler);
        if (action.job == nullptr) {
            action.handedOver.Set();  // not performed: release the completer
        }
        handler.Wait();
        completer.join();
        canceler.join();

        ASSERT_EQ(handler.Calls(), callsBefore + 1) << "run " << run;
        const Common::Error heard = handler.Last();
        if (action.job == nullptr) {
            ++preventive;
            ASSERT_TRUE(cancelBefore || preventiveRun || cancelRacing) << "run " << run;
            ASSERT_STREQ(heard.Place().function, "Async::JobControl::PreventiveCancel");
        } else {
            ASSERT_TRUE(heard.Code() == result.Code() || heard.Code() == Common::kCanceled)
                << "run " << run;
        }
        const uint32_t state = control.State();
        ASSERT_TRUE(state == JobControl::STATE_BEGIN ||
                    state == JobControl::STATE_CANCEL_SCHEDULED_WAIT_ALL)
            << "run " << run << " state " << state;
        if (state == JobControl::STATE_CANCEL_SCHEDULED_WAIT_ALL) {
            ASSERT_TRUE(cancelRacing || cancelBefore) << "run " << run;
            ++pendingAfterRun;
        }
        canceledRuns += heard.Code() == Common::kCanceled ? 1 : 0;
    }
    // Every kind of outcome came up.
    EXPECT_GT(preventive, 0);
    EXPECT_GT(canceledRuns, preventive);
    EXPECT_GT(pendingAfterRun, 0);
}

// Many controls run work on the service's pool, each run started from the previous one's
// handler, while another thread cancels them at random.
TEST(JobControlRaces, ControlsOnThePoolCanceledFromAnotherThread) {
    AsyncService::ScopedAsyncService service(AsyncService::ServiceOptions{2, 2});
    constexpr int kControls = 8;
    constexpr int kRunsEach = 150;

    class NoWork : public Async::Work {
      public:
        Common::Error Execute() override { return Common::Error(); }
    };
    const auto work = std::make_shared<NoWork>();
    const auto action =
        Async::MakeAction([&](Async::ActionHandler& h) { return Async::ExecuteWork(work, h); });

    struct Chain : public Async::ActionHandler {
        void Completed(const Common::Error& error) override {
            EXPECT_TRUE(error.IsEmpty() || error.Code() == Common::kCanceled);
            if (++runs < kRunsEach) {
                control.Run(*action, this);
            } else {
                done.Set();
            }
        }
        std::shared_ptr<Async::Action> action;
        JobControl control;
        int runs = 0;  // only the thread that finishes a run touches it, one run after another
        Event done{Event::ResetMode::Manual, false};
    };
    std::vector<std::unique_ptr<Chain>> chains;
    for (int i = 0; i < kControls; ++i) {
        chains.push_back(std::make_unique<Chain>());
        chains.back()->action = action;
    }
    std::atomic<bool> stop{false};
    std::thread canceler([&] {
        std::minstd_rand random(7);
        while (!stop.load()) {
            chains[random() % kControls]->control.Cancel();
            Spin(random() % 100);
        }
    });
    for (auto& chain : chains) {
        chain->control.Run(*chain->action, chain.get());
    }
    for (auto& chain : chains) {
        chain->done.Wait();
    }
    stop.store(true);
    canceler.join();
    for (auto& chain : chains) {
        EXPECT_EQ(chain->runs, kRunsEach);
        const uint32_t state = chain->control.State();
        EXPECT_TRUE(state == JobControl::STATE_BEGIN ||
                    state == JobControl::STATE_CANCEL_SCHEDULED_WAIT_ALL);
    }
}

}  // namespace
