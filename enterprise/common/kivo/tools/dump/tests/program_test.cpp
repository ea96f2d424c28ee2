// Runs the built kivo_dump program and checks what it prints and how it exits.

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <string>

namespace {

struct Outcome {
    std::string output;
    int status;
};

Outcome RunProgram(const std::string& arguments) {
    const std::string command = std::string(KIVO_DUMP_PROGRAM) + " " + arguments + " </dev/null";
    FILE* pipe = popen(command.c_str(), "r");
    EXPECT_NE(pipe, nullptr);
    Outcome outcome{{}, -1};
    if (pipe == nullptr)
        return outcome;
    char chunk[4096];
    size_t read;
    while ((read = fread(chunk, 1, sizeof chunk, pipe)) > 0)
        outcome.output.append(chunk, read);
    const int raw = pclose(pipe);
    outcome.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    return outcome;
}

const char kUsage[] =
    "Usage: kivo_dump.exe <hostname> <user> <password> <service> <query>\n"
    "Where: <service> - QOR | YEB | TUK | KIVO | DB\n"
    "       <query> - <object_type>\n"
    "               | pattern <pattern> [options <options>]\n"
    "               | pattern_file <filename> [options_file <filename>] [report]\n";

TEST(Program, BadCommandLinesPrintTheReportAndUsageAndExitZero) {
    EXPECT_EQ(RunProgram("").output, std::string(",,,,,,,,,.\ncode: 1\n") + kUsage);
    EXPECT_EQ(RunProgram("").status, 0);
    const Outcome unknown = RunProgram("h u p WIPF x");
    EXPECT_EQ(unknown.output, std::string("h,u,p,,,,,,,.\ncode: 2\n") + kUsage);
    EXPECT_EQ(unknown.status, 0);
    EXPECT_EQ(RunProgram("h u p QOR report").output,
              std::string("h,u,p,QOR,,,,,,report.\ncode: 1\n") + kUsage);
}

TEST(Program, AFailedRunPrintsTheErrorAndExitsWithItsCode) {
    const Outcome outcome = RunProgram("h u p DB Machine");
    EXPECT_EQ(outcome.output.rfind("Error 0x", 0), 0u) << outcome.output;
    EXPECT_NE(outcome.status, 0);
}

}  // namespace
