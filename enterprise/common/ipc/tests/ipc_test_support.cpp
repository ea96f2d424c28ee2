#include "enterprise/common/ipc/tests/ipc_test_support.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>

#include "core/common/assert_policy.h"
#include "core/common/base64.h"
#include "core/common/text.h"
#include "enterprise/common/ipc/view_manager/view_manager_stub.h"
#include "enterprise/common/zaph/binary_form.h"
#include "enterprise/common/zaph/compare.h"
#include "enterprise/common/zaph/unit_builder.h"

namespace IpcTest {
namespace {

// Failed assertions are traced, where TraceRecorder sees them, and nowhere else.
const bool kAssertionsTraced = [] {
    setenv("BRINTAL_SAFE_ASSERT", "event", 1);
    return true;
}();

// The code of the errors of the test doubles.
constexpr uint32_t kTestDoubleError = 0xE1E1;

class LoopbackCallJob final : public Binding::CallJob {
  public:
    LoopbackCallJob(LoopbackAccessPoint& accessPoint, std::unique_ptr<Binding::Request> request)
        : accessPoint_(accessPoint), request_(std::move(request)) {}

    Common::Error Run() override {
        try {
            const std::vector<uint8_t> reply = accessPoint_.Exchange(
                request_->GetComponentID(), request_->GetMethodID(), request_->Pack());
            return request_->DeserializeReply(reply);
        } catch (const Common::Error& error) {
            return error;
        }
    }

    Common::Error Start(JobManagement::JobHandler&) override {
        return Common::Error(COMMON_PLACE("IpcTest::LoopbackCallJob::Start"), kTestDoubleError,
                             "The loopback runs calls synchronously only.");
    }

    Common::Error Cancel() override { return Common::Error(); }

  private:
    LoopbackAccessPoint& accessPoint_;
    const std::unique_ptr<Binding::Request> request_;
};

}  // namespace

std::string Text(std::span<const uint8_t> packet) {
    return std::string(packet.begin(), packet.end());
}

std::vector<uint8_t> Bytes(const std::string& text) {
    return std::vector<uint8_t>(text.begin(), text.end());
}

std::string Body(std::span<const uint8_t> packet) {
    const std::string text = Text(packet);
    EXPECT_EQ(text.substr(0, kPacketHead.size()), kPacketHead);
    EXPECT_GE(text.size(), kPacketHead.size() + kPacketTail.size());
    if (text.size() < kPacketHead.size() + kPacketTail.size()) {
        return text;
    }
    EXPECT_EQ(text.substr(text.size() - kPacketTail.size()), kPacketTail);
    return text.substr(kPacketHead.size(), text.size() - kPacketHead.size() - kPacketTail.size());
}

std::vector<uint8_t> Packet(const std::string& body) {
    return Bytes(kPacketHead + body + kPacketTail);
}

std::string UnitElement(const std::string& name, const Zaph::View::SharedUnitPtr& unit) {
    if (unit == nullptr) {
        return "<" + name + "><is_empty>1</is_empty></" + name + ">";
    }
    Zaph::Blob blob;
    Zaph::Util::WriteUnitToBlob(*unit, blob);
    std::string base64;
    Common::Base64Encode(blob.data(), blob.size(), base64);
    return "<" + name + "><is_empty>0</is_empty><value>" + base64 + "</value></" + name + ">";
}

Zaph::View::SharedUnitPtr Machine(const std::u16string& name, uint32_t port) {
    return Zaph::Util::FluentUnitBuilder(Zaph::Construction::DefaultUnitFactory())
        .Composite()
        .Trait("Is")
        .String(u"Machine")
        .End()
        .Property("Name")
        .String(name)
        .End()
        .Property("Note")
        .String(u"<b>&amp;</b> ]]> two\nlines \u20AC")
        .End()
        .Property("Ports")
        .Array()
        .DWord(port)
        .End()
        .DWord(port + 1)
        .End()
        .End()
        .End()
        .TakeResult();
}

Zaph::View::SharedUnitPtr DWord(uint32_t value) {
    return Zaph::Util::FluentUnitBuilder(Zaph::Construction::DefaultUnitFactory())
        .DWord(value)
        .End()
        .TakeResult();
}

bool SameUnit(const Zaph::View::SharedUnitPtr& left, const Zaph::View::SharedUnitPtr& right) {
    if (left == nullptr || right == nullptr) {
        return left == right;
    }
    return Zaph::Util::UnitsEqual(*left, *right);
}

bool SameUnits(const Kivo::ViewManagement::UnitVector& left,
               const Kivo::ViewManagement::UnitVector& right) {
    if (left.size() != right.size()) {
        return false;
    }
    for (size_t i = 0; i < left.size(); ++i) {
        if (!SameUnit(left[i], right[i])) {
            return false;
        }
    }
    return true;
}

class TraceRecorder::Tracer final : public Common::Tracer {
  public:
    void OnText(uint32_t, uint32_t level, uint32_t, uint32_t id2,
                std::u16string_view text) noexcept override {
        if (level == Common::kAssertTraceLevel && id2 == Common::kAssertTraceMessage) {
            std::lock_guard<std::mutex> hold(lock);
            assertions.push_back(Common::ToUtf8(text));
        }
    }

