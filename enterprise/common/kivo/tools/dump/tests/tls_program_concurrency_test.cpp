// Runs kivo_dump against kivod over TCP with TLS on 127.0.0.1, each test with its own CA, users
// file and kivod (on port 0, read from its ready descriptor): reports and listening as over the
// local sockets, refusals with their reasons, a client without TLS, failures answered ever later.

#include <gtest/gtest.h>
#include <unistd.h>

#include <csignal>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "enterprise/common/kivo/tools/dump/tests/program_runner_support.h"
#include "platform/wire/frame.h"
#include "tests/support/test_pki.h"

namespace {

using namespace KivoDumpTest;

constexpr const char* kBindFailed = "Error 0x3: Failed to bind to host.\n";
constexpr const char* kLoginRefused = "error 0xae0017: ";

class TlsProgramTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(folder_.Path().empty());
        pki_ = KivoSecurityTesting::MakeTestPki(folder_.Path());
        KivoSecurityTesting::WriteTestUsers(users_, {{"alice", "pw"}});
        ASSERT_TRUE(RunStore(store_, "create"));
    }
    void TearDown() override { EXPECT_TRUE(NoSanitizerReport(log_)); }

    // Starts kivod (in place of the one before) serving QOR on 127.0.0.1 port 0 with MakeTestPki's
    // `presented` certificate and key; failed logins answered after `loginDelay` ms, then doubled.
    void Serve(const std::string& presented = "server", const char* loginDelay = "0") {
        const std::string files = folder_.Path() + "/" + presented;
        kivod_.emplace(
            store_, folder_.Path() + "/sockets", log_,
            std::vector<std::string>{"--services", "QOR", "--listen", "127.0.0.1:0", "--tls-cert",
                                     files + ".pem", "--tls-key", files + ".key", "--users", users_,
                                     "--login-delay-ms", loginDelay});
        ASSERT_TRUE(kivod_->Ready(&port_)) << ReadFile(log_);
    }
    // The command line of kivo_dump towards kivod with `arguments` from the user on, trusting the
    // test's CA; `variables` ("NAME=value " each) come after and may replace KIVO_CA_FILE.
    std::string Dump(const std::string& arguments, const std::string& variables = "") const {
        return "env KIVO_CA_FILE='" + pki_.caFile + "' " + variables + KIVO_DUMP_PROGRAM +
               " 127.0.0.1:" + std::to_string(port_) + " " + arguments + " 2>/dev/null";
    }

    TemporaryFolder folder_{"tls_program_"};
    std::string store_ = folder_.Path() + "/store.db";
    const std::string users_ = folder_.Path() + "/users";
    const std::string log_ = folder_.Path() + "/kivod.log";
    KivoSecurityTesting::TestPki pki_;
    std::optional<Kivod> kivod_;
    uint16_t port_ = 0;
};

// The sample's 6 objects and 1994 disks, all that a query without a limit gets, byte for byte
// what DB mode reports.
TEST_F(TlsProgramTest, ReportsWhatDbModeReadsFromTheSameStore) {
    ASSERT_TRUE(RunStore(store_, SampleAndDisksImport(folder_.Path())));
    ASSERT_NO_FATAL_FAILURE(Serve());
    const Outcome db = DbReport(store_, "pattern '.Nil().End()'");
    const Outcome served =
        RunCommand(Dump("alice pw QOR pattern '.Nil().End()' report </dev/null"));
    EXPECT_EQ(served.status, 0) << served.output.substr(0, 2000);
    EXPECT_EQ(Objects(db.output), 2000u);
    EXPECT_TRUE(SameReport(db.output, served.output));
}

// Listening prints the records that it prints over the local sockets, until Enter; a kivod killed
// under it ends the run with code 7, the lost connection as its reason.
TEST_F(TlsProgramTest, ListensAsOverTheLocalSocketsUntilKivodIsKilled) {
    const Action enter = [](pid_t, int& input) { EXPECT_EQ(::write(input, "\n", 1), 1); };
    const Action kill = [&](pid_t, int&) { kivod_->Signal(SIGKILL); };
    for (const bool killed : {false, true}) {
        store_ = folder_.Path() + (killed ? "/killed.db" : "/listened.db");
        ASSERT_TRUE(RunStore(store_, ListeningStore()));
        ASSERT_NO_FATAL_FAILURE(Serve());
        const Outcome outcome =
            ListenToChanges(Dump("alice pw QOR Disk"), store_, killed ? kill : enter);
        const std::string expected =
            ListeningRecords() + (killed ? "Error 0x7: Subscription has ended with error.\n" : "");
        EXPECT_EQ(outcome.status, killed ? 7 : 0) << ReadFile(log_);
        EXPECT_EQ(killed ? outcome.output.substr(0, expected.size()) : outcome.output, expected);
        EXPECT_EQ(outcome.output.find("error 0xae000d: ") != std::string::npos, killed);
    }
}

