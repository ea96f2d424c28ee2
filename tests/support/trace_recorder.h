// KivoTestSupport::TraceRecorder: while it lives, the process's tracer collects the failed
// assertions' texts and the traced errors with their levels. The first recorder sets
// BRINTAL_SAFE_ASSERT to "event" for the process, so that assertions are traced and only that.
//
// Thread-safety: made and destroyed on one thread, one at a time; any thread may trace meanwhile
// and Traced and Errors may be called at any time.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "core/common/assert_policy.h"
#include "core/common/text.h"
#include "core/common/trace.h"

namespace KivoTestSupport {

/// See the file comment.
class TraceRecorder {
  public:
    TraceRecorder() : previous_(Common::SetTracer(tracer_)) {
        static const bool assertionsTraced = setenv("BRINTAL_SAFE_ASSERT", "event", 1) == 0;
        static_cast<void>(assertionsTraced);
    }
    ~TraceRecorder() { Common::SetTracer(previous_); }
    TraceRecorder(const TraceRecorder&) = delete;
    TraceRecorder& operator=(const TraceRecorder&) = delete;

    /// What was traced, in order: assertion texts, and errors as "error <level> <code in hex>".
    [[nodiscard]] std::vector<std::string> Traced() const {
        std::lock_guard<std::mutex> hold(tracer_->lock);
        return tracer_->traced;
    }
    /// The traced errors with their levels, in order.
    [[nodiscard]] std::vector<std::pair<uint32_t, Common::Error>> Errors() const {
        std::lock_guard<std::mutex> hold(tracer_->lock);
        return tracer_->errors;
    }

  private:
    struct Tracer final : Common::Tracer {
        void OnText(uint32_t, uint32_t level, uint32_t, uint32_t id2,
                    std::u16string_view text) noexcept override {
            // The stack that follows each assertion text is a trace of its own.
            if (level == Common::kAssertTraceLevel && id2 == Common::kAssertTraceMessage &&
                text.starts_with(u"Assertion failed: ")) {
                std::lock_guard<std::mutex> hold(lock);
                traced.push_back(Common::ToUtf8(text));
            }
        }
        void OnError(uint32_t, uint32_t level, const Common::Error& error) noexcept override {
            char text[40];
            std::snprintf(text, sizeof text, "error %u %X", level, error.Code());
            std::lock_guard<std::mutex> hold(lock);
            traced.emplace_back(text);
            errors.emplace_back(level, error);
        }
        std::mutex lock;
        std::vector<std::string> traced;
        std::vector<std::pair<uint32_t, Common::Error>> errors;
    };

    const std::shared_ptr<Tracer> tracer_ = std::make_shared<Tracer>();
    const std::shared_ptr<Common::Tracer> previous_;
};

}  // namespace KivoTestSupport
