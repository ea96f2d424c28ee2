// Runs kivo_dump against kivod, each test with its own store (filled by kivo_store), socket folder
// and kivod, over the Unix sockets and over TCP with TLS on 127.0.0.1 (a test CA and users file,
// port 0 read from the ready descriptor): reports equal to DB mode on the same store, listening
// until the user ends it or the service goes, a restarted service, no service to connect to, a
// peer of another user, the refusals of TLS and logins with their reasons, a client without TLS,
// and failed logins answered later and later.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/wire/frame.h"
#include "tests/program_test_support.h"
#include "tests/support/temporary_folder.h"
#include "tests/support/test_pki.h"

namespace {

using namespace KivoProgramTest;
using KivoTestSupport::Kivod;
using KivoTestSupport::ReadFile;
using KivoTestSupport::RunCommand;

constexpr const char* kBindFailed = "Error 0x3: Failed to bind to host.\n";
constexpr const char* kLoginRefused = "error 0xae0017: ";
constexpr const char* kEnded = "Error 0x7: Subscription has ended with error.\n";

class ServiceProgramTest : public ::testing::Test {
  protected:
    void TearDown() override { EXPECT_TRUE(NoSanitizerReport(log_)); }

    // Starts kivod (in place of the one before) with interface `version` and `flags`; with `tls`
    // also on 127.0.0.1 port 0 with MakeTestPki's `presented` certificate and user alice (pw),
    // failed logins answered after `loginDelay` ms, then doubled.
    void Serve(const char* version = "2", bool tls = false, std::vector<std::string> flags = {},
               const std::string& presented = "server", const char* loginDelay = "0") {
        flags.insert(flags.end(), {"--interface-version", version});
        if (tls) {
            if (!pki_) {
                pki_ = KivoSecurityTesting::MakeTestPki(folder_.Path());
                KivoSecurityTesting::WriteTestUsers(folder_.File("users"), {{"alice", "pw"}});
            }
            const std::string files = folder_.File(presented);
            flags.insert(flags.end(), {"--listen", "127.0.0.1:0", "--tls-cert", files + ".pem",
                                       "--tls-key", files + ".key", "--users",
                                       folder_.File("users"), "--login-delay-ms", loginDelay});
        }
        kivod_.reset();
        kivod_.emplace(store_, sockets_, log_, flags);
        ASSERT_TRUE(kivod_->Ready(tls ? &port_ : nullptr)) << ReadFile(log_);
    }
    // The command line of kivo_dump with `arguments`, finding services in the socket folder and
    // trusting the test CA; `variables` ("NAME=value " each) come after and may replace those.
    std::string Dump(const std::string& arguments, const std::string& variables = "") const {
        const std::string ca = pki_ ? "KIVO_CA_FILE='" + pki_->caFile + "' " : "";
        return "exec env KIVO_SOCKET_DIR='" + sockets_ + "' " + ca + variables + DumpProgram() +
               " " + arguments + " 2>/dev/null";
    }
    // The host, user and password of kivod's TLS listener.
    std::string Remote(const std::string& user = "alice",
                       const std::string& password = "pw") const {
        return "127.0.0.1:" + std::to_string(port_) + " " + user + " " + password;
    }

