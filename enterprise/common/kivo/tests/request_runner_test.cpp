#include "enterprise/common/kivo/client/async_request.h"

#include <gtest/gtest.h>

#include <functional>
#include <thread>

#include "enterprise/common/async/error/cached_error.h"
#include "enterprise/common/async/waiting_handler.h"
#include "enterprise/common/kivo/interfaces/safe_invoke.h"
#include "enterprise/common/kivo/tests/trace_recorder.h"
#include "platform/ipc_client/tests/call_test_support.h"

namespace {

using IpcClientTest::kEcho;
using IpcClientTest::kFail;

// Counts what the caller's handler hears; `then` runs inside each call.
class CountingHandler final : public Async::ActionHandler {
  public:
    void Completed(const Common::Error& error) override {
        {
            std::lock_guard<std::mutex> hold(lock_);
            ++calls_;
            last_ = error;
            thread_ = std::this_thread::get_id();
        }
        struct SetOnExit {
            ~SetOnExit() { event.Set(); }
            Common::Event& event;
        } setOnExit{heard_};
        if (then)
            then();
    }
    Common::Error Wait() {
        heard_.Wait();
        std::lock_guard<std::mutex> hold(lock_);
        return last_;
    }
    int Calls() {
        std::lock_guard<std::mutex> hold(lock_);
        return calls_;
    }
    std::thread::id Thread() {
        std::lock_guard<std::mutex> hold(lock_);
        return thread_;
    }
    std::function<void()> then;

  private:
    std::mutex lock_;
    Common::Event heard_{Common::Event::ResetMode::Auto, false};
    int calls_ = 0;
    Common::Error last_;
    std::thread::id thread_;
};

// A runner of one number request; counts OnReplied and can make it throw.
class NumberRunner final : public Kivo::SmartRequestRunner {
  public:
    NumberRunner(std::shared_ptr<Binding::AccessPoint> accessPoint, Async::ActionHandler& handler,
                 uint32_t method, int input)
        : SmartRequestRunner(std::move(accessPoint), handler), method_(method), input_(input) {}

    std::atomic<int> replies{0};
    int output = 0;
    bool throwOnReplied = false;
    bool noRequest = false;
    Common::Error refusal;

  protected:
    std::unique_ptr<Binding::Request> CreateRequest() override {
        if (noRequest)
            return nullptr;
        return IpcClientTest::MakeRequest(method_, input_, output);
    }
    Common::Error OnReplied() override {
        ++replies;
        if (throwOnReplied)
            throw Common::Error(COMMON_PLACE("KivoTest::OnReplied"), 0x66, "cannot read");
        return refusal;
    }

  private:
    const uint32_t method_;
    const int input_;
};

class RequestRunnerTest : public ::testing::Test {
  protected:
    explicit RequestRunnerTest(bool hold = false)
        : library_(std::make_shared<IpcClientTest::TestComponent>(hold)),
          accessPoint_(library_.Connect()) {}

    std::shared_ptr<NumberRunner> Runner(uint32_t method, int input = 1) {
        return std::make_shared<NumberRunner>(accessPoint_, handler_, method, input);
    }

    IpcClientTest::Library library_;
    std::shared_ptr<Binding::AccessPoint> accessPoint_;
    CountingHandler handler_;
};

TEST_F(RequestRunnerTest, RepliedOnlyOnSuccessAndTheHandlerHearsOnceFromTheLibrary) {
    auto runner = Runner(kEcho, 41);
    runner->StartRequest();
    EXPECT_TRUE(handler_.Wait().IsEmpty());
    EXPECT_EQ(runner->output, 42);
    EXPECT_EQ(runner->replies, 1);
    EXPECT_NE(handler_.Thread(), std::this_thread::get_id());

    auto failing = Runner(kFail, 0x1234);
    failing->StartRequest();
    EXPECT_EQ(handler_.Wait().Code(), 0x1234u);
    EXPECT_EQ(failing->replies, 0);

    auto refused = Runner(kEcho);  // OnReplied refuses the reply: its refusal is the outcome
    refused->refusal = Common::Error(COMMON_PLACE("KivoTest::Refusal"), 0x68, "names nothing");
    refused->StartRequest();
    EXPECT_EQ(handler_.Wait().Code(), 0x68u);

    // A cancel after the end only waits: nothing more is heard.
    runner->Cancel();
    failing->Cancel();
    refused->Cancel();
    EXPECT_EQ(handler_.Calls(), 3);
}

TEST_F(RequestRunnerTest, CallThatFailsEndsAtOnceOnTheStartingThread) {
    auto runner = Runner(kEcho);
    runner->noRequest = true;
    runner->StartRequest();
    EXPECT_EQ(handler_.Calls(), 1);
    EXPECT_EQ(handler_.Thread(), std::this_thread::get_id());
    EXPECT_EQ(handler_.Wait().Code(), Binding::kIpcClientNoRequest);
    EXPECT_EQ(runner->replies, 0);
    runner->Cancel();
    EXPECT_EQ(handler_.Calls(), 1);
}

TEST_F(RequestRunnerTest, WhatRepliedOrTheHandlerThrowsIsTracedAndChangesNothing) {
    KivoTest::TraceRecorder traces;
    auto runner = Runner(kEcho);
    runner->throwOnReplied = true;
    handler_.then = [] { throw Common::Error(COMMON_PLACE("KivoTest::Handler"), 0x67); };
    runner->StartRequest();
    EXPECT_TRUE(handler_.Wait().IsEmpty());
    runner.reset();
    // Joins the library's threads: the handler's trace is written.
    EXPECT_TRUE(library_.Deinit().IsEmpty());

    std::vector<uint32_t> reasons;
    for (const auto& [level, error] : traces.Errors()) {
        EXPECT_EQ(level, 1u);
        EXPECT_EQ(error.Code(), Kivo::Detail::kExceptionFromCallback);
        reasons.push_back(error.Reason().Code());
    }
    EXPECT_EQ(reasons, (std::vector<uint32_t>{0x66, 0x67}));
    EXPECT_EQ(handler_.Calls(), 1);
}

// The library's access point, with call jobs that refuse to start.
class StartRefusingAccessPoint final : public Binding::AccessPoint {
  public:
    explicit StartRefusingAccessPoint(std::shared_ptr<Binding::AccessPoint> real)
        : real_(std::move(real)) {}
    Common::Error Call(std::unique_ptr<Binding::Request> request,
                       std::unique_ptr<Binding::CallJob>& job) override {
        std::unique_ptr<Binding::CallJob> realJob;
        const Common::Error error = real_->Call(std::move(request), realJob);
        if (error.IsEmpty())
            job = std::make_unique<RefusingJob>(std::move(realJob));
        return error;
    }
    uint32_t GetConnectionID() const override { return real_->GetConnectionID(); }
    Common::Error GetComponentVersion(uint32_t componentId, uint32_t& version) override {
        return real_->GetComponentVersion(componentId, version);
    }

