// What a failed assertion does: the flags of BRINTAL_SAFE_ASSERT and their handling.
//
// BRINTAL_SAFE_ASSERT, read once per process on the first failed assertion, is either a
// hexadecimal number (optional "0x"/"0X", all digits, non-zero, at most 32 bits) that becomes the
// flags, or words separated by blanks (the first 127 characters are read), each adding its flag:
//
//   0x01 break   break into an attached debugger (with abort: else terminate)
//   0x02 debug   write the text to the debugger output (standard error, only under a tracer)
//   0x04 log     write the text to the log target (standard error unless
//                BRINTAL_SAFE_ASSERT_LOGFILE says "stdout" or names a file to append to)
//   0x08 event   trace the text at level 5 (TraceText channel 0, id1 0, id2 27)
//   0x10 msgbox  ask the user; there is no user interface here, so the answer is Ignore
//   0x20 abort   terminate the process
//   0x40 stack   also report the stack (32 frames at most) wherever the text went
//
// An unknown word makes the flags kAssertIgnoreAll: assertions do nothing. Absent or empty, the
// flags are kAssertDefaultFlags (debug, log, event, stack), under which a failed assertion
// reports and returns.
//
// Thread-safety: the parsing and selecting functions are pure apart from opening a file;
// ReportAssertion may run on any thread.
#pragma once

#include <cstdint>
#include <cstdio>

namespace Common {

inline constexpr uint32_t kAssertBreak = 0x01;
inline constexpr uint32_t kAssertDebug = 0x02;
inline constexpr uint32_t kAssertLog = 0x04;
inline constexpr uint32_t kAssertEvent = 0x08;
inline constexpr uint32_t kAssertMessageBox = 0x10;
inline constexpr uint32_t kAssertAbort = 0x20;
inline constexpr uint32_t kAssertStack = 0x40;
inline constexpr uint32_t kAssertDefaultFlags = 0x4E;
inline constexpr uint32_t kAssertIgnoreAll = 0xFFFFFFFF;

/// The longest assertion text, without its terminator.
inline constexpr size_t kAssertTextLimit = 539;

/// The trace level and message number of assertion texts sent to the trace.
inline constexpr uint32_t kAssertTraceLevel = 5;
inline constexpr uint32_t kAssertTraceMessage = 27;

/// The policy one BRINTAL_SAFE_ASSERT value asks for.
struct AssertionPolicy {
    uint32_t flags = kAssertDefaultFlags;
    /// True when the value asks for the log (flag 0x04 as a number, or the word "log"): the log
    /// target is then chosen from BRINTAL_SAFE_ASSERT_LOGFILE.
    bool openLog = false;
};

/// Reads a BRINTAL_SAFE_ASSERT value; null means the variable is absent.
AssertionPolicy ParseAssertionPolicy(const char* value);

/// The log target a BRINTAL_SAFE_ASSERT_LOGFILE value selects, starting from `current`: stdout,
/// stderr, or a file opened for appending; `current` when the value is null or the file cannot
/// be opened. A file returned is the caller's to close.
FILE* SelectAssertionLogTarget(const char* value, FILE* current);

/// True when a tracer (a debugger) is attached to the process.
bool DebuggerAttached() noexcept;

/// Handles one failed assertion under `flags`, writing the log part to `log`.
void ReportAssertion(uint32_t flags, FILE* log, const char* expression, const char* file,
                     int line) noexcept;

}  // namespace Common
