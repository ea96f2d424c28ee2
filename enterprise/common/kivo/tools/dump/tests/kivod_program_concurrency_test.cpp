// Runs kivo_dump against kivod, the service program, over its Unix sockets. Each test starts its
// own kivod on a store that kivo_store made and fills, in a socket folder of its own: reports over
// every local service equal to DB mode on the same store, listening over both interface versions to
// what kivo_store writes until the user ends it or the service goes, a service restarted on the
// same store, no service to connect to, and a peer of another user.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "enterprise/common/kivo/tools/dump/tests/program_runner_support.h"

namespace {

using namespace KivoDumpTest;

class KivodProgramTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_FALSE(folder_.Path().empty()); }
    void TearDown() override { EXPECT_TRUE(NoSanitizerReport(log_)); }

    bool Store(const std::string& arguments) const { return RunStore(store_, arguments); }
    // The command line of kivo_dump with `arguments`, finding services in the socket folder, in
    // the environment `variables` ("NAME=value " each).
    std::string Dump(const std::string& arguments, const char* variables = "") const {
        return std::string("env ") + variables + "KIVO_SOCKET_DIR='" + sockets_ + "' " +
               KIVO_DUMP_PROGRAM + " " + arguments + " 2>/dev/null";
    }

    TemporaryFolder folder_{"kivod_program_"};
    std::string store_ = folder_.Path() + "/store.db";
    std::string sockets_ = folder_.Path() + "/sockets";
    const std::string log_ = folder_.Path() + "/kivod.log";
};

// The sample's 6 objects and 1994 disks (2000 objects), over each local service and interface
// version, KIVO from any host, with and without a limit of the query's own.
TEST_F(KivodProgramTest, ReportsWhatDbModeReadsFromTheSameStore) {
    ASSERT_TRUE(Store(SampleAndDisksImport(folder_.Path())));
    const std::string limit = kLimitFive;
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
        ASSERT_TRUE(kivod.Ready()) << ReadFile(log_);
        const Outcome db = DbReport(store_, run.query);
        const Outcome served =
            RunCommand(Dump(std::string(run.where) + " " + run.query + " report </dev/null"));
        EXPECT_EQ(db.status, 0) << run.query;
        EXPECT_EQ(served.status, 0) << run.where << "\n" << served.output.substr(0, 2000);
        EXPECT_EQ(Objects(db.output), run.objects) << run.query;
        EXPECT_TRUE(SameReport(db.output, served.output)) << run.where << run.query;
    }
}

// Listening prints the snapshot, then what kivo_store writes from other processes, until Enter,
// the end of input or SIGINT ends it with 0. A service that dies (its sockets reset) or hangs
// (only the dead interval tells) ends it with 7, the lost connection as its reason.
TEST_F(KivodProgramTest, ListensToWhatKivoStoreWritesUntilTheRunEnds) {
    std::optional<Kivod> kivod;
    const Action enter = [](pid_t, int& input) { EXPECT_EQ(::write(input, "\n", 1), 1); };
    const Action endOfInput = [](pid_t, int& input) { ::close(std::exchange(input, -1)); };
    const Action interrupt = [](pid_t program, int&) { ::kill(program, SIGINT); };
    const Action kill = [&](pid_t, int&) { kivod->Signal(SIGKILL); };
    const Action stop = [&](pid_t, int&) { kivod->Signal(SIGSTOP); };
    const struct {
        const char* version;  // kivod's interface version
        const char* where;    // host, user, password and service
        const Action& end;    // once the last change printed
        int status;
    } cases[] = {
        {"2", "localhost u p QOR", enter, 0},      {"2", "anyhost u p KIVO", endOfInput, 0},
        {"2", "localhost u p TUK", interrupt, 0},  {"1", "localhost u p YEB", enter, 0},
        {"1", "localhost u p QOR", endOfInput, 0}, {"1", "elsewhere u p KIVO", interrupt, 0},
        {"2", "localhost u p QOR", kill, 7},       {"1", "localhost u p YEB", stop, 7},
    };
    for (const auto& run : cases) {
        store_ = folder_.Path() + "/" + std::to_string(&run - cases) + ".db";
        ASSERT_TRUE(Store(ListeningStore()));
        kivod.emplace(store_, sockets_, log_,
                      std::vector<std::string>{"--interface-version", run.version});
        ASSERT_TRUE(kivod->Ready()) << ReadFile(log_);
        // Short liveness intervals where the service goes: a hung one is noticed soon.
        const Outcome outcome =
            ListenToChanges(Dump(std::string(run.where) + " Disk",
                                 run.status == 0 ? "" : "KIVO_PING_MS=100 KIVO_DEAD_MS=500 "),
                            store_, run.end);
        const std::string expected =
            ListeningRecords() +
            (run.status == 0 ? "" : "Error 0x7: Subscription has ended with error.\n");
        EXPECT_EQ(outcome.status, run.status) << run.version << run.where << "\n" << ReadFile(log_);
        EXPECT_EQ(run.status == 0 ? outcome.output : outcome.output.substr(0, expected.size()),
                  expected);
        const bool lost =
            outcome.output.find("error 0xae000d: The connection to the service was lost.") !=
            std::string::npos;
        EXPECT_EQ(lost, run.status != 0) << outcome.output;
    }
}

