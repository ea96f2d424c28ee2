// The tool's standard output: records gathered into blocks, and what happens after a write has
// failed.

#include "enterprise/common/kivo/tools/dump/output.h"

#include <fcntl.h>
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

// In a child process, standard output becomes a pipe read without waiting. Blocks mode lets
// nothing through until a block's worth of records is there, then everything gathered, in whole
// records; leaving the mode writes the rest; record by record, each record comes at once. What
// comes out is byte for byte what was written.
TEST(StandardOutput, BlocksModeWritesWholeRecordsOnceABlockIsFull) {
    EXPECT_EXIT(
        {
            int ends[2];
            if (pipe2(ends, O_NONBLOCK) != 0 || fcntl(ends[1], F_SETPIPE_SZ, 1 << 20) < 0)
                _exit(2);
            dup2(ends[1], STDOUT_FILENO);
            std::string written;
            const auto write = [&written](size_t records, char letter) {
                for (size_t i = 0; i < records; ++i) {
                    const std::string record = std::string(999, letter) + "\n\n";
                    KivoDump::WriteLines(record);
                    written += record;
                }
            };
            const auto read = [&ends] {
                std::string bytes(4 << 20, '\0');
                const ssize_t got = ::read(ends[0], bytes.data(), bytes.size());
                bytes.resize(got > 0 ? static_cast<size_t>(got) : 0);
                return bytes;
            };
            const size_t perBlock = KivoDump::kOutputBlockSize / 1001;
            KivoDump::SetOutputMode(KivoDump::OutputMode::kBlocks);
            write(perBlock, 'a');
            const bool heldBack = read().empty();
            write(1, 'b');
            const bool blockWhole = read() == written;
            const size_t firstBlock = written.size();
            write(2, 'c');
            KivoDump::WriteLine(std::string_view("end"));
            written += "end\n";
            const bool heldAgain = read().empty();
            KivoDump::SetOutputMode(KivoDump::OutputMode::kRecordByRecord);
            const bool restWhole = read() == written.substr(firstBlock);
            write(1, 'd');
            const bool singleAtOnce = read() == std::string(999, 'd') + "\n\n";
            const bool ok = heldBack && blockWhole && heldAgain && restWhole && singleAtOnce;
            _exit(ok && KivoDump::CheckStandardOutput().IsEmpty() ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

}  // namespace
