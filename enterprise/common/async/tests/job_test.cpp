#include <gtest/gtest.h>

#include <memory>
#include <new>
#include <stdexcept>
#include <string>

#include "enterprise/common/async/action_adaptors.h"
#include "enterprise/common/async/error/cached_error.h"
#include "enterprise/common/async/error/chain.h"
#include "enterprise/common/async/finished_job.h"
#include "enterprise/common/async/job_control.h"
#include "enterprise/common/async/life_cycle_completion.h"
#include "enterprise/common/async/operation_description.h"
#include "enterprise/common/async/state_transitions.h"
#include "enterprise/common/async/tests/job_support.h"

namespace {

using AsyncTest::RecordingHandler;
using AsyncTest::ScopedTraceCapture;

Common::Error Coded(uint32_t code) {
    return Common::Error(COMMON_PLACE("Test::Coded"), code);
}

Common::Error Chain(uint32_t head, uint32_t reason) {
    Common::Error error = Coded(head);
    error.Add(Coded(reason));
    return error;
}

class NoJob : public Async::BaseJob {
  public:
    void Cancel() override {}
};

TEST(BaseJob, IdsGrowByOneAndTheDescriptionIsUnidentified) {
    const NoJob first, second;
    EXPECT_EQ(second.GetId(), first.GetId() + 1);
    const Async::JobDescription description = first.Describe();
    EXPECT_EQ(description.text, u"ASYNC: Unidentified job.");
    EXPECT_STREQ(description.place.function, "Async::BaseJob::Describe");
    const Common::Error error = description.ToError();
    EXPECT_EQ(error.Code(), Async::kJobDescriptionError);
    EXPECT_EQ(error.Message(), u"ASYNC: Unidentified job.");
    EXPECT_STREQ(error.Place().function, "Async::BaseJob::Describe");
}

TEST(FinishedJob, TheHandlerHearsOnceBeforeTheJobIsReturnedAndCancelDoesNothing) {
    RecordingHandler handler;
    const auto completed = Async::AlreadyCompletedJob(handler);
    ASSERT_EQ(handler.Calls(), 1);
    EXPECT_TRUE(handler.Last().IsEmpty());
    completed->Cancel();
    completed->Cancel();
    EXPECT_EQ(handler.Calls(), 1);

    const auto failed = Async::AlreadyFailedJob(handler, Coded(0x42));
    ASSERT_EQ(handler.Calls(), 2);
    EXPECT_EQ(handler.Last().Code(), 0x42u);
    failed->Cancel();
    EXPECT_EQ(handler.Calls(), 2);
    EXPECT_NE(completed->GetId(), failed->GetId());
}

// Under a job control, a job that has already ended is the completion-inside-Perform case; a
// cancel afterwards stays pending for the next run.
TEST(FinishedJob, UnderAJobControl) {
    Async::JobControl control;
    RecordingHandler handler;
    const auto fails = Async::MakeAction(
        [](Async::ActionHandler& h) { return Async::AlreadyFailedJob(h, Coded(0x42)); });
    control.Run(*fails, &handler);
    EXPECT_EQ(handler.Last().Code(), 0x42u);
    EXPECT_EQ(control.State(), Async::JobControl::STATE_BEGIN);
    control.Cancel();
    const auto succeeds =
        Async::MakeAction([](Async::ActionHandler& h) { return Async::AlreadyCompletedJob(h); });
    control.Run(*succeeds, &handler);
    EXPECT_EQ(handler.Last().Code(), Common::kCanceled);  // canceled before it performed
    control.Run(*succeeds, &handler);
    EXPECT_TRUE(handler.Last().IsEmpty());
    EXPECT_EQ(handler.Calls(), 3);
}

class Reader {
  public:
    std::shared_ptr<Async::Job> Read(Async::ActionHandler& handler) {
        ++reads;
        return Async::AlreadyCompletedJob(handler);
    }
    int reads = 0;
};

TEST(ActionAdaptors, CallTheirFunctionWithTheHandlerAndTheirData) {
    RecordingHandler handler;
    int calls = 0;
    const auto plain = Async::MakeAction([&](Async::ActionHandler& h) {
        ++calls;
        return Async::AlreadyCompletedJob(h);
    });
    plain->Perform(handler);
    plain->Perform(handler);
    EXPECT_EQ(calls, 2);

    // The data lives as long as the action, and the function may change it.
    auto counter = std::make_shared<int>(0);
    std::weak_ptr<int> watch = counter;
    auto withData = Async::MakeAction(
        [](std::shared_ptr<int>& data, Async::ActionHandler& h) {
            ++*data;
            return Async::AlreadyFailedJob(h, Coded(static_cast<uint32_t>(*data)));
        },
        std::move(counter));
    withData->Perform(handler);
    withData->Perform(handler);
    EXPECT_EQ(handler.Last().Code(), 2u);
    EXPECT_FALSE(watch.expired());
    withData.reset();
    EXPECT_TRUE(watch.expired());

    Reader reader;
    Async::ActionRefAdaptor<Reader> read(reader, &Reader::Read);
    read.Perform(handler);
    EXPECT_EQ(reader.reads, 1);
    EXPECT_EQ(handler.Calls(), 5);
}

TEST(LifeCycleCompletion, TheObjectGoesFirstThenTheCompanionThenTheOwner) {
    std::string order;
    struct Noted {
        Noted(std::string& order, char name) : order_(order), name_(name) {}
        ~Noted() { order_ += name_; }
        std::string& order_;
        char name_;
    };
    auto owner = std::make_shared<Noted>(order, 'o');
    auto companion = std::make_shared<Noted>(order, 'c');
    std::shared_ptr<Noted> managed(new Noted(order, 'm'),
                                   Async::Detail::LifeCycleCompletion<Noted>(owner, companion));
    owner.reset();
    companion.reset();
    std::shared_ptr<Noted> second = managed;
    managed.reset();
    EXPECT_EQ(order, "");  // all three live while any reference does
    second.reset();
    EXPECT_EQ(order, "mco");
}

TEST(ErrorChain, FindsACodeAnywhereFromTheHead) {
    EXPECT_FALSE(Async::ChainContains(Common::Error(), Common::kCanceled));
    EXPECT_TRUE(Async::ChainContains(Async::CanceledError(), Common::kCanceled));
    EXPECT_TRUE(Async::ChainContains(Chain(0x10, Common::kCanceled), Common::kCanceled));
    EXPECT_FALSE(Async::ChainContains(Chain(0x10, 0x11), Common::kCanceled));
}

TEST(ErrorChain, CodesThatEndASequenceAsASuccess) {
    const Common::Error finished = Chain(0x10, Async::kSequenceFinished);
    const Common::Error cycleFinished = Chain(0x10, Async::kCycleFinished);
    EXPECT_TRUE(Async::SequenceResult(finished, false).IsEmpty());
    EXPECT_TRUE(Async::SequenceResult(finished, true).IsEmpty());
    EXPECT_EQ(Async::SequenceResult(cycleFinished, false).Code(), 0x10u);
    EXPECT_TRUE(Async::SequenceResult(cycleFinished, true).IsEmpty());
    EXPECT_EQ(Async::SequenceResult(Coded(0x20), true).Code(), 0x20u);
    EXPECT_TRUE(Async::SequenceResult(Common::Error(), false).IsEmpty());
}

// A description that throws must not turn a failure into a crash.
class ThrowingDescription : public Async::OperationDescription {
  public:
    Common::Error DescribeException(const Common::Error&) const override { throw Coded(0x31); }
    Common::Error DescribeStdException(std::string_view) const override { throw std::bad_alloc(); }
    Common::Error DescribeUnknownException() const override { throw 7; }
};

Common::Error DescribeThrown(const std::function<void()>& thrower) {
    try {
        thrower();
    } catch (...) {
        return Async::DescribeCurrentException(ThrowingDescription());
    }
    return Common::Error();
}

TEST(OperationDescription, TheSafeWrapperFallsBackWhenDescribingThrows) {
    const Common::Error fromError = DescribeThrown([] { throw Coded(0x30); });
    EXPECT_EQ(fromError.Code(), 0x30u);  // the caught error itself
    const Common::Error fromStd = DescribeThrown([] { throw std::runtime_error("x"); });
    EXPECT_EQ(fromStd.Code(), Common::kOutOfMemoryError);
    const Common::Error fromOther = DescribeThrown([] { throw 1.5; });
    EXPECT_EQ(fromOther.Code(), Common::kOutOfMemoryError);
}

TEST(OperationDescription, ErrorsCarryTheOperationAndTheTraceLevel) {
    const Common::Error error = Async::MakeOperationExceptionError(
        COMMON_PLACE("Test::Describe"), Async::kStdExceptionDuringOperation, u"Copy", {},
        "{0} bad");
    EXPECT_EQ(error.Message(),
              u"ASYNC: STD exception '{0} bad' has occurred during operation 'Copy'.");
    EXPECT_EQ(error.NumberField("TraceLevel"), 1);
    EXPECT_TRUE(error.Reason().IsEmpty());
}

TEST(StateTransitions, PermitsExactlyTheMovesItWasBuiltWith) {
    constexpr Async::StateTransitions<11> table{{0, 1}, {10, 0}, {3, 10}};
    int permitted = 0;
    for (int from = 0; from < 11; ++from) {
        for (int to = 0; to < 11; ++to) {
            permitted += table.IsPermitted(from, to) ? 1 : 0;
        }
    }
    EXPECT_EQ(permitted, 3);
    EXPECT_TRUE(table.IsPermitted(0, 1));
    EXPECT_FALSE(table.IsPermitted(1, 0));
    EXPECT_TRUE(table.IsPermitted(10, 0));
    EXPECT_TRUE(table.IsPermitted(3, 10));
}

TEST(StateTransitions, AStateOutsideTheMachineIsAnAssertion) {
    ScopedTraceCapture trace;
    constexpr Async::StateTransitions<11> table{{0, 1}};
    EXPECT_FALSE(table.IsPermitted(11, 1));
    EXPECT_FALSE(table.IsPermitted(0, 11));
    EXPECT_FALSE(table.IsPermitted(-1, 1));
    EXPECT_EQ(trace->Assertions(u"from < static_cast<long>(StatesCount)"), 1);
    EXPECT_EQ(trace->Assertions(u"to < static_cast<long>(StatesCount)"), 1);
}

}  // namespace