// What was committed while a service ran, and while none did (the sockets of a killed kivod left
// behind: code 3), is served by the next kivod on the same store.
TEST_F(KivodProgramTest, ARestartedServiceServesEverythingCommittedBefore) {
    ASSERT_TRUE(Store("put --create" + DiskArgument(1, "a") + DiskArgument(2, "b")));
    {
        Kivod first(store_, sockets_, log_, {});
        ASSERT_TRUE(first.Ready()) << ReadFile(log_);
        ASSERT_TRUE(Store("put" + DiskArgument(3, "c")) && Store("update" + DiskArgument(1, "a2")));
        first.Signal(SIGKILL);
        EXPECT_EQ(first.Stop(), -1);
    }
    ASSERT_TRUE(Store("delete" + DiskArgument(2, "b")) && Store("put" + DiskArgument(4, "d")));
    EXPECT_EQ(RunCommand(Dump("localhost u p QOR Disk </dev/null")).status, 3);
    const Kivod second(store_, sockets_, log_, {});
    ASSERT_TRUE(second.Ready()) << ReadFile(log_);
    const Outcome served = RunCommand(Dump("localhost u p QOR Disk report </dev/null"));
    EXPECT_EQ(served.status, 0) << ReadFile(log_);
    EXPECT_EQ(Objects(served.output), 3u) << served.output;
    EXPECT_NE(served.output.find("= a2\n"), std::string::npos) << served.output;
    EXPECT_TRUE(SameReport(DbReport(store_, "Disk").output, served.output));
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
            ASSERT_TRUE(kivod->Ready()) << ReadFile(log_);
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
    ASSERT_TRUE(kivod.Ready()) << ReadFile(log_);
    for (const std::string& path : {folder_.Path(), sockets_, sockets_ + "/qor.sock"})
        ASSERT_EQ(::chmod(path.c_str(), path == folder_.Path() || path == sockets_ ? 0755 : 0666),
                  0);
    const Outcome outcome = RunCommand("env KIVO_SOCKET_DIR='" + sockets_ + "' " + asNobody +
                                       KIVO_DUMP_PROGRAM + " localhost u p QOR Disk </dev/null");
    EXPECT_EQ(outcome.status, 3) << outcome.output;
    EXPECT_NE(outcome.output.find("Failed to create local connection with QOR"), std::string::npos);
    EXPECT_NE(outcome.output.find("error 0xfc00a3: "), std::string::npos) << outcome.output;
    EXPECT_NE(ReadFile(log_).find("refused"), std::string::npos) << ReadFile(log_);
}

}  // namespace
