#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/common/error/error.h"
#include "enterprise/common/async/synchronization_callback.h"
#include "enterprise/common/async/tests/job_support.h"
#include "enterprise/common/async/tests/sequence_support.h"
#include "enterprise/common/async/waiting_handler.h"
#include "platform/async_service/platform_service.h"

namespace {

using Async::ScopedSynchronizationCallback;
using Async::ScopedSynchronizationHold;
using Async::SynchronizationContext;
using AsyncTest::Failure;
using AsyncTest::ScopedTraceCapture;

// Notes each call in a shared log; `stop` is what Synchronize returns; `then` runs inside it.
class LoggingCallback : public ScopedSynchronizationCallback {
  public:
    LoggingCallback(std::string name, std::vector<std::string>& log, bool stop = false)
        : name_(std::move(name)), log_(log), stop_(stop) {}

    bool Synchronize(SynchronizationContext context) override {
        log_.push_back(name_ + ":" + std::to_string(context));
        if (then) {
            then(context);
        }
        return stop_;
    }

    std::function<void(SynchronizationContext)> then;

  private:
    const std::string name_;
    std::vector<std::string>& log_;
    const bool stop_;
};

void Pass(SynchronizationContext context) {
    Async::CurrentSynchronizationCallbackStorage()->Synchronize(context);
}

Async::SynchronizationCallback* Top() {
    return Async::CurrentSynchronizationCallbackStorage()->Top();
}

TEST(SynchronizationPass, RunsFromTheTopDownUntilACallbackStopsIt) {
    std::vector<std::string> log;
    {
        LoggingCallback bottom("bottom", log);
        LoggingCallback middle("middle", log, /*stop=*/true);
        LoggingCallback top("top", log);
        EXPECT_EQ(Top(), &top);
        EXPECT_EQ(top.GetNext(), &middle);
        Pass(7);
        EXPECT_EQ(log, (std::vector<std::string>{"top:7", "middle:7"}));
        EXPECT_EQ(bottom.CallCount(), 0u);
        EXPECT_EQ(middle.CallCount(), 1u);
    }
    EXPECT_EQ(Top(), nullptr);
    Pass(1);  // an empty stack: nothing to call
    EXPECT_EQ(log.size(), 2u);
}

TEST(SynchronizationPass, ACallbackMayPushAndPopCallbacksOfItsOwnWhileItRuns) {
    std::vector<std::string> log;
    LoggingCallback bottom("bottom", log);
    LoggingCallback top("top", log);
    top.then = [&](SynchronizationContext) { LoggingCallback nested("nested", log); };
    Pass(0);
    EXPECT_EQ(log, (std::vector<std::string>{"top:0", "bottom:0"}));
    EXPECT_EQ(Top(), &top);
}

TEST(SynchronizationHold, DefersThePassUntilTheHoldEnds) {
    std::vector<std::string> log;
    LoggingCallback callback("cb", log);
    {
        ScopedSynchronizationHold hold;
        EXPECT_EQ(callback.HoldCount(), 1);
        Pass(5);
        EXPECT_TRUE(log.empty());
        EXPECT_EQ(callback.CallCount(), 1u);  // met, held
    }
    // The deferred pass, with the deferred context.
    EXPECT_EQ(log, (std::vector<std::string>{"cb:0"}));
    EXPECT_EQ(callback.HoldCount(), 0);
}

TEST(SynchronizationHold, AHoldThatMetNoPassRunsNothingWhenItEnds) {
    std::vector<std::string> log;
    LoggingCallback callback("cb", log);
    { ScopedSynchronizationHold hold; }
    EXPECT_TRUE(log.empty());
    EXPECT_EQ(callback.CallCount(), 0u);
}

TEST(SynchronizationHold, OnAnEmptyStackHoldsNothingLater) {
    std::vector<std::string> log;
    ScopedSynchronizationHold hold;  // nothing to hold yet
    LoggingCallback callback("cb", log);
    EXPECT_EQ(callback.HoldCount(), 0);
    Pass(3);
    EXPECT_EQ(log, (std::vector<std::string>{"cb:3"}));
}

// The hold count travels with the top: a pushed callback takes it over, and gives it back to the
// callback it uncovers when popped. Each end of a hold that a pass met runs the deferred pass.
TEST(SynchronizationHold, TravelsWithTheTopOfTheStack) {
    std::vector<std::string> log;
    LoggingCallback below("below", log);
    std::optional<ScopedSynchronizationHold> hold(std::in_place);
    {
        LoggingCallback above("above", log);
        EXPECT_EQ(above.HoldCount(), 1);
        Pass(9);
        EXPECT_TRUE(log.empty());
        EXPECT_EQ(above.CallCount(), 1u);
        EXPECT_EQ(below.CallCount(), 0u);

        hold.reset();  // ends the hold on the current top: the pass runs from it
        EXPECT_EQ(log, (std::vector<std::string>{"above:0"}));
        EXPECT_EQ(below.CallCount(), 1u);  // still held below, where the hold was taken
        EXPECT_EQ(below.HoldCount(), 1);
    }
    // The pop hands the ended hold down: the callback below runs its deferred pass.
    EXPECT_EQ(below.HoldCount(), 0);
    EXPECT_EQ(log, (std::vector<std::string>{"above:0", "below:0"}));
}

TEST(SynchronizationCallbackLogic, LinkingACallbackTwiceIsAnAssertion) {
    ScopedTraceCapture trace;
    std::vector<std::string> log;
    LoggingCallback first("first", log);
    LoggingCallback second("second", log);
    second.SetNext(&first);  // already linked by the push
    EXPECT_EQ(trace->Assertions(u"Next == 0"), 1);
    EXPECT_EQ(second.GetNext(), &first);
}

TEST(SynchronizationCallbackLogic, DestroyingOutOfOrderIsAnAssertionAndUnlinks) {
    ScopedTraceCapture trace;
    std::vector<std::string> log;
    auto bottom = std::make_unique<LoggingCallback>("bottom", log);
    LoggingCallback top("top", log);
    bottom.reset();
    EXPECT_EQ(trace->Assertions(u"Synchronisation callback destroyed out of nesting order."), 1);
    EXPECT_EQ(Top(), &top);
    EXPECT_EQ(top.GetNext(), nullptr);
    Pass(0);
    EXPECT_EQ(log, (std::vector<std::string>{"top:0"}));
}

TEST(SynchronizationStorage, UsesTheServiceSlotWhileAServiceIsRegistered) {
    std::vector<std::string> log;
    LoggingCallback before("before", log);  // on the thread-local storage
    {
        AsyncService::ScopedAsyncService service(AsyncService::ServiceOptions{1, 0});
        EXPECT_EQ(Top(), nullptr);  // the service's slot is another stack
        {
            LoggingCallback during("during", log);
            EXPECT_EQ(service.Get().TopSynchronizationCallback(), &during);
            Pass(2);
        }
        EXPECT_EQ(service.Get().TopSynchronizationCallback(), nullptr);
    }
    EXPECT_EQ(Top(), &before);  // popped from where it was pushed
    EXPECT_EQ(log, (std::vector<std::string>{"during:2"}));
}

// --- Waiting --------------------------------------------------------------------------------

TEST(Synchronizer, WaitRunsThePassWithItsContextBeforeBlocking) {
    std::vector<std::string> log;
    Async::Synchronizer synchronizer;
    LoggingCallback callback("cb", log);
    // The pass completes the operation on this very thread: the wait has nothing left to wait
    // for.
    callback.then = [&](SynchronizationContext) { synchronizer.Completed(Failure(0x2121)); };
    EXPECT_EQ(synchronizer.Wait(42).Code(), 0x2121u);
    EXPECT_EQ(log, (std::vector<std::string>{"cb:42"}));
}

TEST(WaitingHandler, AManualResetHandlerLetsEveryLaterWaitThroughWithTheLatestResult) {
    Async::WaitingHandler waiting(false);
    waiting.Completed(Failure(0x2323));
    EXPECT_EQ(waiting.Wait().Code(), 0x2323u);
    EXPECT_EQ(waiting.Wait().Code(), 0x2323u);
    waiting.Completed(Failure(0x2424));
    EXPECT_EQ(waiting.Wait().Code(), 0x2424u);
}

}  // namespace
