// Helpers of the IPC client library tests: a request carrying one number each way, a component
// answering it (each call held until released, if asked), a handler recording what it hears, and
// a scope that installs and initialises the library.
// Thread-safety: a component's calls and a handler's slots come on any thread; the rest is the
// test thread's.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/ipc_client_api/call_job.h"
#include "core/ipc_client_api/ipc_client.h"
#include "core/ipc_client_api/local_components.h"
#include "core/ipc_client_api/request.h"
#include "core/ipc_client_api/server_component.h"
#include "platform/ipc_client/platform_library.h"

namespace IpcClientTest {

inline constexpr uint32_t kService = 901;
inline constexpr uint32_t kComponent = 17;

/// Method numbers of the test component.
enum Method : uint32_t {
    kEcho = 1,          // reply "ok:<input + 1>"
    kFail = 2,          // reply "fail:<input>": the method failed with code input
    kGarbage = 3,       // reply that the request cannot read (DeserializeReply throws)
    kThrowStd = 4,      // reply on which DeserializeReply throws a standard exception
    kUnknownMethod = 9  // the component throws Common::Error
};

/// A request to method `method` with `input`; writes the reply's number into `output` on success
/// (so an output left at its first value means that no reply was read).
std::unique_ptr<Binding::Request> MakeRequest(uint32_t method, int input, int& output);

/// The component answering MakeRequest's requests. When held, each call waits inside HandleCall
/// until Release.
class TestComponent final : public Binding::SynchronousServerComponent {
  public:
    explicit TestComponent(bool hold = false) : hold_(hold) {}

    uint32_t GetComponentID() const override { return kComponent; }
    uint32_t GetInterfaceVersion() const override { return 3; }
    std::vector<uint8_t> HandleCall(uint32_t methodId, std::span<const uint8_t> request) override;

    /// Waits until `count` calls have entered HandleCall.
    void WaitEntered(int count) {
        std::unique_lock<std::mutex> hold(lock_);
        changed_.wait(hold, [&] { return entered_ >= count; });
    }
    /// Lets every held call (and every later one) return.
    void Release() {
        const std::lock_guard<std::mutex> hold(lock_);
        released_ = true;
        changed_.notify_all();
    }

  private:
    const bool hold_;
    std::mutex lock_;
    std::condition_variable changed_;
    bool released_ = false;
    int entered_ = 0;
};

/// A handler that records the slots it hears ("succeeded", "failed", "finished"); a slot heard on
/// the thread that made the handler (the caller's: inside Start, Cancel or Deinit) is recorded as
/// "<slot> on the caller's thread". A second OnFinished sets its promise again, which throws on the
/// library's thread and ends the test.
class RecordingHandler final : public JobManagement::JobHandler {
  public:
    /// Runs inside OnFinished, before WaitFinished returns; it must leave the handler alive.
    std::function<void()> onFinished;
    /// The error that OnFailed heard; read after WaitFinished.
    Common::Error failure;

    void OnSucceeded() override { Record("succeeded"); }
    void OnFailed(const Common::Error& error) override {
        failure = error;
        Record("failed");
    }
    void OnFinished() override {
        Record("finished");
        if (onFinished) {
            onFinished();
        }
        finished_.set_value();
    }

    /// Waits a minute at most for OnFinished; the slots heard, none when it did not come.
    std::vector<std::string> WaitFinished() {
        const bool done = done_.wait_for(std::chrono::minutes(1)) == std::future_status::ready;
        return done ? slots_ : std::vector<std::string>();
    }

  private:
    void Record(const std::string& slot) {
        slots_.push_back(std::this_thread::get_id() == maker_ ? slot + " on the caller's thread"
                                                              : slot);
    }

    const std::thread::id maker_ = std::this_thread::get_id();
    std::vector<std::string> slots_;
    std::promise<void> finished_;
    std::shared_future<void> done_ = finished_.get_future().share();
};

/// The slots that a call job's handler hears for each ending.
inline const std::vector<std::string> kSucceeded{"succeeded", "finished"};
inline const std::vector<std::string> kFailed{"failed", "finished"};

/// A call started with a RecordingHandler.
struct StartedCall {
    int output = -1;
    RecordingHandler handler;
    std::unique_ptr<Binding::CallJob> job;
};

/// Makes the call of MakeRequest(method, input, ...) over `accessPoint` and starts it.
inline void Start(Binding::AccessPoint& accessPoint, StartedCall& call, uint32_t method,
                  int input) {
    ASSERT_TRUE(accessPoint.Call(MakeRequest(method, input, call.output), call.job).IsEmpty());
    ASSERT_TRUE(call.job->Start(call.handler).IsEmpty());
}

/// Makes the call of MakeRequest(method, input, output) over `accessPoint` and runs it.
inline Common::Error RunCall(Binding::AccessPoint& accessPoint, uint32_t method, int input,
                             int& output) {
    std::unique_ptr<Binding::CallJob> job;
    const Common::Error made = accessPoint.Call(MakeRequest(method, input, output), job);
    return made.IsEmpty() ? job->Run() : made;
}

/// Installs the platform library, initialises it and registers a component under kService for
/// its lifetime; Deinit is called at the end unless the test did it.
class Library {
  public:
    explicit Library(std::shared_ptr<TestComponent> component = std::make_shared<TestComponent>())
        : component(std::move(component)), registration_(kService, this->component) {
        EXPECT_TRUE(IPCClient_Init().IsEmpty());
    }
    ~Library() {
        if (initialised_) {
            EXPECT_TRUE(IPCClient_Deinit().IsEmpty());
        }
    }

    /// A new access point to kService.
    std::unique_ptr<Binding::AccessPoint> Connect() {
        std::unique_ptr<Binding::ServiceBrowser> browser;
        std::unique_ptr<Binding::AccessPoint> accessPoint;
        EXPECT_TRUE(IPCClient_GetLocalBrowser(browser).IsEmpty() &&
                    browser->Connect(kService, 0, accessPoint).IsEmpty());
        return accessPoint;
    }
    /// Deinitialises the library now.
    Common::Error Deinit() {
        initialised_ = false;
        return IPCClient_Deinit();
    }

    const std::shared_ptr<TestComponent> component;

  private:
    IPCClient::ScopedPlatformLibrary scope_;
    Binding::ScopedLocalComponent registration_;
    bool initialised_ = true;
};

}  // namespace IpcClientTest
