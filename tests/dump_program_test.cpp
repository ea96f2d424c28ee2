// Runs the built kivo_dump and checks what it prints and how it exits: bad command lines, queries
// that cannot be built, no service to connect to, an IPC client library that refuses to start, and
// DB mode on stores that the built kivo_store fills or that cannot be opened.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <csignal>
#include <cstdio>
#include <fstream>
#include <string>

#include "tests/program_test_support.h"
#include "tests/support/temporary_folder.h"

namespace {

using namespace KivoProgramTest;
using KivoTestSupport::RunCommand;

const std::string kUsage =
    "Usage: kivo_dump.exe <hostname> <user> <password> <service> <query>\n"
    "Where: <service> - QOR | YEB | TUK | KIVO | DB\n"
    "       <query> - <object_type>\n"
    "               | pattern <pattern> [options <options>]\n"
    "               | pattern_file <filename> [options_file <filename>] [report]\n";

// Each run ends with its status and the first lines of its output, the reason below them. No
// service runs anywhere, and the hosts need no name server: a port where nothing listens, a name
// of the hosts file, no name.
TEST(DumpProgram, EachFailureEndsTheRunWithItsCodeAndReason) {
    const KivoTestSupport::TemporaryFolder folder("kivo_dump_program_");
    const std::string missing = folder.File("no/such/x.db"), absent = folder.File("store.db");
    const std::string notUtf8Store = folder.File("caf\xE9.db");
    const char* const kUnreachable = "| error 0xae0015: ";
    const struct {
        std::string arguments;
        int status;
        std::string begin;   // of the output
        const char* reason;  // in the output; none: the output is `begin` alone
        const char* environment = "";
    } cases[] = {
        {"", 0, ",,,,,,,,,.\ncode: 1\n" + kUsage, nullptr},
        {"h u p WIPF x", 0, "h,u,p,,,,,,,.\ncode: 2\n" + kUsage, nullptr},
        {"127.0.0.1:1 u p QOR pattern '.Composite().Trait(\"Is\").String(\"Machine\").End().End()'",
         3,
         "Interpret trace: .Composite().Trait(\"Is\").String(\"Machine\").End().End()\n"
         "Error 0x3: Failed to bind to host.\n",
         kUnreachable},
        {"localhost u p QOR Machine", 3, "Error 0x3: Failed to create local connection with QOR\n",
         "service 33 "},
        {"localhost u p TUK Machine", 3, "Error 0x3: Failed to create local connection with TUK\n",
         "service 35 "},
        {"far u p kivo Machine", 3, "Error 0x3: Failed to create local connection with KIVO\n",
         "service 46 "},
        {"127.0.0.1:1 u p QOR Machine report", 3, "Error 0x3: Failed to bind to host.\n",
         kUnreachable},
        {"LOCALHOST:1 u p QOR Machine", 3, "Error 0x3: Failed to bind to host.\n", kUnreachable},
        {"'' u p YEB Machine", 3, "Error 0x3: Failed to bind to host.\n", "| error 0xae0014: "},
        {"somehost 'caf\xE9' p YEB Machine", 3,
         "Error 0x3: The user name or the password is not valid UTF-8, so it cannot be sent.\n",
         ""},
        {"h u p QOR pattern 'Double(1)'", 6,
         "Interpret trace: \nError 0x6: Statement 'Double' is unknown.\n", ""},
        {"h u p QOR pattern P options 'Nil('", 1,
         "Interpret trace: .Nil()\nError 0x1: Input is over!\n", ""},
        {"h u p QOR pattern_file /no/such/file", 1,
         "Error 0x1: Cannot read from file '/no/such/file'\n",
         "error 0xfff0: No such file or directory"},
        {"h u p DB pattern 'Nil('", 42, "Error 0x2a: ", "", "KIVO_IPC_CLIENT_INIT_ERROR=2A "},
        {"h u p QOR Machine", 255, "Error 0xae0002: ", "", "KIVO_IPC_CLIENT_INIT_ERROR=0xAE0002 "},
        // Stores that cannot be opened: nothing is created.
        {"'" + missing + "' u p DB Machine", 255, "Error 0xfc00", ""},
        {"'" + absent + "' u p DB Machine", 255, "Error 0xfc00", ""},
        {"'" + notUtf8Store + "' u p DB Machine", 255, "Error 0xfc0068: ", ""},
        {"h u p DB pattern_file '" + folder.File("caf\xE9.txt") + "'", 1,
         "Error 0x1: Cannot read from file", "not valid UTF-8"},
    };
    for (const auto& run : cases) {
        SCOPED_TRACE(run.arguments);
        const Outcome outcome = RunCommand(std::string("env ") + run.environment + DumpProgram() +
                                           " " + run.arguments + " </dev/null 2>/dev/null");
        EXPECT_EQ(outcome.status, run.status) << outcome.output;
        if (run.reason == nullptr) {
            EXPECT_EQ(outcome.output, run.begin);
            continue;
        }
        EXPECT_EQ(outcome.output.substr(0, run.begin.size()), run.begin);
        EXPECT_NE(outcome.output.find(run.reason), std::string::npos) << outcome.output;
    }
    EXPECT_TRUE(folder.Names().empty());

    const Outcome piped = RunCommand("printf '%s' 'Nil().End()' | " + DumpProgram() +
                                     " 127.0.0.1:1 u p QOR pattern_file /dev/stdin 2>/dev/null");
    EXPECT_TRUE(piped.output.starts_with("Interpret trace: .Nil().End()\nError 0x3: "))
        << piped.output;
}

TEST(DumpProgram, DbModePrintsOneRecordPerMatchingObjectInIdOrder) {
    const KivoTestSupport::TemporaryFolder folder("kivo_dump_db_");
    const std::string store = folder.File("store.db");
    ASSERT_TRUE(RunStore(store,
                         "put --create "
                         "'.Composite().Trait(\"Is\").String(\"Machine\").End()"
                         ".Trait(\"PrimaryKey\").Guid(6B29FC40-CA47-1067-B31D-00DD010662DA).End()"
                         ".Property(\"Name\").String(\"beta\").End().End()' "
                         "'.Composite().Trait(\"Is\").String(\"User\").End()"
                         ".Property(\"Login\").String(\"ann\").Trait(\"PrimaryKey\").Nil().End()"
                         ".End().End()' "
                         "'.Composite().Trait(\"Is\").String(\"Machine\").End()"
                         ".Trait(\"PrimaryKey\").Guid(3F2504E0-4F89-11D3-9A0C-0305E82C3301).End()"
                         ".Property(\"Name\").String(\"M\xC3\xBCller\").End().End()'"));
    const auto dump = [&](const std::string& query) {
        return RunCommand(DumpProgram() + " '" + store + "' u p DB " + query +
                          " </dev/null 2>/dev/null");
    };
    const Outcome machines = dump("Machine");
    EXPECT_EQ(machines.output,
              "<object id=\"3F2504E0-4F89-11D3-9A0C-0305E82C3301\">\n  Root (Composite)\n"
              "    [Is (Common::String) = Machine]\n"
              "    [PrimaryKey (Common::Guid) = 3F2504E0-4F89-11D3-9A0C-0305E82C3301]\n"
              "    Name (Common::String) = M\xC3\xBCller\n</object>\n\n"
              "<object id=\"6B29FC40-CA47-1067-B31D-00DD010662DA\">\n  Root (Composite)\n"
              "    [Is (Common::String) = Machine]\n"
              "    [PrimaryKey (Common::Guid) = 6B29FC40-CA47-1067-B31D-00DD010662DA]\n"
              "    Name (Common::String) = beta\n</object>\n\n");
    EXPECT_EQ(machines.status, 0);

    // A pattern with a property value; the user's hashed key printed as an id; nothing found:
    // a record that each prints.
    const std::pair<std::string, const char*> queries[] = {
        {"pattern '.Composite().Property(\"Name\").String(\"beta\").End().End()'",
         "<object id=\"6B29FC40-CA47-1067-B31D-00DD010662DA\">\n"},
        {"User", "<object id=\""},
        {"Printer", ""}};
    for (const auto& [query, begin] : queries) {
        const Outcome outcome = dump(query);
        EXPECT_EQ(outcome.status, 0) << query;
        EXPECT_NE(outcome.output.find(begin), std::string::npos) << outcome.output;
        EXPECT_EQ(Objects(outcome.output), *begin == '\0' ? 0u : 1u) << outcome.output;
    }
    EXPECT_NE(dump("User").output.find("Login (Common::String) = ann"), std::string::npos);

    // Records that cannot be written are a failure, not an empty success.
    EXPECT_EQ(dump("Machine >/dev/full").status, 11);
    EXPECT_EQ(dump("Printer >/dev/full").status, 0);
}

// Whether `output` is a sequence of whole object records, and how many.
bool WholeRecords(const std::string& output, size_t& records) {
    records = Objects(output);
    size_t ends = 0;
    for (size_t at = 0; (at = output.find("</object>\n\n", at)) != std::string::npos; ++at)
        ++ends;
    return ends == records && (output.empty() || output.ends_with("</object>\n\n"));
}

// A report many times the output's block: written whole to a pipe, and when SIGINT or SIGTERM
// comes after its first block, ended with 128 plus the signal, every record printed whole and no
// error text.
TEST(DumpProgram, DbReportToAPipeIsWrittenInWholeRecordsAndStopsOnASignal) {
    const KivoTestSupport::TemporaryFolder folder("kivo_dump_blocks_");
    const std::string store = folder.File("store.db"), objects = folder.File("objects.txt");
    constexpr size_t kObjects = 20000;
    {
        std::ofstream text(objects);
        char key[40];
        for (size_t n = 0; n < kObjects; ++n) {
            std::snprintf(key, sizeof key, "%08zX-0000-4000-8000-000000000000", n);
            text << ".Composite().Trait(\"Is\").String(\"Machine\").End().Trait(\"PrimaryKey\")"
                 << ".Guid(" << key << ").End().Property(\"Count\").DWord(" << n
                 << ").End().End()\n";
        }
    }
    ASSERT_TRUE(RunStore(store, "import --create '" + objects + "'"));
    const std::string report = DumpProgram() + " '" + store + "' u p DB Machine 2>&1";

    const Outcome whole = RunCommand("exec " + report);
    size_t records = 0;
    EXPECT_EQ(whole.status, 0);
    EXPECT_TRUE(WholeRecords(whole.output, records));
    EXPECT_EQ(records, kObjects);
    EXPECT_TRUE(
        whole.output.starts_with("<object id=\"00000000-0000-4000-8000-000000000000\">\n"
                                 "  Root (Composite)\n"
                                 "    [Is (Common::String) = Machine]\n"))
        << whole.output.substr(0, 200);

    for (const int signal : {SIGINT, SIGTERM}) {
        const Outcome stopped = RunCommand(
            "exec " + report,
            {{"</object>\n\n", [signal](pid_t program, int&) { ::kill(program, signal); }}});
        EXPECT_EQ(stopped.status, 128 + signal);
        EXPECT_TRUE(WholeRecords(stopped.output, records)) << stopped.output.substr(0, 200);
        EXPECT_GT(records, 0u);
        EXPECT_LT(records, kObjects);
        EXPECT_EQ(stopped.output, whole.output.substr(0, stopped.output.size()));
    }
}

}  // namespace
