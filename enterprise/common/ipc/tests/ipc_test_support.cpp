#include "enterprise/common/ipc/tests/ipc_test_support.h"

#include <cstdio>
#include <cstdlib>

#include "core/common/assert_policy.h"
#include "core/common/base64.h"
#include "core/common/text.h"
#include "enterprise/common/zaph/binary_form.h"

namespace IpcTest {
namespace {

// Failed assertions are traced, where TraceRecorder sees them, and nowhere else.
const bool kAssertionsTraced = setenv("BRINTAL_SAFE_ASSERT", "event", 1) == 0;

const std::string kHead = "\xEF\xBB\xBF<XML_SERIALIZER>";
const std::string kTail = "</XML_SERIALIZER>";

}  // namespace

std::string Body(std::span<const uint8_t> packet) {
    const std::string text(packet.begin(), packet.end());
    const bool framed = text.size() >= kHead.size() + kTail.size() && text.starts_with(kHead) &&
                        text.ends_with(kTail);
    EXPECT_TRUE(framed) << text;
    return framed ? text.substr(kHead.size(), text.size() - kHead.size() - kTail.size()) : text;
}

std::string PacketText(const std::string& body) {
    return kHead + body + kTail;
}

std::vector<uint8_t> Packet(const std::string& body) {
    const std::string text = PacketText(body);
    return std::vector<uint8_t>(text.begin(), text.end());
}

std::string UnitElement(const std::string& name, const Zaph::View::SharedUnitPtr& unit) {
    std::string value;
    if (unit != nullptr) {
        Zaph::Blob blob;
        Zaph::Util::WriteUnitToBlob(*unit, blob);
        Common::Base64Encode(blob.data(), blob.size(), value);
        value = "<value>" + value + "</value>";
    }
    return "<" + name + "><is_empty>" + (unit ? "0" : "1") + "</is_empty>" + value + "</" + name +
           ">";
}

class TraceRecorder::Tracer final : public Common::Tracer {
  public:
    void OnText(uint32_t, uint32_t level, uint32_t, uint32_t id2,
                std::u16string_view text) noexcept override {
        // The stack that follows each assertion text is a trace of its own.
        if (level == Common::kAssertTraceLevel && id2 == Common::kAssertTraceMessage &&
            text.starts_with(u"Assertion failed: ")) {
            Add(Common::ToUtf8(text));
        }
    }
    void OnError(uint32_t, uint32_t level, const Common::Error& error) noexcept override {
        char text[40];
        std::snprintf(text, sizeof text, "error %u %X", level, error.Code());
        Add(text);
    }
    void Add(std::string text) {
        std::lock_guard<std::mutex> hold(lock);
        traced.push_back(std::move(text));
    }

    std::mutex lock;
    std::vector<std::string> traced;
};

TraceRecorder::TraceRecorder() : tracer_(std::make_shared<Tracer>()) {
    EXPECT_TRUE(kAssertionsTraced);
    previous_ = Common::SetTracer(tracer_);
}

TraceRecorder::~TraceRecorder() {
    Common::SetTracer(previous_);
}

std::vector<std::string> TraceRecorder::Traced() const {
    std::lock_guard<std::mutex> hold(tracer_->lock);
    return tracer_->traced;
}

}  // namespace IpcTest
