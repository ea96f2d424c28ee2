// The password given on the command line is not left in the process list while the tool runs,
// and it still reaches the connection (the listening tests check the credentials a host sees).

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "enterprise/common/kivo/tools/dump/tests/program_runner_support.h"

namespace {

TEST(ArgumentMasking, ThePasswordIsOverwrittenInTheProcessList) {
    std::string cmdline;
    const KivoDumpTest::Outcome outcome = KivoDumpTest::RunWithInputHeld(
        std::string(KIVO_DUMP_IN_PROCESS_PROGRAM) + " works 2 localhost u s3cr3t QOR Machine",
        "</deleted>\n\n",
        [&](pid_t program, int& input) {
            cmdline = KivoDumpTest::ReadFile("/proc/" + std::to_string(program) + "/cmdline");
            EXPECT_EQ(::write(input, "\n", 1), 1);
        },
        std::chrono::seconds(30));
    EXPECT_EQ(outcome.status, 0) << outcome.output;
    // The arguments as the process list shows them, each ended by a 0 byte.
    using namespace std::string_literals;
    EXPECT_NE(cmdline.find("localhost\0u\0xxxxxx\0QOR\0Machine\0"s), std::string::npos) << cmdline;
}

}  // namespace
