// Runs kivo_dump against kivod, the service program, over its Unix sockets. Each test starts its
// own kivod on a store that kivo_store made and fills, in a socket folder of its own: reports over
// every local service equal to DB mode on the same store, listening over both interface versions to
// what kivo_store writes until the user ends it, a service killed or stopped under a listener, a
// service restarted on the same store, and no service to connect to.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "enterprise/common/kivo/tools/dump/tests/program_runner_support.h"

namespace {

using KivoDumpTest::Action;
using KivoDumpTest::CreatedDisk;
using KivoDumpTest::DiskArgument;
using KivoDumpTest::Kivod;
using KivoDumpTest::Objects;
using KivoDumpTest::Outcome;
using KivoDumpTest::RunCommand;
using KivoDumpTest::SameReport;

// The client's liveness intervals in the runs whose service goes away (kivod gets the same as
// flags): short, so that a listener notices soon even on a busy machine under a sanitizer.
constexpr const char* kShortIntervals = "KIVO_PING_MS=100 KIVO_DEAD_MS=500 ";

// The last line of the snapshot of disks 1 "a" and 2 "b".
constexpr const char* kSnapshotPrinted = "= b\n</created>\n\n";

class KivodProgramTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_FALSE(folder_.Path().empty()); }
    // A sanitizer's report from any of the test's kivods fails it.
    void TearDown() override {
        const std::string log = Log();
        EXPECT_EQ(log.find("Sanitizer"), std::string::npos) << log;
        EXPECT_EQ(log.find("runtime error:"), std::string::npos) << log;
    }

    // Runs kivo_store on the store; true when it succeeded.
    bool Store(const std::string& arguments) const {
        return RunCommand(std::string(KIVO_STORE_PROGRAM) + " '" + store_ + "' " + arguments +
                          " >/dev/null 2>&1")
                   .status == 0;
    }
    // The command line of kivo_dump with `arguments`, finding services in the socket folder, in
    // the environment `variables` ("NAME=value " each).
    std::string Dump(const std::string& arguments, const char* variables = "") const {
        return std::string("env ") + variables + "KIVO_SOCKET_DIR='" + sockets_ + "' " +
               KIVO_DUMP_PROGRAM + " " + arguments + " 2>/dev/null";
    }
    // The report of `query` in DB mode on the store.
    Outcome DbReport(const std::string& query) const {
        return RunCommand(std::string(KIVO_DUMP_PROGRAM) + " '" + store_ + "' u p DB " + query +
                          " report </dev/null 2>/dev/null");
    }
    // Everything that the test's kivods wrote on standard error.
    std::string Log() const {
        std::stringstream log;
        log << std::ifstream(log_).rdbuf();
        return "kivod's log:\n" + log.str();
    }

    KivoDumpTest::TemporaryFolder folder_{"kivod_program_"};
    std::string store_ = folder_.Path() + "/store.db";
    std::string sockets_ = folder_.Path() + "/sockets";
    const std::string log_ = folder_.Path() + "/kivod.log";
};

// The sample's 6 objects and 1994 disks (2000 objects), over each local service and interface
// version, KIVO from any host, with and without a limit of the query's own.
TEST_F(KivodProgramTest, ReportsWhatDbModeReadsFromTheSameStore) {
    ASSERT_TRUE(Store(KivoDumpTest::SampleAndDisksImport(folder_.Path())));
    const std::string limit = KivoDumpTest::kLimitFive;
    const struct {
        const char* version;  // kivod's interface version
        const char* where;    // host, user, password and service
        std::string query;
        size_t objects;
    } cases[] = {
        {"2", "localhost u p QOR", "pattern '.Nil().End()'", 2000},
        {"2", "localhost u p YEB", "Disk", 1996},
        {"1", "localhost u p TUK", "Machine", 2},
        {"2", "anyhost u p KIVO", "pattern '.Nil().End()'" + limit, 5},
        {"1", "far.away u p KIVO",
         "pattern '.Composite().Property(\"Name\").String(\"beta\").End().End()'" + limit, 1},
        {"2", "localhost u p QOR", "Printer", 0},
    };
    for (const auto& run : cases) {
        const Kivod kivod(store_, sockets_, log_, {"--interface-version", run.version});
        ASSERT_TRUE(kivod.Ready()) << Log();
        const Outcome db = DbReport(run.query);
        const Outcome served =
            RunCommand(Dump(std::string(run.where) + " " + run.query + " report </dev/null"));
        EXPECT_EQ(db.status, 0) << run.query;
        EXPECT_EQ(served.status, 0) << run.where << "\n" << served.output.substr(0, 2000) << Log();
        EXPECT_EQ(Objects(db.output), run.objects) << run.query;
        EXPECT_TRUE(SameReport(db.output, served.output)) << run.where << " " << run.query;
    }
}