  private:
    struct RefusingJob final : Binding::CallJob {
        explicit RefusingJob(std::unique_ptr<Binding::CallJob> job) : real(std::move(job)) {}
        Common::Error Run() override { return real->Run(); }
        Common::Error Start(JobManagement::JobHandler&) override {
            return Common::Error(COMMON_PLACE("KivoTest::RefusingJob::Start"), 0xAE0006);
        }
        Common::Error Cancel() override { return real->Cancel(); }
        std::unique_ptr<Binding::CallJob> real;
    };
    const std::shared_ptr<Binding::AccessPoint> real_;
};

TEST_F(RequestRunnerTest, StartThatFailsIsTheCallsFailureHeardAtOnce) {
    auto runner = std::make_shared<NumberRunner>(
        std::make_shared<StartRefusingAccessPoint>(accessPoint_), handler_, kEcho, 1);
    runner->StartRequest();
    EXPECT_EQ(handler_.Calls(), 1);
    EXPECT_EQ(handler_.Wait().Code(), 0xAE0006u);
    EXPECT_EQ(runner->replies, 0);
    // Nothing was started: the runner goes without waiting for the library.
    runner.reset();
    EXPECT_EQ(handler_.Calls(), 1);
}

class HeldRequestRunnerTest : public RequestRunnerTest {
  protected:
    HeldRequestRunnerTest() : RequestRunnerTest(true) {}
    ~HeldRequestRunnerTest() override { library_.component->Release(); }
};

TEST_F(HeldRequestRunnerTest, CancelEndsTheCallAndDeliversCanceledOnce) {
    auto runner = Runner(kEcho);
    runner->StartRequest();
    library_.component->WaitEntered(1);
    runner->Cancel();
    // Cancel returned after the library had left the call, and the handler heard it already.
    EXPECT_EQ(handler_.Calls(), 1);
    EXPECT_EQ(handler_.Wait().Code(), Common::kCanceled);
    EXPECT_EQ(runner->replies, 0);
    runner->Cancel();
    library_.component->Release();
    EXPECT_TRUE(library_.Deinit().IsEmpty());
    EXPECT_EQ(handler_.Calls(), 1);
    EXPECT_EQ(runner->output, 0);
}

TEST_F(HeldRequestRunnerTest, RunnerDestroyedWithItsCallInFlightWaitsAndHearsNothing) {
    {
        NumberRunner runner(accessPoint_, handler_, kEcho, 1);
        runner.StartRequest();
        library_.component->WaitEntered(1);
    }
    library_.component->Release();
    EXPECT_TRUE(library_.Deinit().IsEmpty());
    EXPECT_EQ(handler_.Calls(), 0);
}

TEST_F(HeldRequestRunnerTest, RunnerKeepsItselfAliveWhileItsCallIsInFlight) {
    std::weak_ptr<NumberRunner> watched;
    {
        auto runner = Runner(kEcho, 9);
        watched = runner;
        runner->StartRequest();
    }
    EXPECT_FALSE(watched.expired());
    library_.component->Release();
    EXPECT_TRUE(handler_.Wait().IsEmpty());
    EXPECT_TRUE(library_.Deinit().IsEmpty());
    EXPECT_TRUE(watched.expired());
}

}  // namespace
