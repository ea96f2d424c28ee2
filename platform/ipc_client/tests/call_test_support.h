// Helpers of the IPC client library tests: a request that carries one number each way, a
// component that answers it (optionally holding each call until released), a handler that
// records what it hears, and a scope that installs and initialises the library.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
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

/// Counts the replies that requests read, across all requests.
using ReadCounter = std::atomic<int>;

/// A request to method `method` with `input`; writes the reply's number into `output` on success.
std::unique_ptr<Binding::Request> MakeRequest(uint32_t method, int input, int& output,
                                              std::shared_ptr<ReadCounter> reads = nullptr,
                                              uint32_t component = kComponent);

/// The component answering MakeRequest's requests. When held, each call waits inside HandleCall
/// until Release.
class TestComponent final : public Binding::SynchronousServerComponent {
  public:
    explicit TestComponent(bool hold = false) : hold_(hold) {}

    uint32_t GetComponentID() const override { return kComponent; }
    uint32_t GetInterfaceVersion() const override { return 3; }
    std::vector<uint8_t> HandleCall(uint32_t methodId, std::span<const uint8_t> request) override;

    /// Waits until `count` calls have entered HandleCall.
    void WaitEntered(int count);
    /// Lets every held call (and every later one) return.
    void Release();

  private:
    const bool hold_;
    std::mutex lock_;
    std::condition_variable changed_;
    bool released_ = false;
    int entered_ = 0;
};

/// A handler that records the slots it hears, in order, with their threads.
class RecordingHandler final : public JobManagement::JobHandler {
  public:
    /// Runs inside OnFinished, after it was recorded.
    std::function<void()> onFinished;
    /// Runs inside OnSucceeded, before it is recorded.
    std::function<void()> onSucceeded;

    void OnSucceeded() override;
    void OnFailed(const Common::Error& error) override;
    void OnFinished() override;

    /// Waits for OnFinished (a minute at most) and returns the slots heard: "succeeded",
    /// "failed", "finished"; none when it did not come.
    std::vector<std::string> WaitFinished();
    Common::Error Failure();
    /// True when every slot ran on a thread other than `thread`.
    bool NeverOn(std::thread::id thread);

  private:
    void Record(const std::string& slot);

    std::mutex lock_;
    std::condition_variable finished_;
    bool done_ = false;
    std::vector<std::string> slots_;
    std::vector<std::thread::id> threads_;
    Common::Error failure_;
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
void Start(Binding::AccessPoint& accessPoint, StartedCall& call, uint32_t method, int input,
           std::shared_ptr<ReadCounter> reads = nullptr);

/// Installs the platform library, initialises it and registers a component under kService for
/// its lifetime; Deinit is called at the end unless the test did it.
class Library {
  public:
    explicit Library(std::shared_ptr<TestComponent> component = std::make_shared<TestComponent>());
    ~Library();

    /// A new access point to kService.
    std::unique_ptr<Binding::AccessPoint> Connect();
    /// Deinitialises the library now.
    Common::Error Deinit();

    const std::shared_ptr<TestComponent> component;

  private:
    IPCClient::ScopedPlatformLibrary scope_;
    Binding::ScopedLocalComponent registration_;
    bool initialised_ = false;
};

}  // namespace IpcClientTest