// Listening prints the snapshot, then what kivo_store writes from other processes (a tape beside
// the disks never shows), until Enter, the end of input or SIGINT ends it with 0.
TEST_F(KivodProgramTest, ListensToWhatKivoStoreWritesUntilTheUserEndsIt) {
    const Action enter = [](pid_t, int& input) { EXPECT_EQ(::write(input, "\n", 1), 1); };
    const Action endOfInput = [](pid_t, int& input) { ::close(std::exchange(input, -1)); };
    const Action interrupt = [](pid_t program, int&) { ::kill(program, SIGINT); };
    const std::string tape = DiskArgument(9, "t", "Tape");
    const std::vector<std::string> writes = {
        "put" + DiskArgument(3, "c"),
        "update" + DiskArgument(1, "a2") + DiskArgument(9, "u", "Tape"),
        "delete" + tape + DiskArgument(2, "b")};
    const std::string expected = CreatedDisk(1, "a") + CreatedDisk(2, "b") + CreatedDisk(3, "c") +
                                 KivoDumpTest::UpdatedDisk(1, "a2") + KivoDumpTest::DeletedDisk(2);
    const struct {
        const char* version;  // kivod's interface version
        const char* where;    // host, user, password and service
        const Action& end;    // once the last change printed
    } cases[] = {
        {"2", "localhost u p QOR", enter},      {"2", "anyhost u p KIVO", endOfInput},
        {"2", "localhost u p TUK", interrupt},  {"1", "localhost u p YEB", enter},
        {"1", "localhost u p QOR", endOfInput}, {"1", "elsewhere u p KIVO", interrupt},
    };
    for (const auto& run : cases) {
        store_ = folder_.Path() + "/" + std::to_string(&run - cases) + ".db";
        ASSERT_TRUE(Store("create"));
        ASSERT_TRUE(Store("put" + DiskArgument(1, "a") + tape + DiskArgument(2, "b")));
        const Kivod kivod(store_, sockets_, log_, {"--interface-version", run.version});
        ASSERT_TRUE(kivod.Ready()) << Log();
        const Action write = [&](pid_t, int&) {
            for (const std::string& command : writes)
                EXPECT_TRUE(Store(command)) << command;
        };
        const Outcome outcome = KivoDumpTest::RunWithInputHeld(
            Dump(std::string(run.where) + " Disk"),
            {{kSnapshotPrinted, write}, {"</deleted>\n\n", run.end}}, std::chrono::seconds(60));
        std::vector<std::string> times;
        EXPECT_EQ(KivoDumpTest::WithoutTimes(outcome.output, times), expected) << run.where;
        EXPECT_EQ(outcome.status, 0) << run.version << " " << run.where << "\n" << Log();
    }
}

// A service that dies (its sockets reset) or hangs (only the dead interval tells) under a
// listener ends the run with code 7, the lost connection as its reason.
TEST_F(KivodProgramTest, AListenerEndsWithCode7WhenTheServiceIsKilledOrStopped) {
    ASSERT_TRUE(Store("create"));
    ASSERT_TRUE(Store("put" + DiskArgument(1, "a") + DiskArgument(2, "b")));
    const std::string begin = CreatedDisk(1, "a") + CreatedDisk(2, "b") +
                              "Error 0x7: Subscription has ended with error.\n";
    for (const int signal : {SIGKILL, SIGSTOP}) {
        const Kivod kivod(store_, sockets_, log_, {"--ping-ms", "100", "--dead-ms", "500"});
        ASSERT_TRUE(kivod.Ready()) << Log();
        const Action lose = [&](pid_t, int&) { kivod.Signal(signal); };
        const Outcome outcome =
            KivoDumpTest::RunWithInputHeld(Dump("localhost u p QOR Disk", kShortIntervals),
                                           kSnapshotPrinted, lose, std::chrono::seconds(30));
        std::vector<std::string> times;
        const std::string output = KivoDumpTest::WithoutTimes(outcome.output, times);
        EXPECT_EQ(outcome.status, 7) << strsignal(signal) << "\n" << output;
        EXPECT_EQ(output.substr(0, begin.size()), begin) << strsignal(signal);
        EXPECT_NE(output.find("error 0xae000d: The connection to the service was lost.\n"),
                  std::string::npos)
            << output;
    }
}

