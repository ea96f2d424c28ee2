#include "core/common/assert_policy.h"

#include <fcntl.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <string_view>

#include "core/common/stack_walk.h"
#include "core/common/text.h"
#include "core/common/trace.h"

namespace Common {
namespace {

constexpr size_t kPolicyWordsLimit = 127;
constexpr uint32_t kStackFrames = 32;
// The handler's own frames: ReportAssertion and AssertionFailed.
constexpr uint32_t kHandlerFrames = 2;

// Serialises the writes of one line, so that lines of concurrent assertions do not mix.
std::mutex outputLock;

bool ParseHexFlags(std::string_view text, uint32_t& flags) {
    if (text.size() >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        text.remove_prefix(2);
    }
    if (text.empty() || text.size() > 8) {
        return false;
    }
    uint32_t value = 0;
    for (const char c : text) {
        uint32_t digit;
        if (c >= '0' && c <= '9') {
            digit = c - '0';
        } else if (c >= 'a' && c <= 'f') {
            digit = c - 'a' + 10;
        } else if (c >= 'A' && c <= 'F') {
            digit = c - 'A' + 10;
        } else {
            return false;
        }
        value = value << 4 | digit;
    }
    flags = value;
    return value != 0;
}

uint32_t FlagOfWord(std::string_view word) {
    struct Keyword {
        std::string_view word;
        uint32_t flag;
    };
    static constexpr Keyword kKeywords[] = {
        {"break", kAssertBreak}, {"debug", kAssertDebug},       {"log", kAssertLog},
        {"event", kAssertEvent}, {"msgbox", kAssertMessageBox}, {"abort", kAssertAbort},
        {"stack", kAssertStack},
    };
    for (const Keyword& keyword : kKeywords) {
        if (keyword.word == word) {
            return keyword.flag;
        }
    }
    return 0;
}

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

void WriteLine(FILE* target, const char* text) {
    std::lock_guard<std::mutex> hold(outputLock);
    std::fprintf(target, "%s\n", text);
    std::fflush(target);
}

// Debugger output: standard error, and only under a tracer, where it is not the log already.
void WriteDebuggerLine(const char* text) {
    // At most the text limit, the line feed included.
    const size_t length = strnlen(text, kAssertTextLimit - 1);
    std::lock_guard<std::mutex> hold(outputLock);
    std::fwrite(text, 1, length, stderr);
    std::fputc('\n', stderr);
    std::fflush(stderr);
}

void SendEvent(std::string_view text) {
    TraceText(0, kAssertTraceLevel, 0, kAssertTraceMessage, WidenBytes(text));
}

[[noreturn]] void Terminate() {
    std::abort();
}

}  // namespace

AssertionPolicy ParseAssertionPolicy(const char* value) {
    AssertionPolicy policy;
    if (value == nullptr || value[0] == '\0') {
        return policy;
    }
    uint32_t number = 0;
    if (ParseHexFlags(value, number)) {
        policy.flags = number;
        policy.openLog = (number & kAssertLog) != 0;
        return policy;
    }
    const std::string_view words(value, strnlen(value, kPolicyWordsLimit));
    policy.flags = 0;
    size_t position = 0;
    while (position < words.size()) {
        if (IsBlank(words[position])) {
            ++position;
            continue;
        }
        size_t end = position;
        while (end < words.size() && !IsBlank(words[end])) {
            ++end;
        }
        const uint32_t flag = FlagOfWord(words.substr(position, end - position));
        policy.flags = flag == 0 ? kAssertIgnoreAll : policy.flags | flag;
        policy.openLog = policy.openLog || flag == kAssertLog;
        position = end;
    }
    return policy;
}

FILE* SelectAssertionLogTarget(const char* value, FILE* current) {
    if (value == nullptr) {
        return current;
    }
    if (std::strcmp(value, "stdout") == 0) {
        return stdout;
    }
    if (std::strcmp(value, "stderr") == 0) {
        return stderr;
    }
    FILE* file = std::fopen(value, "a");
    return file != nullptr ? file : current;
}

bool DebuggerAttached() noexcept {
    const int fd = open("/proc/self/status", O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    char status[4096];
    size_t length = 0;
    ssize_t got;
    while (length < sizeof(status) - 1 &&
           (got = read(fd, status + length, sizeof(status) - 1 - length)) > 0) {
        length += static_cast<size_t>(got);
    }
    close(fd);
    status[length] = '\0';
    const char* field = std::strstr(status, "\nTracerPid:");
    return field != nullptr && std::strtol(field + 11, nullptr, 10) != 0;
}

// Assertions return under the default flags (and whenever abort is not asked for): every
// assertion in the code is followed by code that stays memory-safe when the condition was false,
// by checking again or returning. Nothing here throws or reads standard input, which belongs to
// the tool (one character ends its listening).
__attribute__((noinline)) void ReportAssertion(uint32_t flags, FILE* log, const char* expression,
                                               const char* file, int line) noexcept {
    if (flags == kAssertIgnoreAll) {
        return;
    }
    char text[kAssertTextLimit + 1];
    std::snprintf(text, sizeof(text), "Assertion failed: %s, file %s, line %d",
                  expression != nullptr ? expression : "", file != nullptr ? file : "", line);
    const bool toDebugger = (flags & kAssertDebug) && DebuggerAttached();
    try {
        if (toDebugger) {
            WriteDebuggerLine(text);
        }
        if (flags & kAssertLog) {
            WriteLine(log, text);
        }
        if (flags & kAssertEvent) {
            SendEvent(text);
        }
        if ((flags & kAssertStack) && (flags & (kAssertDebug | kAssertLog | kAssertEvent))) {
            std::string collected;
            WalkStack(
                [&](uint32_t /*index*/, std::string_view frame) {
                    const std::string frameText(frame);
                    if (toDebugger) {
                        WriteDebuggerLine(frameText.c_str());
                    }
                    if (flags & kAssertLog) {
                        WriteLine(log, frameText.c_str());
                    }
                    collected.append(collected.empty() ? "" : "\n").append(frameText);
                    return true;
                },
                kStackAllParts, kStackFrames, kHandlerFrames);
            if (flags & kAssertEvent) {
                SendEvent(collected);
            }
        }
    } catch (const std::bad_alloc&) {
        // Out of memory while reporting: what was written stays; the policy below still applies.
    }
    if (flags & kAssertMessageBox) {
        // Without a user interface the question is answered Ignore; the terminal is never asked.
        return;
    }
    if (!(flags & kAssertBreak)) {
        if (flags & kAssertAbort) {
            Terminate();
        }
        return;
    }
    if (DebuggerAttached()) {
        std::raise(SIGTRAP);
        return;
    }
    if (flags & kAssertAbort) {
        Terminate();
    }
}

}  // namespace Common
