#include "platform/ipc_client/tests/call_test_support.h"

#include <chrono>
#include <stdexcept>

namespace IpcClientTest {
namespace {

std::vector<uint8_t> Bytes(const std::string& text) {
    return std::vector<uint8_t>(text.begin(), text.end());
}

class NumberRequest final : public Binding::Request {
  public:
    NumberRequest(uint32_t component, uint32_t method, int input, int& output)
        : component_(component), method_(method), input_(input), output_(output) {}

    uint32_t GetComponentID() const override { return component_; }
    uint32_t GetMethodID() const override { return method_; }
    std::vector<uint8_t> Pack() const override { return Bytes(std::to_string(input_)); }

    Common::Error DeserializeReply(std::span<const uint8_t> reply) override {
        const std::string text(reply.begin(), reply.end());
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
};

}  // namespace

std::unique_ptr<Binding::Request> MakeRequest(uint32_t method, int input, int& output,
                                              uint32_t component) {
    return std::make_unique<NumberRequest>(component, method, input, output);
}

std::vector<uint8_t> TestComponent::HandleCall(uint32_t methodId,
                                               std::span<const uint8_t> request) {
    std::unique_lock<std::mutex> hold(lock_);
    ++entered_;
    changed_.notify_all();
    changed_.wait(hold, [this] { return !hold_ || released_; });
    const int input = std::stoi(std::string(request.begin(), request.end()));
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

void RecordingHandler::OnFailed(const Common::Error& error) {
    failure_ = error;
    Record("failed");
}

// A second ending sets the promise again, which throws on the library's thread: the test ends.
void RecordingHandler::OnFinished() {
    Record("finished");
    if (onFinished) {
        onFinished();
    }
    finished_.set_value();
}

std::vector<std::string> RecordingHandler::WaitFinished() {
    if (done_.wait_for(std::chrono::minutes(1)) != std::future_status::ready) {
        return {};
    }
    return slots_;
}

void RecordingHandler::Record(const std::string& slot) {
    slots_.push_back(std::this_thread::get_id() == maker_ ? slot + " inside Start" : slot);
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