    KivoTestSupport::TemporaryFolder folder_{"kivo_service_program_"};
    std::string store_ = folder_.File("store.db");
    std::string sockets_ = folder_.File("sockets");
    const std::string log_ = folder_.File("kivod.log");
    std::optional<KivoSecurityTesting::TestPki> pki_;
    std::optional<Kivod> kivod_;
    uint16_t port_ = 0;
};

// The sample's 6 objects and 1994 disks (2000 objects), over each service, interface version and
// transport, KIVO from any host, with and without a limit of the query's own.
TEST_F(ServiceProgramTest, ReportsWhatDbModeReadsFromTheSameStore) {
    ASSERT_TRUE(RunStore(store_, SampleAndDisksImport(folder_.Path())));
    const std::string limit = kLimitFive;
    const struct {
        const char* version;
        bool tls;
        const char* where;  // host, user and password unless over TLS, and the service
        std::string query;
        size_t objects;
    } cases[] = {
        {"2", false, "localhost u p QOR", "pattern '.Nil().End()'", 2000},
        {"2", false, "localhost u p YEB", "Disk", 1996},
        {"1", false, "localhost u p TUK", "Machine", 2},
        {"2", false, "anyhost u p KIVO", "pattern '.Nil().End()'" + limit, 5},
        {"1", false, "far.away u p KIVO",
         "pattern '.Composite().Property(\"Name\").String(\"beta\").End().End()'" + limit, 1},
        {"2", false, "localhost u p QOR", "Printer", 0},
        {"2", true, "QOR", "pattern '.Nil().End()'", 2000},
    };
    for (const auto& run : cases) {
        SCOPED_TRACE(std::string(run.where) + " " + run.query);
        ASSERT_NO_FATAL_FAILURE(Serve(run.version, run.tls));
        const Outcome db = DbReport(store_, run.query);
        const std::string where = run.tls ? Remote() + " " + run.where : run.where;
        const Outcome served = RunCommand(Dump(where + " " + run.query + " report </dev/null"));
        EXPECT_EQ(served.status, 0) << served.output.substr(0, 2000);
        EXPECT_EQ(Objects(db.output), run.objects);
        EXPECT_TRUE(SameReport(db.output, served.output));
    }
}

// Listening prints the snapshot, then what kivo_store writes from other processes, until Enter,
// the end of input or SIGINT ends it with 0. A service that dies (its sockets reset) or hangs
// (only the dead interval tells) ends it with 7, the lost connection as its reason; so does a
// write that prunes the listener's next change from the change log, the history lost as reason.
TEST_F(ServiceProgramTest, ListensToWhatKivoStoreWritesUntilTheRunEnds) {
    const Action enter = [](pid_t, int& input) { EXPECT_EQ(::write(input, "\n", 1), 1); };
    const Action endOfInput = [](pid_t, int& input) { ::close(std::exchange(input, -1)); };
    const Action interrupt = [](pid_t program, int&) { ::kill(program, SIGINT); };
    const Action kill = [&](pid_t, int&) { kivod_->Signal(SIGKILL); };
    const Action stop = [&](pid_t, int&) { kivod_->Signal(SIGSTOP); };
    const Action none;
    const std::vector<std::string> pruning = {"put" + DiskArgument(3, "c") + DiskArgument(4, "d") +
                                              DiskArgument(5, "e")};
    const char* const kLost = "error 0xae000d: The connection to the service was lost.";
    const struct {
        const char* version;
        bool tls;
        const char* where;  // host, user and password unless over TLS, and the service
        const Action& end;  // once the last change printed
        int status;
        const char* reason;  // when the status is not 0
    } cases[] = {
        {"2", false, "localhost u p QOR", enter, 0, ""},
        {"2", false, "anyhost u p KIVO", endOfInput, 0, ""},
        {"2", false, "localhost u p TUK", interrupt, 0, ""},
        {"1", false, "localhost u p YEB", enter, 0, ""},
        {"1", false, "localhost u p QOR", endOfInput, 0, ""},
        {"1", false, "elsewhere u p KIVO", interrupt, 0, ""},
        {"2", true, "QOR", enter, 0, ""},
        {"2", false, "localhost u p QOR", kill, 7, kLost},
        {"1", false, "localhost u p YEB", stop, 7, kLost},
        {"2", true, "QOR", kill, 7, kLost},
        {"2", false, "localhost u p QOR", none, 7, "error 0xfc0080: "},
        {"1", false, "localhost u p QOR", none, 7, "error 0xfc0080: "},
    };
    for (const auto& run : cases) {
        SCOPED_TRACE(std::string(run.version) + " " + run.where + " " + run.reason);
        const bool pruned = !run.end;
        store_ = folder_.File(std::to_string(&run - cases) + ".db");
        ASSERT_TRUE(RunStore(store_, pruned ? "create entries=1" : "create"));
        ASSERT_TRUE(RunStore(store_, ListeningStore()));
        ASSERT_NO_FATAL_FAILURE(Serve(run.version, run.tls));
        // Short liveness intervals where the service goes: a hung one is noticed soon.
        const Outcome outcome =
            ListenToChanges(Dump((run.tls ? Remote() + " " : "") + run.where + " Disk",
                                 run.status == 0 ? "" : "KIVO_PING_MS=100 KIVO_DEAD_MS=500 "),
                            store_, run.end, pruned ? pruning : ListeningWrites());
        const std::string expected =
            ListeningSnapshot() + (pruned ? "" : ListeningChanges()) + (run.status ? kEnded : "");
        EXPECT_EQ(outcome.status, run.status) << ReadFile(log_);
        EXPECT_EQ(run.status == 0 ? outcome.output : outcome.output.substr(0, expected.size()),
                  expected);
        EXPECT_EQ(outcome.output.find(kLost) != std::string::npos, run.reason == kLost);
        EXPECT_NE(outcome.output.find(run.reason), std::string::npos) << outcome.output;
    }
}

// What was committed while a service ran, and while none did (the sockets of a killed kivod left
// behind: code 3), is served by the next kivod on the same store.
TEST_F(ServiceProgramTest, ARestartedServiceServesEverythingCommittedBefore) {
    ASSERT_TRUE(RunStore(store_, "put --create" + DiskArgument(1, "a") + DiskArgument(2, "b")));
    ASSERT_NO_FATAL_FAILURE(Serve());
    ASSERT_TRUE(RunStore(store_, "put" + DiskArgument(3, "c")) &&
                RunStore(store_, "update" + DiskArgument(1, "a2")));
    EXPECT_EQ(kivod_->Stop(SIGKILL), -1);
    ASSERT_TRUE(RunStore(store_, "delete" + DiskArgument(2, "b")) &&
                RunStore(store_, "put" + DiskArgument(4, "d")));
    EXPECT_EQ(RunCommand(Dump("localhost u p QOR Disk </dev/null")).status, 3);
    ASSERT_NO_FATAL_FAILURE(Serve());
    const Outcome served = RunCommand(Dump("localhost u p QOR Disk report </dev/null"));
    EXPECT_EQ(served.status, 0) << ReadFile(log_);
    EXPECT_EQ(Objects(served.output), 3u) << served.output;
    EXPECT_NE(served.output.find("= a2\n"), std::string::npos) << served.output;
    EXPECT_TRUE(SameReport(DbReport(store_, "Disk").output, served.output));
}

// Each failure ends the run with its code and first line, the reason below it: no socket folder,
// an empty one, a kivod serving other services; over TLS a wrong password and an unknown user
// printing the same bytes, a certificate for another host or from an untrusted CA, no CA file, a
// service not served.
TEST_F(ServiceProgramTest, FailuresNameTheirReason) {
    ASSERT_TRUE(RunStore(store_, "create"));
    const std::string noCa = "KIVO_CA_FILE='" + folder_.File("missing-ca.pem") + "' ";
    const std::string noService = "Error 0x3: Failed to create local connection with ";
    const struct {
        const char* serve;      // "-": no socket folder; "": an empty one; else kivod's services
        const char* presented;  // kivod's certificate, over TLS
        const char* where;      // host, user and password unless over TLS, and the service
        std::string variables;
        int status;
        std::string first;   // the first line (or its beginning)
        const char* reason;  // in the lines below it
    } cases[] = {
        {"-", nullptr, "anyhost u p KIVO", "", 3, noService + "KIVO\n", "error 0xae0003: "},
        {"", nullptr, "localhost u p QOR", "", 3, noService + "QOR\n", "error 0xae0003: "},
        {"KIVO,TUK", nullptr, "localhost u p QOR", "", 3, noService + "QOR\n", "error 0xae0003: "},
        {"QOR", "server", "alice not-it QOR", "", 3, kBindFailed, kLoginRefused},
        {"QOR", "server", "mallory pw QOR", "", 3, kBindFailed, kLoginRefused},
        {"QOR", "other", "alice pw QOR", "", 3, kBindFailed, "0x2740015: "},
        {"QOR", "untrusted", "alice pw QOR", "", 3, kBindFailed, "0x2740014: "},
        {"QOR", "server", "alice pw QOR", noCa, 255, "Error 0x2740011: ", "No such file"},
        {"QOR", "server", "alice pw YEB", "", 3, "Error 0x3: Failed to connect to YEB\n",
         "error 0xfc00a2: "},
    };
    // One kivod while it can: the port is in what is printed. What the first refused login printed.
    std::string served = "?", refusedLogin;
    for (const auto& run : cases) {
        const std::string presented = run.presented != nullptr ? run.presented : "";
        const std::string serving = run.serve + presented;
        SCOPED_TRACE(serving + " " + run.where);
        if (served != serving) {
            served = serving;
            sockets_ = folder_.File("sockets-" + std::to_string(&run - cases));
            kivod_.reset();
            if (*run.serve == '\0') {
                ASSERT_EQ(::mkdir(sockets_.c_str(), 0700), 0);
            } else if (*run.serve != '-') {
                ASSERT_NO_FATAL_FAILURE(
                    Serve("2", run.presented != nullptr, {"--services", run.serve}, presented));
            }
        }
        const std::string host = run.presented ? "127.0.0.1:" + std::to_string(port_) + " " : "";
        const Outcome outcome =
            RunCommand(Dump(host + run.where + " Disk </dev/null", run.variables));
        EXPECT_EQ(outcome.status, run.status) << outcome.output;
        EXPECT_EQ(outcome.output.substr(0, run.first.size()), run.first);
        EXPECT_NE(outcome.output.find(run.reason), std::string::npos) << outcome.output;
        if (run.reason == std::string(kLoginRefused)) {
            EXPECT_TRUE(refusedLogin.empty() || refusedLogin == outcome.output) << outcome.output;
            refusedLogin = outcome.output;
        }
    }
}

// A user other than kivod's (and not root) is refused by the service itself, even when the
// socket's permissions let it connect; the tool names the refusal.
TEST_F(ServiceProgramTest, APeerOfAnotherUserIsRefused) {
    const std::string asNobody = "setpriv --reuid=65534 --regid=65534 --clear-groups ";
    if (::geteuid() != 0 ||
        RunCommand(asNobody + DumpProgram() + " 2>&1").output.find("Usage") == std::string::npos)
        GTEST_SKIP() << "needs root, setpriv, and a build that user 65534 may run";
    ASSERT_TRUE(RunStore(store_, "create"));
    ASSERT_NO_FATAL_FAILURE(Serve("2", false, {"--services", "QOR"}));
    for (const std::string& path : {folder_.Path(), sockets_, sockets_ + "/qor.sock"})
        ASSERT_EQ(::chmod(path.c_str(), path == folder_.Path() || path == sockets_ ? 0755 : 0666),
                  0);
    const Outcome outcome = RunCommand("env KIVO_SOCKET_DIR='" + sockets_ + "' " + asNobody +
                                       DumpProgram() + " localhost u p QOR Disk </dev/null");
    EXPECT_EQ(outcome.status, 3) << outcome.output;
    EXPECT_NE(outcome.output.find("Failed to create local connection with QOR"), std::string::npos);
    EXPECT_NE(outcome.output.find("error 0xfc00a3: "), std::string::npos) << outcome.output;
    EXPECT_NE(ReadFile(log_).find("refused"), std::string::npos) << ReadFile(log_);
}

// Bytes of the service protocol sent in the clear get no frame back: kivod ends the connection
// at once (well before the 10 s that a login may take), and goes on serving clients of TLS.
TEST_F(ServiceProgramTest, APlaintextClientGetsNoWelcome) {
    ASSERT_TRUE(RunStore(store_, "create"));
    ASSERT_NO_FATAL_FAILURE(Serve("2", true));
    const std::vector<uint8_t> hello =
        KivoWire::EncodeFrame(KivoWire::FrameKind::Hello, 0, 0, 0, KivoWire::HelloPayload(33));
    std::ofstream(folder_.File("hello"), std::ios::binary)
        .write(reinterpret_cast<const char*>(hello.data()), static_cast<long>(hello.size()));
    // Through bash's /dev/tcp: "connected", then all that comes back until kivod closes.
    const Outcome answer = RunCommand(
        "bash -c 'exec 3<>/dev/tcp/127.0.0.1/" + std::to_string(port_) +
            " && echo connected && cat \"$0\" >&3 && cat <&3' '" + folder_.File("hello") + "' 2>&1",
        {}, std::chrono::seconds(5));
    EXPECT_NE(answer.status, -1) << "the connection stayed open";
    EXPECT_EQ(answer.output.rfind("connected\n", 0), 0u) << answer.output;
    EXPECT_EQ(answer.output.find("KIVO"), std::string::npos) << "a frame came back";
    EXPECT_EQ(RunCommand(Dump(Remote() + " QOR Disk report </dev/null")).status, 0);
}

// Failed logins from one address are answered later and later (200 ms before the second,
// doubled for each one after), but answered; the right password still logs in after them. Each
// run asks for a report, so that a password wrongly taken ends it at once.
TEST_F(ServiceProgramTest, RepeatedFailuresAreAnsweredLaterAndLater) {
    ASSERT_TRUE(RunStore(store_, "create"));
    ASSERT_NO_FATAL_FAILURE(Serve("2", true, {}, "server", "200"));
    std::chrono::steady_clock::duration fourth{};
    for (const std::string password : {"not-it", "not-it", "not-it", "not-it", "pw"}) {
        const auto start = std::chrono::steady_clock::now();
        const Outcome outcome =
            RunCommand(Dump(Remote("alice", password) + " QOR Disk report </dev/null"), {},
                       std::chrono::seconds(30));
        EXPECT_EQ(outcome.status, password == "pw" ? 0 : 3) << outcome.output;
        if (password != "pw")
            fourth = std::chrono::steady_clock::now() - start;
    }
    EXPECT_GE(fourth, std::chrono::milliseconds(400));
}

}  // namespace
