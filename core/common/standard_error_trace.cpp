#include "core/common/standard_error_trace.h"

#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <string>

#include "core/common/text.h"
#include "core/common/trace.h"

namespace Common {
namespace {

std::mutex writeLock;

void WriteToStandardError(uint32_t /*channel*/, uint32_t level, const Error& error) noexcept {
    try {
        std::string line = "trace(" + std::to_string(level) + "): ";
        Utf16ToUtf8(error.ToText(), line);
        line += '\n';
        std::lock_guard<std::mutex> hold(writeLock);
        std::fwrite(line.data(), 1, line.size(), stderr);
        std::fflush(stderr);
    } catch (const std::bad_alloc&) {
        // No memory to show the error: the trace is best effort and must not fail its caller.
    }
}

}  // namespace

TraceLevelSetting ParseTraceLevelSetting(const char* value) {
    TraceLevelSetting setting;
    if (value == nullptr) {
        return setting;
    }
    if (std::strcmp(value, "off") == 0) {
        setting.suppressed = true;
        return setting;
    }
    const char* end = value + std::strlen(value);
    uint32_t level = 0;
    const auto [stop, fault] = std::from_chars(value, end, level);
    if (fault == std::errc() && stop == end && stop != value) {
        setting.level = level;
    }
    return setting;
}

void InstallStandardErrorTraceSink() {
    const TraceLevelSetting setting = ParseTraceLevelSetting(std::getenv("KIVO_TRACE_LEVEL"));
    SetTraceLevel(setting.level);
    SetTraceSuppressed(setting.suppressed);
    SetTraceErrorSink(&WriteToStandardError);
}

}  // namespace Common
