#include "platform/ipc_client/tests/call_test_support.h"

#include <stdexcept>

namespace IpcClientTest {
namespace {

std::vector<uint8_t> Bytes(const std::string& text) {
    return std::vector<uint8_t>(text.begin(), text.end());
}

class NumberRequest final : public Binding::Request {
  public:
    NumberRequest(uint32_t method, int input, int& output)
        : method_(method), input_(input), output_(output) {}

    uint32_t GetComponentID() const override { return kComponent; }
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
    const uint32_t method_;
    const int input_;
    int& output_;
};

}  // namespace

std::unique_ptr<Binding::Request> MakeRequest(uint32_t method, int input, int& output) {
    return std::make_unique<NumberRequest>(method, input, output);
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

}  // namespace IpcClientTest
