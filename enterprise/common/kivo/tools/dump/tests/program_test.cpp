// Runs the built kivo_dump program and checks what it prints and how it exits.

#include <gtest/gtest.h>

#include <string>
#include <tuple>

#include "enterprise/common/kivo/tools/dump/tests/program_runner_support.h"

namespace {

using KivoDumpTest::Outcome;

// Runs the program with `arguments` (shell words); standard input is `input` through a pipe, or
// empty when none is given.
Outcome RunProgram(const std::string& arguments, const std::string& input = {}) {
    const std::string run = std::string(KIVO_DUMP_PROGRAM) + " " + arguments;
    return KivoDumpTest::RunCommand(input.empty() ? run + " </dev/null"
                                                  : "printf '%s' '" + input + "' | " + run);
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

TEST(Program, TheQueryIsBuiltAndTracedBeforeAnyConnection) {
    const Outcome built = RunProgram(
        "127.0.0.1:1 u p QOR pattern '.Composite().Trait(\"Is\").String(\"Machine\").End().End()'");
    EXPECT_EQ(built.output.rfind("Interpret trace: .Composite().Trait(\"Is\").String(\"Machine\")"
                                 ".End().End()\nError 0x3: Failed to bind to host.\n",
                                 0),
              0u)
        << built.output;
    EXPECT_EQ(built.status, 3);
}

// No service runs anywhere: each way to one fails with code 3 and the library's error as reason.
// The hosts need no name server: a port where nothing listens, a name of the hosts file, no name.
TEST(Program, WithoutAServiceTheConnectionFailsWithCodeThree) {
    const char* const kUnreachable = "| error 0xae0015: ";
    const std::tuple<const char*, const char*, const char*> cases[] = {
        {"localhost u p QOR Machine", "Failed to create local connection with QOR", "service 33 "},
        {"localhost u p TUK Machine", "Failed to create local connection with TUK", "service 35 "},
        {"far u p kivo Machine", "Failed to create local connection with KIVO", "service 46 "},
        {"127.0.0.1:1 u p QOR Machine report", "Failed to bind to host.", kUnreachable},
        {"LOCALHOST:1 u p QOR Machine", "Failed to bind to host.", kUnreachable},
        {"'' u p YEB Machine", "Failed to bind to host.", "| error 0xae0014: "},
        {"somehost 'caf\xE9' p YEB Machine",
         "The user name or the password is not valid UTF-8, so it cannot be sent.", ""},
    };
    for (const auto& [arguments, text, reason] : cases) {
        const Outcome outcome = RunProgram(std::string(arguments) + " 2>/dev/null");
        EXPECT_EQ(outcome.output.rfind("Error 0x3: " + std::string(text) + "\n", 0), 0u)
            << outcome.output;
        EXPECT_NE(outcome.output.find(reason), std::string::npos) << outcome.output;
        EXPECT_EQ(outcome.status, 3);
    }
}

TEST(Program, AnErrorWhileBuildingTheQueryEndsTheRunWithItsCode) {
    const Outcome unknown = RunProgram("h u p QOR pattern 'Double(1)' 2>/dev/null");
    EXPECT_EQ(
        unknown.output.rfind("Interpret trace: \nError 0x6: Statement 'Double' is unknown.\n", 0),
        0u)
        << unknown.output;
    EXPECT_EQ(unknown.status, 6);

    const Outcome options = RunProgram("h u p QOR pattern P options 'Nil(' 2>/dev/null");
    EXPECT_EQ(options.output.rfind("Interpret trace: .Nil()\nError 0x1: Input is over!\n", 0), 0u)
        << options.output;
    EXPECT_EQ(options.output.find("Interpret trace: ", 1), std::string::npos);
    EXPECT_EQ(options.status, 1);

    const Outcome file = RunProgram("h u p QOR pattern_file /no/such/file 2>/dev/null");
    EXPECT_EQ(file.output.rfind("Error 0x1: Cannot read from file '/no/such/file'\n", 0), 0u)
        << file.output;
    EXPECT_NE(file.output.find("error 0xfff0: No such file or directory"), std::string::npos);
    EXPECT_EQ(file.status, 1);
}

TEST(Program, APatternReadFromAPipeIsUsed) {
    const Outcome piped =
        RunProgram("127.0.0.1:1 u p QOR pattern_file /dev/stdin 2>/dev/null", "Nil().End()");
    EXPECT_EQ(piped.output.rfind("Interpret trace: .Nil().End()\nError 0x3: ", 0), 0u)
        << piped.output;
}

}  // namespace
