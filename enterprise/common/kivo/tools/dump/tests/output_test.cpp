// The tool's standard output after a write has failed.

#include "enterprise/common/kivo/tools/dump/output.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>

#include "core/common/text.h"

namespace {

// In a child process, standard output becomes a pipe nobody reads (a write fails with EPIPE),
// then a pipe that is read: nothing may reach the second one, and the failure keeps the first
// write's reason. The failure listener hears the first failure once; one set later hears it at
// once.
TEST(StandardOutput, NothingIsWrittenAfterTheFirstFailedWrite) {
    EXPECT_EXIT(
        {
            std::signal(SIGPIPE, SIG_IGN);
            int closed[2];
            int open[2];
            if (pipe(closed) != 0 || pipe(open) != 0)
                _exit(2);
            ::close(closed[0]);
            dup2(closed[1], STDOUT_FILENO);
            int heard = 0;
            KivoDump::SetOutputFailureListener([&heard] { ++heard; });
            KivoDump::WriteLines("lost\n");
            dup2(open[1], STDOUT_FILENO);
            ::close(open[1]);
            KivoDump::WriteLines("after\n");
            KivoDump::WriteLine(std::string_view("after"));
            const Common::Error failure = KivoDump::CheckStandardOutput();
            int late = 0;
            KivoDump::SetOutputFailureListener([&late] { ++late; });
            dup2(closed[1], STDOUT_FILENO);
            char byte;
            const bool nothingAfter = ::read(open[0], &byte, 1) == 0;
            const bool brokenPipe =
                failure.Code() == KivoDump::kOutputFailed &&
                Common::ToUtf8(failure.ToText()).find(std::strerror(EPIPE)) != std::string::npos;
            _exit(nothingAfter && brokenPipe && heard == 1 && late == 1 ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

}  // namespace
