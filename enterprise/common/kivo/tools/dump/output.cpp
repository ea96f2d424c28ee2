#include "enterprise/common/kivo/tools/dump/output.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <utility>

#include "core/common/catalog.h"
#include "core/common/text.h"

namespace KivoDump {
namespace {

// The first failure of a write to standard output: once a write has failed (a closed pipe, a
// full disk), nothing more is written, so a long report does not go on failing write after
// write. Read and written under the stream's lock (flockfile).
bool outputFailed = false;
// The system's error of that failure; 0 when the stream gave none.
int outputFailure = 0;
// Hears that failure; see SetOutputFailureListener. Under the stream's lock as well.
std::function<void()> failureListener;
// The mode and, in blocks mode, the whole records not yet written. Under the stream's lock.
OutputMode mode = OutputMode::kRecordByRecord;
std::string pending;

// Writes `bytes` and flushes, unless an earlier write failed; the caller holds the lock.
void WriteOutLocked(std::string_view bytes) {
    if (outputFailed) {
        return;
    }
    errno = 0;
    if (!bytes.empty()) {
        std::fwrite(bytes.data(), 1, bytes.size(), stdout);
    }
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        outputFailed = true;
        outputFailure = errno;
        if (failureListener) {
            failureListener();
        }
    }
}

// Writes out what blocks mode has gathered; the caller holds the lock.
void WritePendingLocked() {
    if (!pending.empty()) {
        WriteOutLocked(pending);
        pending.clear();
    }
}

// Takes `bytes` and, when `lineEnd`, a line feed, as one piece; the caller holds the lock.
void WriteLocked(std::string_view bytes, bool lineEnd) {
    if (mode == OutputMode::kBlocks || lineEnd) {
        pending += bytes;
        if (lineEnd) {
            pending += '\n';
        }
        if (mode == OutputMode::kRecordByRecord || pending.size() >= kOutputBlockSize) {
            WritePendingLocked();
        }
        return;
    }
    WriteOutLocked(bytes);
}

// Runs `body` under the stream's lock.
template <class F>
void Locked(F&& body) {
    flockfile(stdout);
    body();
    funlockfile(stdout);
}

}  // namespace

void SetOutputMode(OutputMode newMode) {
    Locked([newMode] {
        mode = newMode;
        if (mode == OutputMode::kRecordByRecord) {
            WritePendingLocked();
        } else if (pending.capacity() < 2 * kOutputBlockSize) {
            pending.reserve(2 * kOutputBlockSize);
        }
    });
}

OutputMode ReportOutputMode() {
    return ::isatty(STDOUT_FILENO) == 1 ? OutputMode::kRecordByRecord : OutputMode::kBlocks;
}

void WriteLine(std::string_view text) {
    Locked([text] { WriteLocked(text, true); });
}

void WriteLines(std::string_view lines) {
    Locked([lines] { WriteLocked(lines, false); });
}

void WriteLine(std::u16string_view text) {
    WriteLine(Common::ToUtf8(text));
}

void SetOutputFailureListener(std::function<void()> listener) {
    Locked([&listener] {
        failureListener = std::move(listener);
        if (outputFailed && failureListener) {
            failureListener();
        }
    });
}

Common::Error CheckStandardOutput() {
    bool failed = false;
    int systemError = 0;
    Locked([&] {
        WritePendingLocked();
        WriteOutLocked({});
        failed = outputFailed;
        systemError = outputFailure;
    });
    if (!failed) {
        return Common::Error();
    }
    Common::Error failure(COMMON_PLACE("KivoDump::CheckStandardOutput"), kOutputFailed,
                          Common::GetCatalogMessage(Common::kMsgOutputFailed));
    if (systemError != 0) {
        failure.AddWindowsError(static_cast<uint32_t>(systemError));
    }
    return failure;
}

}  // namespace KivoDump
