// The trace: where errors that nobody reports, and diagnostic texts, go.
//
// A trace call carries a level; higher levels matter more. Levels in use:
//   1  an error caught and dropped so that work goes on (a reader callback that threw, a failed
//      fork branch, a request builder that failed)
//   2  diagnostic texts (the stack logged with a type-mismatch error)
//   4  an operation that failed with nobody to report to (a failed Perform, a store that could
//      not be closed)
//   5  assertion texts (channel 0, id2 27)
//
// TraceError and TraceText call the error or the text sink when the level is at least the
// minimum level (kDefaultTraceLevel until changed) and tracing is not suppressed. Whatever the
// level, an installed tracer object receives every call. Both sinks do nothing until replaced;
// programs install the standard-error sink at start (standard_error_trace.h).
//
// Thread-safety: every function may run on any thread at any time. A sink or tracer may be
// called on several threads at once, and may still be running for a short while after it was
// replaced. Sinks and tracers must not throw.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>

#include "core/common/error/error.h"

namespace Common {

/// The minimum level until SetTraceLevel changes it.
inline constexpr uint32_t kDefaultTraceLevel = 2;

/// Receives traced texts: channel, level, two numeric identifiers, text.
using TraceTextSink = void (*)(uint32_t channel, uint32_t level, uint32_t id1, uint32_t id2,
                               std::u16string_view text) noexcept;
/// Receives traced errors: channel, level, error.
using TraceErrorSink = void (*)(uint32_t channel, uint32_t level, const Error& error) noexcept;

/// An observer of every trace call, whatever its level and the suppression.
class Tracer {
  public:
    virtual ~Tracer() = default;
    virtual void OnText(uint32_t channel, uint32_t level, uint32_t id1, uint32_t id2,
                        std::u16string_view text) noexcept = 0;
    virtual void OnError(uint32_t channel, uint32_t level, const Error& error) noexcept = 0;
};

/// Traces `error` on channel 0.
void TraceError(uint32_t level, const Error& error) noexcept;

/// Traces a text.
void TraceText(uint32_t channel, uint32_t level, uint32_t id1, uint32_t id2,
               std::u16string_view text) noexcept;

/// Replaces the text sink; null restores the sink that does nothing. Returns the previous sink
/// (null for the one that does nothing).
TraceTextSink SetTraceTextSink(TraceTextSink sink) noexcept;

/// Replaces the error sink; null restores the sink that does nothing. Returns the previous sink.
TraceErrorSink SetTraceErrorSink(TraceErrorSink sink) noexcept;

/// Installs `tracer` (null: none). Returns the previous one.
std::shared_ptr<Tracer> SetTracer(std::shared_ptr<Tracer> tracer);

/// The lowest level that reaches the sinks.
uint32_t TraceLevel() noexcept;
void SetTraceLevel(uint32_t level) noexcept;

/// While suppressed, nothing reaches the sinks (the tracer still sees every call).
bool TraceSuppressed() noexcept;
void SetTraceSuppressed(bool suppressed) noexcept;

}  // namespace Common
