#include "core/common/trace.h"

#include <atomic>
#include <mutex>
#include <utility>

namespace Common {
namespace {

std::atomic<TraceTextSink> textSink{nullptr};
std::atomic<TraceErrorSink> errorSink{nullptr};
std::atomic<uint32_t> minimumLevel{kDefaultTraceLevel};
std::atomic<bool> suppressed{false};

// The tracer is copied out under the lock and called outside it, so that a tracer may trace or
// replace itself. The slot is never destroyed: threads may still trace while the process exits.
struct TracerSlot {
    std::mutex lock;
    std::shared_ptr<Tracer> tracer;
};

TracerSlot& Slot() noexcept {
    static TracerSlot* const slot = new TracerSlot;
    return *slot;
}

std::shared_ptr<Tracer> CurrentTracer() noexcept {
    std::lock_guard<std::mutex> hold(Slot().lock);
    return Slot().tracer;
}

bool ReachesSinks(uint32_t level) noexcept {
    return level >= minimumLevel.load(std::memory_order_relaxed) &&
           !suppressed.load(std::memory_order_relaxed);
}

}  // namespace

void TraceError(uint32_t level, const Error& error) noexcept {
    constexpr uint32_t kChannel = 0;
    if (ReachesSinks(level)) {
        if (TraceErrorSink sink = errorSink.load(std::memory_order_acquire)) {
            sink(kChannel, level, error);
        }
    }
    if (const std::shared_ptr<Tracer> observer = CurrentTracer()) {
        observer->OnError(kChannel, level, error);
    }
}

void TraceText(uint32_t channel, uint32_t level, uint32_t id1, uint32_t id2,
               std::u16string_view text) noexcept {
    if (ReachesSinks(level)) {
        if (TraceTextSink sink = textSink.load(std::memory_order_acquire)) {
            sink(channel, level, id1, id2, text);
        }
    }
    if (const std::shared_ptr<Tracer> observer = CurrentTracer()) {
        observer->OnText(channel, level, id1, id2, text);
    }
}

TraceTextSink SetTraceTextSink(TraceTextSink sink) noexcept {
    return textSink.exchange(sink, std::memory_order_acq_rel);
}

TraceErrorSink SetTraceErrorSink(TraceErrorSink sink) noexcept {
    return errorSink.exchange(sink, std::memory_order_acq_rel);
}

std::shared_ptr<Tracer> SetTracer(std::shared_ptr<Tracer> replacement) {
    std::lock_guard<std::mutex> hold(Slot().lock);
    return std::exchange(Slot().tracer, std::move(replacement));
}

uint32_t TraceLevel() noexcept {
    return minimumLevel.load(std::memory_order_relaxed);
}

void SetTraceLevel(uint32_t level) noexcept {
    minimumLevel.store(level, std::memory_order_relaxed);
}

bool TraceSuppressed() noexcept {
    return suppressed.load(std::memory_order_relaxed);
}

void SetTraceSuppressed(bool value) noexcept {
    suppressed.store(value, std::memory_order_relaxed);
}

}  // namespace Common
