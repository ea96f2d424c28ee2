#include "enterprise/common/kivo/tools/dump/output.h"

#include <cerrno>
#include <cstdio>

#include "core/common/catalog.h"
#include "core/common/text.h"

namespace KivoDump {

void WriteLine(std::string_view text) {
    flockfile(stdout);
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
    funlockfile(stdout);
}

void WriteLines(std::string_view lines) {
    flockfile(stdout);
    std::fwrite(lines.data(), 1, lines.size(), stdout);
    std::fflush(stdout);
    funlockfile(stdout);
}

void WriteLine(std::u16string_view text) {
    WriteLine(Common::ToUtf8(text));
}

Common::Error CheckStandardOutput() {
    errno = 0;
    const bool flushed = std::fflush(stdout) == 0;
    const int lastError = errno;
    if (flushed && !std::ferror(stdout)) {
        return Common::Error();
    }
    Common::Error failure(COMMON_PLACE("KivoDump::CheckStandardOutput"), kOutputFailed,
                          Common::GetCatalogMessage(Common::kMsgOutputFailed));
    if (lastError != 0) {
        failure.AddWindowsError(static_cast<uint32_t>(lastError));
    }
    return failure;
}

}  // namespace KivoDump
