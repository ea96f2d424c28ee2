#include "enterprise/common/kivo/tools/dump/output.h"

#include <cstdio>

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

}  // namespace KivoDump