// Each failure ends the run with its code and first line, the reason below it; a wrong password
// and an unknown user print the same bytes.
TEST_F(TlsProgramTest, FailuresNameTheirReason) {
    const std::string noCa = "KIVO_CA_FILE='" + folder_.Path() + "/missing-ca.pem' ";
    const struct {
        const char* what;
        const char* presented;  // kivod's certificate
        const char* arguments;  // user, password and service
        std::string variables;
        int status;
        std::string first;   // the first line (or its beginning)
        const char* reason;  // in the lines below it
    } cases[] = {
        {"wrong password", "server", "alice not-it QOR", "", 3, kBindFailed, kLoginRefused},
        {"unknown user", "server", "mallory pw QOR", "", 3, kBindFailed, kLoginRefused},
        {"other host", "other", "alice pw QOR", "", 3, kBindFailed, "0x2740015: "},
        {"untrusted CA", "untrusted", "alice pw QOR", "", 3, kBindFailed, "0x2740014: "},
        {"no CA file", "server", "alice pw QOR", noCa, 255, "Error 0x2740011: ", "No such file"},
        {"not served", "server", "alice pw YEB", "", 3, "Error 0x3: Failed to connect to YEB\n",
         "error 0xfc00a2: "},
    };
    std::string served, refusedLogin;  // kivod's certificate; what the first refused login printed
    for (const auto& run : cases) {
        SCOPED_TRACE(run.what);
        if (served != run.presented) {  // one kivod while it can: the port is in what is printed
            served = run.presented;
            ASSERT_NO_FATAL_FAILURE(Serve(served));
        }
        const Outcome outcome =
            RunCommand(Dump(run.arguments + std::string(" Disk </dev/null"), run.variables));
        EXPECT_EQ(outcome.status, run.status) << outcome.output;
        EXPECT_EQ(outcome.output.substr(0, run.first.size()), run.first);
        EXPECT_NE(outcome.output.find(run.reason), std::string::npos) << outcome.output;
        if (run.reason == std::string(kLoginRefused)) {
            EXPECT_TRUE(refusedLogin.empty() || refusedLogin == outcome.output) << outcome.output;
            refusedLogin = outcome.output;
        }
    }
}

// Bytes of the service protocol sent in the clear get no frame back: kivod ends the connection
// at once (well before the 10 s that a login may take), and goes on serving clients of TLS.
TEST_F(TlsProgramTest, APlaintextClientGetsNoWelcome) {
    ASSERT_NO_FATAL_FAILURE(Serve());
    const std::vector<uint8_t> hello =
        KivoWire::EncodeFrame(KivoWire::FrameKind::Hello, 0, 0, 0, KivoWire::HelloPayload(33));
    std::ofstream(folder_.Path() + "/hello", std::ios::binary)
        .write(reinterpret_cast<const char*>(hello.data()), static_cast<long>(hello.size()));
    // Through bash's /dev/tcp: "connected", then all that comes back until kivod closes, for at
    // most 5 s (status 124 after that).
    const Outcome answer = RunCommand(
        "timeout 5 bash -c 'exec 3<>/dev/tcp/127.0.0.1/" + std::to_string(port_) +
        " && echo connected && cat \"$0\" >&3 && cat <&3' '" + folder_.Path() + "/hello' 2>&1");
    EXPECT_NE(answer.status, 124) << "the connection stayed open";
    EXPECT_EQ(answer.output.rfind("connected\n", 0), 0u) << answer.output;
    EXPECT_EQ(answer.output.find("KIVO"), std::string::npos) << "a frame came back";
    EXPECT_EQ(RunCommand(Dump("alice pw QOR Disk report </dev/null")).status, 0);
}

// Failed logins from one address are answered later and later (200 ms before the second,
// doubled for each one after), but answered; the right password still logs in after them. Each
// run asks for a report, so that a password wrongly taken ends it at once.
TEST_F(TlsProgramTest, RepeatedFailuresAreAnsweredLaterAndLater) {
    ASSERT_NO_FATAL_FAILURE(Serve("server", "200"));
    std::chrono::steady_clock::duration fourth{};
    for (const std::string password : {"not-it", "not-it", "not-it", "not-it", "pw"}) {
        const auto start = std::chrono::steady_clock::now();
        const Outcome outcome =
            RunCommand("timeout 30 " + Dump("alice " + password + " QOR Disk report </dev/null"));
        EXPECT_EQ(outcome.status, password == "pw" ? 0 : 3) << outcome.output;
        if (password != "pw")
            fourth = std::chrono::steady_clock::now() - start;
    }
    EXPECT_GE(fourth, std::chrono::milliseconds(400));
}

}  // namespace
