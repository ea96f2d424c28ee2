#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "enterprise/common/async/error/cached_error.h"
#include "enterprise/common/kivo/client/async_request.h"
#include "platform/ipc_client/tests/call_test_support.h"

namespace {

// Counts the completions it hears and the runs that heard more than one.
class TallyHandler final : public Async::ActionHandler {
  public:
    void Completed(const Common::Error& error) override {
        if (heard_.fetch_add(1) != 0)
            ++extra;
        if (error.IsEmpty())
            ++succeeded;
        else if (error.Code() == Common::kCanceled)
            ++canceled;
        done_.Set();
    }
    void Wait() { done_.Wait(); }

    static inline std::atomic<int> succeeded{0};
    static inline std::atomic<int> canceled{0};
    static inline std::atomic<int> extra{0};

  private:
    std::atomic<int> heard_{0};
    Common::Event done_{Common::Event::ResetMode::Manual, false};
};

class EchoRunner final : public Kivo::SmartRequestRunner {
  public:
    EchoRunner(std::shared_ptr<Binding::AccessPoint> accessPoint, Async::ActionHandler& handler)
        : SmartRequestRunner(std::move(accessPoint), handler) {}
    int output = 0;

  protected:
    std::unique_ptr<Binding::Request> CreateRequest() override {
        return IpcClientTest::MakeRequest(IpcClientTest::kEcho, 1, output);
    }
};

// Calls finishing on the library's threads race with cancels from other threads: every caller
// hears exactly once, a success or the cancellation, and no runner is touched after its end.
TEST(RequestRunnerConcurrencyTest, FinishAndCancelRaceYetEachCallerHearsOnce) {
    IpcClientTest::Library library;
    const std::shared_ptr<Binding::AccessPoint> accessPoint = library.Connect();
    constexpr int kRuns = 200;
    std::vector<TallyHandler> handlers(kRuns);
    std::vector<std::shared_ptr<EchoRunner>> runners;
    for (int i = 0; i < kRuns; ++i)
        runners.push_back(std::make_shared<EchoRunner>(accessPoint, handlers[i]));

    std::thread cancelers[2];
    std::atomic<int> started{0};
    for (int c = 0; c < 2; ++c) {
        cancelers[c] = std::thread([&, c] {
            for (int i = c; i < kRuns; i += 2) {
                while (started.load() <= i) {
                    std::this_thread::yield();
                }
                runners[i]->Cancel();
            }
        });
    }
    for (int i = 0; i < kRuns; ++i) {
        runners[i]->StartRequest();
        started.store(i + 1);
    }
    for (std::thread& canceler : cancelers)
        canceler.join();
    for (TallyHandler& handler : handlers)
        handler.Wait();
    runners.clear();
    EXPECT_TRUE(library.Deinit().IsEmpty());

    EXPECT_EQ(TallyHandler::extra, 0);
    EXPECT_EQ(TallyHandler::succeeded + TallyHandler::canceled, kRuns);
}

}  // namespace
