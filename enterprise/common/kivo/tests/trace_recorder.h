// Collects the errors traced while it lives, at every level.
#pragma once

#include <memory>
#include <mutex>
#include <vector>

#include "core/common/trace.h"

namespace KivoTest {

class TraceRecorder {
  public:
    TraceRecorder() : previous_(Common::SetTracer(tracer_)) {}
    ~TraceRecorder() { Common::SetTracer(previous_); }

    /// The traced errors with their levels, in order.
    std::vector<std::pair<uint32_t, Common::Error>> Errors() const {
        std::lock_guard<std::mutex> hold(tracer_->lock);
        return tracer_->errors;
    }

  private:
    struct Tracer final : Common::Tracer {
        void OnText(uint32_t, uint32_t, uint32_t, uint32_t, std::u16string_view) noexcept override {
        }
        void OnError(uint32_t, uint32_t level, const Common::Error& error) noexcept override {
            std::lock_guard<std::mutex> hold(lock);
            errors.emplace_back(level, error);
        }
        std::mutex lock;
        std::vector<std::pair<uint32_t, Common::Error>> errors;
    };

    const std::shared_ptr<Tracer> tracer_ = std::make_shared<Tracer>();
    const std::shared_ptr<Common::Tracer> previous_;
};

}  // namespace KivoTest