// What was committed while a service ran, and while none did (the sockets of a killed kivod left
// behind: code 3), is served by the next kivod on the same store.
TEST_F(KivodProgramTest, ARestartedServiceServesEverythingCommittedBefore) {
    ASSERT_TRUE(Store("create"));
    ASSERT_TRUE(Store("put" + DiskArgument(1, "a") + DiskArgument(2, "b")));
    {
        Kivod first(store_, sockets_, log_, {});
        ASSERT_TRUE(first.Ready()) << Log();
        ASSERT_TRUE(Store("put" + DiskArgument(3, "c")));
        ASSERT_TRUE(Store("update" + DiskArgument(1, "a2")));
        first.Signal(SIGKILL);
        EXPECT_EQ(first.Stop(), -1) << Log();
    }
    ASSERT_TRUE(Store("delete" + DiskArgument(2, "b")) && Store("put" + DiskArgument(4, "d")));
    const Outcome gone = RunCommand(Dump("localhost u p QOR Disk </dev/null"));
    EXPECT_EQ(gone.status, 3) << gone.output;
    const Kivod second(store_, sockets_, log_, {});
    ASSERT_TRUE(second.Ready()) << Log();
    const Outcome served = RunCommand(Dump("localhost u p QOR Disk report </dev/null"));
    EXPECT_EQ(served.status, 0) << Log();
    EXPECT_EQ(Objects(served.output), 3u) << served.output;
    EXPECT_NE(served.output.find("= a2\n"), std::string::npos) << served.output;
    EXPECT_TRUE(SameReport(DbReport("Disk").output, served.output));
}

// No socket folder, an empty one, and a kivod that serves other services: the tool cannot
// connect, code 3.
TEST_F(KivodProgramTest, WithoutTheServiceTheToolCannotConnect) {
    ASSERT_TRUE(Store("create"));
    const struct {
        const char* services;  // kivod's; "" for none in an empty folder; null: no folder
        const char* where;     // host, user, password and service
        const char* service;   // as the failure names it
    } cases[] = {
        {nullptr, "anyhost u p KIVO", "KIVO"},
        {"", "localhost u p QOR", "QOR"},
        {"KIVO,TUK", "localhost u p QOR", "QOR"},
    };
    for (const auto& run : cases) {
        sockets_ = folder_.Path() + "/sockets-" + std::to_string(&run - cases);
        std::optional<Kivod> kivod;
        if (run.services != nullptr && *run.services == '\0') {
            ASSERT_EQ(::mkdir(sockets_.c_str(), 0700), 0);
        } else if (run.services != nullptr) {
            kivod.emplace(store_, sockets_, log_,
                          std::vector<std::string>{"--services", run.services});
            ASSERT_TRUE(kivod->Ready()) << Log();
        }
        const Outcome outcome = RunCommand(Dump(std::string(run.where) + " Disk </dev/null"));
        EXPECT_EQ(outcome.status, 3) << run.where << "\n" << outcome.output;
        const std::string failed =
            std::string("Error 0x3: Failed to create local connection with ") + run.service + "\n";
        EXPECT_EQ(outcome.output.substr(0, failed.size()), failed);
        EXPECT_NE(outcome.output.find("error 0xae0003: "), std::string::npos) << outcome.output;
    }
}

// A user other than kivod's (and not root) is refused by the service itself, even when the
// socket's permissions let it connect; the tool names the refusal.
TEST_F(KivodProgramTest, APeerOfAnotherUserIsRefused) {
    const std::string asNobody = "setpriv --reuid=65534 --regid=65534 --clear-groups ";
    if (::geteuid() != 0 ||
        RunCommand(asNobody + KIVO_DUMP_PROGRAM + " 2>&1").output.find("Usage") ==
            std::string::npos)
        GTEST_SKIP() << "needs root, setpriv, and a build that user 65534 may run";
    ASSERT_TRUE(Store("create"));
    const Kivod kivod(store_, sockets_, log_, {"--services", "QOR"});
    ASSERT_TRUE(kivod.Ready()) << Log();
    for (const std::string& path : {folder_.Path(), sockets_, sockets_ + "/qor.sock"})
        ASSERT_EQ(::chmod(path.c_str(), path == folder_.Path() || path == sockets_ ? 0755 : 0666),
                  0);
    const Outcome outcome = RunCommand("env KIVO_SOCKET_DIR='" + sockets_ + "' " + asNobody +
                                       KIVO_DUMP_PROGRAM + " localhost u p QOR Disk </dev/null");
    EXPECT_EQ(outcome.status, 3) << outcome.output;
    EXPECT_NE(outcome.output.find("Failed to create local connection with QOR"), std::string::npos);
    EXPECT_NE(outcome.output.find("error 0xfc00a3: "), std::string::npos) << outcome.output;
    EXPECT_NE(Log().find("refused"), std::string::npos) << Log();
}

}  // namespace
