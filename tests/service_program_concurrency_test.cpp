// Runs kivo_dump against kivod (each test with its own store, socket folder and kivod) over the
// Unix sockets and over TCP with TLS (a test CA and users file, port 0 read from the ready
// descriptor): reports equal to DB mode, listening until the user ends it or the service goes, a
// restarted service, two services over one PostgreSQL store, and each refusal with its reason.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/wire/frame.h"
#include "tests/program_test_support.h"
#include "tests/support/temporary_folder.h"
#include "tests/support/test_pki.h"
#include "tests/support/test_postgres.h"

namespace {

using namespace KivoProgramTest;
using KivoTestSupport::Kivod;
using KivoTestSupport::ReadFile;
using KivoTestSupport::RunCommand;

constexpr const char* kBindFailed = "Error 0x3: Failed to bind to host.\n";
constexpr const char* kLoginRefused = "error 0xae0017: ";

// Disk `n` named `name` (an object of another `type` when given) in the unit construction text
// format, quoted as a shell argument after a blank.
std::string DiskId(unsigned n) {
    char id[40];
    std::snprintf(id, sizeof id, "%08X-D15C-0000-0000-000000000000", n);
    return id;
}
std::string Disk(unsigned n, const std::string& name, const std::string& type = "Disk") {
    return " '.Composite().Trait(\"Is\").String(\"" + type +
           "\").End().Trait(\"PrimaryKey\").Guid(" + DiskId(n) +
           ").End().Property(\"Name\").String(\"" + name + "\").End().End()'";
}

// The change records that kivo_dump prints for disk `n`, their times written "T".
std::string Record(const char* tag, unsigned n, const std::string& body) {
    return std::string("<") + tag + " id=\"" + DiskId(n) + "\" time=\"T\">\n" + body + "</" + tag +
           ">\n\n";
}
std::string Created(unsigned n, const std::string& name) {
    return Record("created", n,
                  "  Root (Composite)\n    [Is (Common::String) = Disk]\n"
                  "    [PrimaryKey (Common::Guid) = " +
                      DiskId(n) + "]\n    Name (Common::String) = " + name + "\n");
}

// The listening scene: a store holding disks 1 "a" and 2 "b" with tape 9 "t" beside them; once
// the snapshot is printed, disk 3 "c" is put, disk 1 renamed "a2" beside a tape update that never
// shows, tape and disk 2 deleted.
const std::string kListeningStore = "put" + Disk(1, "a") + Disk(9, "t", "Tape") + Disk(2, "b");
const std::string kSnapshot = Created(1, "a") + Created(2, "b");
const std::vector<std::string> kWrites = {"put" + Disk(3, "c"),
                                          "update" + Disk(1, "a2") + Disk(9, "u", "Tape"),
                                          "delete" + Disk(9, "t", "Tape") + Disk(2, "b")};
const std::string kChanges =
    Created(3, "c") +
    Record("updated", 1,
           "  <key>\n    Root (Common::Guid) = " + DiskId(1) +
               "\n  </key>\n  <diff>\n    Root (Composite)\n      Name (Common::String) = a2\n"
               "  </diff>\n") +
    Record("deleted", 2, "  Root (Common::Guid) = " + DiskId(2) + "\n");

class ServiceProgramTest : public ::testing::Test {
  protected:
    // kivod's log holds no sanitizer's report.
    void TearDown() override {
        const std::string log = ReadFile(log_);
        EXPECT_EQ(log.find("Sanitizer"), std::string::npos) << log;
        EXPECT_EQ(log.find("runtime error:"), std::string::npos) << log;
    }

