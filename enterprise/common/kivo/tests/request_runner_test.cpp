#include "enterprise/common/kivo/client/async_request.h"

#include <gtest/gtest.h>

#include <future>
#include <sstream>
#include <thread>

#include "enterprise/common/async/error/cached_error.h"
#include "enterprise/common/kivo/interfaces/safe_invoke.h"
#include "enterprise/common/kivo/tests/remote_client_support.h"
#include "enterprise/common/kivo/tests/trace_recorder.h"
#include "platform/ipc_client/tests/call_test_support.h"

namespace {

using IpcClientTest::kEcho;
using IpcClientTest::kFail;

// A runner of one number request; counts OnReplied, which may refuse the reply or throw.
class NumberRunner final : public Kivo::SmartRequestRunner {
  public:
    NumberRunner(std::shared_ptr<Binding::AccessPoint> accessPoint, Async::ActionHandler& handler,
                 uint32_t method, int input = 1)
        : SmartRequestRunner(std::move(accessPoint), handler), method_(method), input_(input) {}

    std::atomic<int> replies{0};
    int output = 0;
    bool throwOnReplied = false;
    bool noRequest = false;
    Common::Error refusal;

  protected:
    std::unique_ptr<Binding::Request> CreateRequest() override {
        return noRequest ? nullptr : IpcClientTest::MakeRequest(method_, input_, output);
    }
    Common::Error OnReplied() override {
        ++replies;
        if (throwOnReplied)
            throw KivoTest::Fault(0x66);
        return refusal;
    }

  private:
    const uint32_t method_;
    const int input_;
};

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
        Common::Error Start(JobManagement::JobHandler&) override { return KivoTest::Fault(0xAE06); }
        Common::Error Cancel() override { return real->Cancel(); }
        std::unique_ptr<Binding::CallJob> real;
    };
    const std::shared_ptr<Binding::AccessPoint> real_;
};

std::string Hex(uint32_t code) {
    std::ostringstream text;
    text << std::hex << code;
    return text.str();
}

// Each caller's handler (a Reading) hears once, "waits" standing for nothing (more) heard.
TEST(RequestRunnerTest, OutcomesReachTheHandlerOnceAndOnlySuccessIsReplied) {
    IpcClientTest::Library library(std::make_shared<IpcClientTest::TestComponent>());
    const std::shared_ptr<Binding::AccessPoint> accessPoint = library.Connect();
    KivoTest::Reading reading;
    std::thread::id heardOn;
    reading.then = [&] { heardOn = std::this_thread::get_id(); };

    auto echo = std::make_shared<NumberRunner>(accessPoint, reading, kEcho, 41);
    echo->StartRequest();
    EXPECT_EQ(reading.End(), "0");
    EXPECT_EQ(echo->output, 42);
    EXPECT_NE(heardOn, std::this_thread::get_id());
    auto failing = std::make_shared<NumberRunner>(accessPoint, reading, kFail, 0x1234);
    failing->StartRequest();
    EXPECT_EQ(reading.End(), "1234");
    auto refused = std::make_shared<NumberRunner>(accessPoint, reading, kEcho);
    refused->refusal = KivoTest::Fault(0x68);
    refused->StartRequest();
    EXPECT_EQ(reading.End(), "68");
    EXPECT_EQ((std::vector<int>{echo->replies, failing->replies, refused->replies}),
              (std::vector<int>{1, 0, 1}));
    // A cancel after the end only waits.
    for (auto* runner : {echo.get(), failing.get(), refused.get()})
        runner->Cancel();
    EXPECT_EQ(reading.End(false), "waits");

    // Calls that cannot be made or started end at once on the starting thread, and the runner
    // then goes without waiting for the library.
    auto unmade = std::make_shared<NumberRunner>(accessPoint, reading, kEcho);
    unmade->noRequest = true;
    unmade->StartRequest();
    EXPECT_EQ(reading.End(false), Hex(Binding::kIpcClientNoRequest));
    EXPECT_EQ(heardOn, std::this_thread::get_id());
    unmade->Cancel();
    auto unstarted = std::make_shared<NumberRunner>(
        std::make_shared<StartRefusingAccessPoint>(accessPoint), reading, kEcho);
    unstarted->StartRequest();
    EXPECT_EQ(reading.End(false), "ae06");
    EXPECT_EQ(unmade->replies + unstarted->replies, 0);
    unstarted.reset();
    EXPECT_EQ(reading.End(false), "waits");
}

TEST(RequestRunnerTest, WhatRepliedOrTheHandlerThrowsIsTracedAndChangesNothing) {
    IpcClientTest::Library library(std::make_shared<IpcClientTest::TestComponent>());
    KivoTest::TraceRecorder traces;
    KivoTest::Reading reading;
    std::promise<void> heard;
    reading.then = [&] {
        heard.set_value();
        throw KivoTest::Fault(0x67);
    };
    auto runner = std::make_shared<NumberRunner>(library.Connect(), reading, kEcho);
    runner->throwOnReplied = true;
    runner->StartRequest();
    EXPECT_EQ(heard.get_future().wait_for(std::chrono::seconds(30)), std::future_status::ready);
    runner.reset();
    library.Deinit();  // joins the library's threads: the handler's trace is written

    std::vector<std::string> traced;
    for (const auto& [level, error] : traces.Errors()) {
        EXPECT_EQ(error.Code(), Kivo::Detail::kExceptionFromCallback);
        traced.push_back(std::to_string(level) + ":" + Hex(error.Reason().Code()));
    }
    EXPECT_EQ(traced, (std::vector<std::string>{"1:66", "1:67"}));
}

// Calls held in the component until released: a cancel ends the call and is heard once, a runner
// destroyed in flight waits and is not heard, and one let go keeps itself alive to its end.
TEST(RequestRunnerTest, CallsInFlightAreCanceledAbandonedOrKeptAlive) {
    auto component = std::make_shared<IpcClientTest::TestComponent>(true);
    IpcClientTest::Library library(component);
    const std::shared_ptr<Binding::AccessPoint> accessPoint = library.Connect();
    KivoTest::Reading canceledReading, abandonedReading, keptReading;

    auto canceled = std::make_shared<NumberRunner>(accessPoint, canceledReading, kEcho);
    canceled->StartRequest();
    component->WaitEntered(1);
    canceled->Cancel();
    // Cancel returned after the library had left the call, and the handler heard it already.
    EXPECT_EQ(canceledReading.End(false), Hex(Async::kCanceled));
    canceled->Cancel();
    {
        NumberRunner abandoned(accessPoint, abandonedReading, kEcho);
        abandoned.StartRequest();
        component->WaitEntered(2);
    }
    std::weak_ptr<NumberRunner> watched;
    {
        auto kept = std::make_shared<NumberRunner>(accessPoint, keptReading, kEcho, 9);
        watched = kept;
        kept->StartRequest();
    }
    EXPECT_FALSE(watched.expired());
    component->Release();
    EXPECT_EQ(keptReading.End(), "0");
    library.Deinit();
    EXPECT_TRUE(watched.expired());
    EXPECT_EQ(canceled->replies, 0);
    EXPECT_EQ(canceledReading.End(false) + abandonedReading.End(false), "waitswaits");
}

}  // namespace
