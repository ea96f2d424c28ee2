// The trace sink every program installs at start: traced errors go to standard error.
//
// The framework traces the errors that nobody else reports (a record dropped because its reader
// threw, a failed branch of a fork, an operation that failed with nobody to tell); this sink makes
// them visible. Each error is written as "trace(<level>): " followed by its text form, all lines
// of one error together. Traced texts are not written: assertion texts already reach the log
// target of the assertion policy.
//
// The environment variable KIVO_TRACE_LEVEL, read when the sink is installed, sets the minimum
// trace level: a decimal number (default 1, every traced error; 4 hides the level-1 errors of
// callbacks and forks), or "off" to write nothing. Any other value keeps the default.
//
// Thread-safety: errors traced on several threads are written one after the other.
#pragma once

#include <cstdint>

namespace Common {

/// The minimum level the standard-error sink sets when KIVO_TRACE_LEVEL does not say otherwise.
inline constexpr uint32_t kStandardErrorTraceLevel = 1;

/// What a KIVO_TRACE_LEVEL value asks for.
struct TraceLevelSetting {
    uint32_t level = kStandardErrorTraceLevel;
    bool suppressed = false;
};

/// Reads a KIVO_TRACE_LEVEL value; null, empty and unreadable values give the default.
TraceLevelSetting ParseTraceLevelSetting(const char* value);

/// Applies KIVO_TRACE_LEVEL and makes standard error the error sink of the trace.
void InstallStandardErrorTraceSink();

}  // namespace Common