    // Starts kivod (in place of the one before) with interface `version` and `flags`; with `tls`
    // also on 127.0.0.1 port 0 with MakeTestPki's `presented` certificate and user alice,
    // failed logins answered after 200 ms, then doubled.
    void Serve(const char* version = "2", bool tls = false, std::vector<std::string> flags = {},
               const std::string& presented = "server") {
        flags.insert(flags.end(), {"--store", store_, "--socket-dir", sockets_, "--ready-fd", "3",
                                   "--interface-version", version});
        if (tls) {
            if (!pki_) {
                pki_ = KivoSecurityTesting::MakeTestPki(folder_.Path());
                KivoSecurityTesting::WriteTestUsers(folder_.File("users"),
                                                    {{"alice", "p\xC3\xBC"}});
            }
            const std::string files = folder_.File(presented);
            flags.insert(flags.end(), {"--listen", "127.0.0.1:0", "--tls-cert", files + ".pem",
                                       "--tls-key", files + ".key", "--users",
                                       folder_.File("users"), "--login-delay-ms", "200"});
        }
        kivod_.reset();
        kivod_.emplace(flags, log_);
        ASSERT_TRUE(kivod_->Ready(tls ? &port_ : nullptr)) << ReadFile(log_);
    }
    // The command line of kivo_dump with `arguments`, finding services in the socket folder and
    // trusting the test CA; `variables` ("NAME=value " each) come after and may replace those.
    std::string Dump(const std::string& arguments, const std::string& variables = "") const {
        const std::string ca = pki_ ? "KIVO_CA_FILE='" + pki_->caFile + "' " : "";
        return "exec env KIVO_SOCKET_DIR='" + sockets_ + "' " + ca + variables + DumpProgram() +
               " " + arguments + " 2>/dev/null";
    }
    // What kivo_dump reports of `query` from the store in DB mode.
    std::string DbReport(const std::string& query) const {
        return RunCommand(DumpProgram() + " '" + store_ + "' u p DB " + query + " report").output;
    }
    // The host of kivod's TLS listener, after it the user alice and her password (not ASCII: the
    // credentials reach the service as given).
    std::string Remote() const {
        return "127.0.0.1:" + std::to_string(port_) + " alice 'p\xC3\xBC'";
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
    {
        std::ofstream disks(folder_.File("disks.txt"));
        for (unsigned n = 1; n <= 1994; ++n) {
            const std::string disk = Disk(n, "disk-" + std::to_string(n));
            disks << disk.substr(2, disk.size() - 3) << "\n";  // without the shell's quotes
        }
    }
    ASSERT_TRUE(RunStore(store_, "import --create '" + std::string(std::getenv("KIVO_SOURCE_DIR")) +
                                     "/tools/kivo_store/sample/objects.txt' " +
                                     folder_.File("disks.txt")));
    const std::string limit =
        " options '.Composite().Trait(\"LimitOptions\").DWord(5).End().End()'";
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
        const std::string db = DbReport(run.query);
        const std::string where = run.tls ? Remote() + " " + run.where : run.where;
        const Outcome served = RunCommand(Dump(where + " " + run.query + " report </dev/null"));
        EXPECT_EQ(served.status, 0) << served.output.substr(0, 2000);
        EXPECT_EQ(Objects(db), run.objects);
        EXPECT_EQ(db, served.output);
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
    const std::vector<std::string> pruning = {"put" + Disk(3, "c") + Disk(4, "d") + Disk(5, "e")};
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
        ASSERT_TRUE(RunStore(store_, kListeningStore));
        ASSERT_NO_FATAL_FAILURE(Serve(run.version, run.tls));
        // Once the snapshot is printed, the writes; once a deletion is, the end. Short liveness
        // intervals where the service goes: a hung one is noticed soon.
        const Action write = [&](pid_t, int&) {
            for (const std::string& change : pruned ? pruning : kWrites)
                EXPECT_TRUE(RunStore(store_, change)) << change;
        };
        std::vector<KivoTestSupport::Step> steps = {{"= b\n</created>\n\n", write}};
        if (!pruned)
            steps.push_back({"</deleted>\n\n", run.end});
        Outcome outcome =
            RunCommand(Dump((run.tls ? Remote() + " " : "") + run.where + " Disk",
                            run.status == 0 ? "" : "KIVO_PING_MS=100 KIVO_DEAD_MS=500 "),
                       steps);
        std::vector<std::string> times;
        outcome.output = WithoutTimes(outcome.output, times);
        const std::string expected =
            kSnapshot + (pruned ? "" : kChanges) +
            (run.status ? "Error 0x7: Subscription has ended with error.\n" : "");
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
    ASSERT_TRUE(RunStore(store_, "put --create" + Disk(1, "a") + Disk(2, "b")));
    ASSERT_NO_FATAL_FAILURE(Serve());
    ASSERT_TRUE(RunStore(store_, "put" + Disk(3, "c")) &&
                RunStore(store_, "update" + Disk(1, "a2")));
    EXPECT_EQ(kivod_->Stop(SIGKILL), -1);
    ASSERT_TRUE(RunStore(store_, "delete" + Disk(2, "b")) &&
                RunStore(store_, "put" + Disk(4, "d")));
    EXPECT_EQ(RunCommand(Dump("localhost u p QOR Disk </dev/null")).status, 3);
    ASSERT_NO_FATAL_FAILURE(Serve());
    const Outcome served = RunCommand(Dump("localhost u p QOR Disk report </dev/null"));
    EXPECT_EQ(served.status, 0) << ReadFile(log_);
    EXPECT_EQ(Objects(served.output), 3u) << served.output;
    EXPECT_NE(served.output.find("= a2\n"), std::string::npos) << served.output;
    EXPECT_EQ(DbReport("Disk"), served.output);
}

// Two services over one PostgreSQL store, each with its own socket folder: reports through
// either equal DB mode's with the same connection string, and a listener on each prints the same
// records for what kivo_store writes with it.
TEST_F(ServiceProgramTest, TwoServicesOverOnePostgresStoreServeTheSameChanges) {
    KIVO_NEED_POSTGRES();
    KivoTestSupport::PostgresSchema schema;
    store_ = schema.Connection();
    ASSERT_TRUE(RunStore(store_, "create"));
    ASSERT_TRUE(RunStore(store_, kListeningStore));
    ASSERT_NO_FATAL_FAILURE(Serve());
    const std::string otherSockets = folder_.File("other-sockets");
    const std::string otherLog = folder_.File("other.log");
    Kivod other({"--store", store_, "--socket-dir", otherSockets, "--ready-fd", "3"}, otherLog);
    ASSERT_TRUE(other.Ready()) << ReadFile(otherLog);
    const std::string atOther = "KIVO_SOCKET_DIR='" + otherSockets + "' ";

    const std::string db = DbReport("Disk");
    EXPECT_EQ(Objects(db), 2u);
    for (const std::string& where : {std::string(), atOther})
        EXPECT_EQ(RunCommand(Dump("localhost u p QOR Disk report </dev/null", where)).output, db);

    // The writes wait until both listeners printed their snapshot.
    const Action enter = [](pid_t, int& input) { EXPECT_EQ(::write(input, "\n", 1), 1); };
    std::promise<void> otherListens;
    Outcome atSecond;
    std::thread second([&] {
        atSecond =
            RunCommand(Dump("localhost u p YEB Disk", atOther),
                       {{"= b\n</created>\n\n", [&](pid_t, int&) { otherListens.set_value(); }},
                        {"</deleted>\n\n", enter}});
    });
    const Action write = [&](pid_t, int&) {
        EXPECT_EQ(otherListens.get_future().wait_for(std::chrono::seconds(30)),
                  std::future_status::ready);
        for (const std::string& change : kWrites)
            EXPECT_TRUE(RunStore(store_, change)) << change;
    };
    Outcome atFirst = RunCommand(Dump("localhost u p QOR Disk"),
                                 {{"= b\n</created>\n\n", write}, {"</deleted>\n\n", enter}});
    second.join();
    for (Outcome* outcome : {&atFirst, &atSecond}) {
        std::vector<std::string> times;
        EXPECT_EQ(outcome->status, 0) << ReadFile(log_) << ReadFile(otherLog);
        EXPECT_EQ(WithoutTimes(outcome->output, times), kSnapshot + kChanges);
    }
    EXPECT_EQ(ReadFile(otherLog).find("runtime error:"), std::string::npos);
}

// Each failure ends the run with its code and first line, the reason below it: no socket folder,
// an empty one, a kivod serving other services, a peer of another user; over TLS a wrong password
// and an unknown user printing the same bytes, the second answered after the delay, the right
// password still logging in after them to a service not served, no CA file, a certificate for
// another host or from an untrusted CA.
TEST_F(ServiceProgramTest, FailuresNameTheirReason) {
    ASSERT_TRUE(RunStore(store_, "create"));
    const std::string noCa = "KIVO_CA_FILE='" + folder_.File("missing-ca.pem") + "' ";
    const std::string noService = "Error 0x3: Failed to create local connection with ";
    // Root may run the tool as another user, whom kivod refuses even when the socket lets it in.
    const std::string asNobody = "setpriv --reuid=65534 --regid=65534 --clear-groups ";
    const bool nobodyRuns =
        ::geteuid() == 0 &&
        RunCommand(asNobody + DumpProgram() + " 2>&1").output.find("Usage") != std::string::npos;
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
        {"QOR", nullptr, "localhost u p QOR", asNobody, 3, noService + "QOR\n", "error 0xfc00a3: "},
        {"QOR", "server", "alice not-it QOR", "", 3, kBindFailed, kLoginRefused},
        {"QOR", "server", "mallory p\xC3\xBC QOR", "", 3, kBindFailed, kLoginRefused},
        {"QOR", "server", "alice p\xC3\xBC YEB", "", 3, "Error 0x3: Failed to connect to YEB\n",
         "error 0xfc00a2: "},
        {"QOR", "server", "alice p\xC3\xBC QOR", noCa, 255, "Error 0x2740011: ", "No such file"},
        {"QOR", "other", "alice p\xC3\xBC QOR", "", 3, kBindFailed, "0x2740015: "},
        {"QOR", "untrusted", "alice p\xC3\xBC QOR", "", 3, kBindFailed, "0x2740014: "},
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
        if (run.variables == asNobody) {
            if (!nobodyRuns)
                continue;  // needs root, setpriv, and a build that user 65534 may run
            for (const std::string& path : {folder_.Path(), sockets_, sockets_ + "/qor.sock"})
                ASSERT_EQ(
                    ::chmod(path.c_str(), path == folder_.Path() || path == sockets_ ? 0755 : 0666),
                    0);
        }
        const std::string host = run.presented ? "127.0.0.1:" + std::to_string(port_) + " " : "";
        const auto start = std::chrono::steady_clock::now();
        const Outcome outcome =
            RunCommand(Dump(host + run.where + " Disk </dev/null", run.variables));
        EXPECT_EQ(outcome.status, run.status) << outcome.output;
        EXPECT_EQ(outcome.output.substr(0, run.first.size()), run.first);
        EXPECT_NE(outcome.output.find(run.reason), std::string::npos) << outcome.output;
        if (run.reason == std::string(kLoginRefused)) {
            EXPECT_TRUE(refusedLogin.empty() || refusedLogin == outcome.output) << outcome.output;
            EXPECT_TRUE(refusedLogin.empty() ||
                        std::chrono::steady_clock::now() - start >= std::chrono::milliseconds(200));
            refusedLogin = outcome.output;
        }
    }
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

}  // namespace
