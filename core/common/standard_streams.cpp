#include "core/common/standard_streams.h"

#include <sys/stat.h>

#include <csignal>

namespace Common {

void IgnoreBrokenPipe() {
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    ::sigaction(SIGPIPE, &ignore, nullptr);
}

bool SameOpenFile(int first, int second) {
    struct stat a {};
    struct stat b {};
    if (::fstat(first, &a) != 0 || ::fstat(second, &b) != 0) {
        return false;
    }
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

}  // namespace Common
