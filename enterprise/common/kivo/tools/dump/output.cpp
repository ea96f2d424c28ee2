#include "enterprise/common/kivo/tools/dump/output.h"

#include <cerrno>
#include <cstdio>
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

// Writes `bytes` and flushes, unless an earlier write failed; the caller holds the lock.
void WriteLocked(std::string_view bytes, bool lineEnd) {
    if (outputFailed) {
        return;
    }
    errno = 0;
    if (!bytes.empty()) {
        std::fwrite(bytes.data(), 1, bytes.size(), stdout);
    }
    if (lineEnd) {
        std::fputc('\n', stdout);
    }
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        outputFailed = true;
        outputFailure = errno;
        if (failureListener) {
            failureListener();
        }
    }
}

}  // namespace

void WriteLine(std::string_view text) {
    flockfile(stdout);
    WriteLocked(text, true);
    funlockfile(stdout);
}

void WriteLines(std::string_view lines) {
    flockfile(stdout);
    WriteLocked(lines, false);
    funlockfile(stdout);
}

void WriteLine(std::u16string_view text) {
    WriteLine(Common::ToUtf8(text));
}

void SetOutputFailureListener(std::function<void()> listener) {
    flockfile(stdout);
    failureListener = std::move(listener);
    if (outputFailed && failureListener) {
        failureListener();
    }
    funlockfile(stdout);
}

Common::Error CheckStandardOutput() {
    flockfile(stdout);
    WriteLocked({}, false);
    const bool failed = outputFailed;
    const int systemError = outputFailure;
    funlockfile(stdout);
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