    void OnError(uint32_t, uint32_t level, const Common::Error& error) noexcept override {
        std::lock_guard<std::mutex> hold(lock);
        errors.emplace_back(level, error.Code());
    }

    mutable std::mutex lock;
    std::vector<std::string> assertions;
    std::vector<std::pair<uint32_t, uint32_t>> errors;
};

TraceRecorder::TraceRecorder() : tracer_(std::make_shared<Tracer>()) {
    (void)kAssertionsTraced;
    previous_ = Common::SetTracer(tracer_);
}

TraceRecorder::~TraceRecorder() {
    Common::SetTracer(previous_);
}

std::vector<std::string> TraceRecorder::Assertions() const {
    std::lock_guard<std::mutex> hold(tracer_->lock);
    std::vector<std::string> texts;
    for (const std::string& text : tracer_->assertions) {
        // The stack that follows each assertion text is a trace of its own.
        if (text.rfind("Assertion failed: ", 0) == 0) {
            texts.push_back(text);
        }
    }
    return texts;
}

std::vector<uint32_t> TraceRecorder::ErrorCodes(uint32_t level) const {
    std::lock_guard<std::mutex> hold(tracer_->lock);
    std::vector<uint32_t> codes;
    for (const auto& [errorLevel, code] : tracer_->errors) {
        if (errorLevel == level) {
            codes.push_back(code);
        }
    }
    return codes;
}

LoopbackAccessPoint::LoopbackAccessPoint(
    std::shared_ptr<Binding::SynchronousServerComponent> component)
    : component_(std::move(component)) {}

Common::Error LoopbackAccessPoint::Call(std::unique_ptr<Binding::Request> request,
                                        std::unique_ptr<Binding::CallJob>& job) {
    std::lock_guard<std::mutex> hold(lock_);
    ++calls_;
    if (!callFailure_.IsEmpty()) {
        return callFailure_;
    }
    job = std::make_unique<LoopbackCallJob>(*this, std::move(request));
    return Common::Error();
}

Common::Error LoopbackAccessPoint::GetComponentVersion(uint32_t componentId, uint32_t& version) {
    if (componentId != component_->GetComponentID()) {
        return Common::Error(COMMON_PLACE("IpcTest::LoopbackAccessPoint::GetComponentVersion"),
                             kTestDoubleError, "No such component.");
    }
    version = component_->GetInterfaceVersion();
    return Common::Error();
}

void LoopbackAccessPoint::FailCalls(const Common::Error& error) {
    std::lock_guard<std::mutex> hold(lock_);
    callFailure_ = error;
}

void LoopbackAccessPoint::EditReplies(
    std::function<std::vector<uint8_t>(std::vector<uint8_t>)> edit) {
    std::lock_guard<std::mutex> hold(lock_);
    editReply_ = std::move(edit);
}

size_t LoopbackAccessPoint::CallCount() const {
    std::lock_guard<std::mutex> hold(lock_);
    return calls_;
}

std::vector<std::vector<uint8_t>> LoopbackAccessPoint::Requests() const {
    std::lock_guard<std::mutex> hold(lock_);
    return requests_;
}

std::vector<std::vector<uint8_t>> LoopbackAccessPoint::Replies() const {
    std::lock_guard<std::mutex> hold(lock_);
    return replies_;
}

std::vector<uint8_t> LoopbackAccessPoint::Exchange(uint32_t componentId, uint32_t methodId,
                                                   const std::vector<uint8_t>& request) {
    if (componentId != component_->GetComponentID()) {
        throw Common::Error(COMMON_PLACE("IpcTest::LoopbackAccessPoint::Exchange"),
                            kTestDoubleError, "No such component.");
    }
    std::function<std::vector<uint8_t>(std::vector<uint8_t>)> edit;
    {
        std::lock_guard<std::mutex> hold(lock_);
        requests_.push_back(request);
        edit = editReply_;
    }
    std::vector<uint8_t> reply = component_->HandleCall(methodId, request);
    if (edit) {
        reply = edit(std::move(reply));
    }
    std::lock_guard<std::mutex> hold(lock_);
    replies_.push_back(reply);
    return reply;
}

Common::Error RecordingViewManager::Answer(uint32_t method) {
    lastMethod = method;
    ++calls_.at(method);
    std::deque<Common::Error>& queued = outcomes[method];
    const Common::Error result = queued.empty() ? outcome : queued.front();
    if (!queued.empty())
        queued.pop_front();
    return result;
}

Common::Error RecordingViewManager::OpenDynamicView(const Kivo::ViewSpec& viewSpec,
                                                    uint32_t& viewIDOut,
                                                    Kivo::ViewManagement::UnitVector& snapshotOut) {
    std::lock_guard<std::mutex> hold(lock_);
    receivedSpec = viewSpec;
    viewIDOut = viewID;
    snapshotOut = snapshot;
    return Answer(1);
}

Common::Error RecordingViewManager::OpenStaticView(const Kivo::ViewSpec& viewSpec,
                                                   Kivo::ViewManagement::UnitVector& snapshotOut) {
    std::lock_guard<std::mutex> hold(lock_);
    receivedSpec = viewSpec;
    snapshotOut = snapshot;
    return Answer(2);
}

Common::Error RecordingViewManager::AcquireUpdates(
    uint32_t viewIDIn, std::vector<Kivo::ViewManagement::ViewUpdate>& updatesOut) {
    std::lock_guard<std::mutex> hold(lock_);
    receivedId = viewIDIn;
    updatesOut = updates;
    return Answer(3);
}

Common::Error RecordingViewManager::CloseView(uint32_t viewIDIn) {
    std::lock_guard<std::mutex> hold(lock_);
    receivedId = viewIDIn;
    return Answer(4);
}

Common::Error RecordingViewManager::Subscribe(const Kivo::ViewManagement::SubscriptionSpec& spec,
                                              Kivo::ViewManagement::Subscription& subscriptionOut) {
    std::lock_guard<std::mutex> hold(lock_);
    receivedSubscriptionSpec = spec;
    subscriptionOut = subscription;
    return Answer(5);
}

Common::Error RecordingViewManager::AddInterest(const Kivo::ViewManagement::TopicSpec& spec,
                                                Kivo::ViewManagement::Topic& topicOut) {
    std::lock_guard<std::mutex> hold(lock_);
    receivedTopicSpec = spec;
    receivedSpec = spec.Interest;
    topicOut = topic;
    return Answer(6);
}

Common::Error RecordingViewManager::ReadSubscription(
    uint32_t subscriber, Kivo::ViewManagement::SubscriptionContent& updatesOut) {
    std::unique_lock<std::mutex> hold(lock_);
    receivedId = subscriber;
    const Common::Error result = Answer(7);
    if (!contents.empty()) {
        updatesOut = contents.front();
        contents.pop_front();
        return result;
    }
    heldReads_ = true;
    changed_.notify_all();
    changed_.wait_for(hold, std::chrono::seconds(30), [this] { return !holdReads_; });
    updatesOut = content;
    return result;
}

Common::Error RecordingViewManager::RemoveInterest(const Kivo::ViewManagement::TopicID& topicIn) {
    std::lock_guard<std::mutex> hold(lock_);
    receivedTopic = topicIn;
    return Answer(8);
}

Common::Error RecordingViewManager::Unsubscribe(uint32_t subscriber) {
    std::lock_guard<std::mutex> hold(lock_);
    receivedId = subscriber;
    return Answer(9);
}

Loopback::Loopback()
    : service(std::make_shared<RecordingViewManager>()),
      accessPoint(std::make_shared<LoopbackAccessPoint>(
          std::make_shared<Kivo::ViewManagement::ViewManager_Stub>(service, 2))),
      proxy(accessPoint) {}

}  // namespace IpcTest
