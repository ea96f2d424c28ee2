#include "platform/ipc_client/tests/call_test_support.h"

#include <gtest/gtest.h>

#include <chrono>
#include <stdexcept>
#include <string_view>

namespace IpcClientTest {
namespace {

std::vector<uint8_t> Bytes(const std::string& text) {
    return std::vector<uint8_t>(text.begin(), text.end());
}

std::string Text(std::span<const uint8_t> bytes) {
    return std::string(bytes.begin(), bytes.end());
}

class NumberRequest final : public Binding::Request {
  public:
    NumberRequest(uint32_t component, uint32_t method, int input, int& output,
                  std::shared_ptr<ReadCounter> reads)
        : component_(component),
          method_(method),
          input_(input),
          output_(output),
          reads_(std::move(reads)) {}

    uint32_t GetComponentID() const override { return component_; }
    uint32_t GetMethodID() const override { return method_; }
    std::vector<uint8_t> Pack() const override { return Bytes(std::to_string(input_)); }

    Common::Error DeserializeReply(std::span<const uint8_t> reply) override {
        if (reads_ != nullptr) {
            ++*reads_;
        }
        const std::string text = Text(reply);
        if (text.starts_with("ok:")) {
            output_ = std::stoi(text.substr(3));
            return Common::Error();
        }
        if (text.starts_with("fail:")) {
            return Common::Error(COMMON_PLACE("Test::Reply"),
                                 static_cast<uint32_t>(std::stoul(text.substr(5))));
        }
        if (text == "std") {
            throw std::runtime_error("unreadable reply");
        }
        throw Common::Error(COMMON_PLACE("Test::Reply"), 0x9C0002);
    }

  private:
    const uint32_t component_;
    const uint32_t method_;
    const int input_;
    int& output_;
    const std::shared_ptr<ReadCounter> reads_;
};

}  // namespace

std::unique_ptr<Binding::Request> MakeRequest(uint32_t method, int input, int& output,
                                              std::shared_ptr<ReadCounter> reads,
                                              uint32_t component) {
    return std::make_unique<NumberRequest>(component, method, input, output, std::move(reads));
}

std::vector<uint8_t> TestComponent::HandleCall(uint32_t methodId,
                                               std::span<const uint8_t> request) {
    std::unique_lock<std::mutex> hold(lock_);
    ++entered_;
    changed_.notify_all();
    changed_.wait(hold, [this] { return !hold_ || released_; });
    const int input = std::stoi(Text(request));
    switch (methodId) {
        case kEcho:
            return Bytes("ok:" + std::to_string(input + 1));
        case kFail:
            return Bytes("fail:" + std::to_string(input));
        case kGarbage:
            return Bytes("<garbage");
        case kThrowStd:
            return Bytes("std");
        default:
            throw Common::Error(COMMON_PLACE("Test::TestComponent::HandleCall"), 0xB9000C);
    }
}

void TestComponent::WaitEntered(int count) {
    std::unique_lock<std::mutex> hold(lock_);
    changed_.wait(hold, [&] { return entered_ >= count; });
}

void TestComponent::Release() {
    std::lock_guard<std::mutex> hold(lock_);
    released_ = true;
    changed_.notify_all();
}

void RecordingHandler::OnSucceeded() {
    if (onSucceeded) {
        onSucceeded();
    }
    Record("succeeded");
}

void RecordingHandler::OnFailed(const Common::Error& error) {
    {
        std::lock_guard<std::mutex> hold(lock_);
        failure_ = error;
    }
    Record("failed");
}

void RecordingHandler::OnFinished() {
    Record("finished");
    // Copied first: the callback may destroy this handler.
    const std::function<void()> callback = onFinished;
    {
        std::lock_guard<std::mutex> hold(lock_);
        done_ = true;
        finished_.notify_all();
    }
    if (callback) {
        callback();
    }
}

std::vector<std::string> RecordingHandler::WaitFinished() {
    std::unique_lock<std::mutex> hold(lock_);
    if (!finished_.wait_for(hold, std::chrono::minutes(1), [this] { return done_; })) {
        return {};
    }
    return slots_;
}

Common::Error RecordingHandler::Failure() {
    std::lock_guard<std::mutex> hold(lock_);
    return failure_;
}

bool RecordingHandler::NeverOn(std::thread::id thread) {
    std::lock_guard<std::mutex> hold(lock_);
    for (const std::thread::id& slotThread : threads_) {
        if (slotThread == thread) {
            return false;
        }
    }
    return true;
}

void RecordingHandler::Record(const std::string& slot) {
    std::lock_guard<std::mutex> hold(lock_);
    slots_.push_back(slot);
    threads_.push_back(std::this_thread::get_id());
}

void Start(Binding::AccessPoint& accessPoint, StartedCall& call, uint32_t method, int input,
           std::shared_ptr<ReadCounter> reads) {
    ASSERT_TRUE(
        accessPoint.Call(MakeRequest(method, input, call.output, std::move(reads)), call.job)
            .IsEmpty());
    ASSERT_TRUE(call.job->Start(call.handler).IsEmpty());
}

Library::Library(std::shared_ptr<TestComponent> testComponent)
    : component(std::move(testComponent)), registration_(kService, component) {
    const Common::Error error = IPCClient_Init();
    EXPECT_TRUE(error.IsEmpty()) << error.Code();
    initialised_ = error.IsEmpty();
}

Library::~Library() {
    if (initialised_) {
        EXPECT_TRUE(IPCClient_Deinit().IsEmpty());
    }
}

std::unique_ptr<Binding::AccessPoint> Library::Connect() {
    std::unique_ptr<Binding::ServiceBrowser> browser;
    std::unique_ptr<Binding::AccessPoint> accessPoint;
    Common::Error error = IPCClient_GetLocalBrowser(browser);
    if (error.IsEmpty()) {
        error = browser->Connect(kService, 0, accessPoint);
    }
    EXPECT_TRUE(error.IsEmpty()) << error.Code();
    return accessPoint;
}

Common::Error Library::Deinit() {
    initialised_ = false;
    return IPCClient_Deinit();
}

}  // namespace IpcClientTest
