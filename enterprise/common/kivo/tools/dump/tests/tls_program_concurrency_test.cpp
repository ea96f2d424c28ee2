// Runs kivo_dump against kivod over TCP with TLS on 127.0.0.1. Each test makes a CA, server
// certificates and a users file of its own in a temporary folder, starts its own kivod on port 0
// and reads the port it chose from the ready descriptor: reports equal to DB mode and listening
// equal to the local sockets, the password kept out of the process list, every refused login,
// certificate and CA file with the reason the tool prints, a client that speaks no TLS, a service
// that is not served, repeated failures answered, and a kivod killed under a listener.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "enterprise/common/kivo/tools/dump/tests/program_runner_support.h"
#include "platform/security/testing/test_pki.h"
#include "platform/wire/frame.h"

namespace {

using KivoDumpTest::Action;
using KivoDumpTest::Kivod;
using KivoDumpTest::Outcome;
using KivoDumpTest::RunCommand;
using KivoDumpTest::RunWithInputHeld;
using KivoSecurityTesting::TestPki;

constexpr const char* kUser = "alice";
constexpr const char* kPassword = "pw-of-alice";
constexpr const char* kBindFailed = "Error 0x3: Failed to bind to host.\n";
constexpr const char* kLoginRefused = "error 0xae0017: ";

// One certificate and key that kivod presents.
struct Presented {
    std::string TestPki::*certificate;
    std::string TestPki::*key;
    friend bool operator==(const Presented&, const Presented&) = default;
};
constexpr Presented kOwn{&TestPki::serverCertFile, &TestPki::serverKeyFile};
constexpr Presented kOtherHost{&TestPki::otherHostCertFile, &TestPki::otherHostKeyFile};
constexpr Presented kUntrusted{&TestPki::untrustedCertFile, &TestPki::untrustedKeyFile};

class TlsProgramTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(folder_.Path().empty());
        pki_ = KivoSecurityTesting::MakeTestPki(folder_.Path());
        KivoSecurityTesting::WriteTestUsers(users_, {{kUser, kPassword}});
    }
    void TearDown() override { EXPECT_TRUE(KivoDumpTest::NoSanitizerReport(log_)); }

    // Runs kivo_store on the store; true when it succeeded.
    bool Store(const std::string& arguments) const {
        return RunCommand(std::string(KIVO_STORE_PROGRAM) + " '" + store_ + "' " + arguments +
                          " >/dev/null 2>&1")
                   .status == 0;
    }
    // Starts kivod (in place of the one before) on the store, on 127.0.0.1 port 0 with `presented`
    // and `flags` of its own, failed logins answered after a delay of `loginDelay` milliseconds
    // growing with each (0: at once).
    void Serve(const Presented& presented, std::vector<std::string> flags = {},
               const char* loginDelay = "0") {
        flags.insert(flags.end(), {"--listen", "127.0.0.1:0", "--tls-cert",
                                   pki_.*presented.certificate, "--tls-key", pki_.*presented.key,
                                   "--users", users_, "--login-delay-ms", loginDelay});
        kivod_.emplace(store_, folder_.Path() + "/sockets", log_, flags);
        ASSERT_TRUE(kivod_->Ready(port_)) << KivoDumpTest::ReadFile(log_);
    }
    // The command line of kivo_dump towards kivod as `user` with `password`, then `rest`, trusting
    // the test's CA; `variables` ("NAME=value " each) come after and may replace KIVO_CA_FILE.
    std::string Dump(const std::string& user, const std::string& password, const std::string& rest,
                     const std::string& variables = "") const {
        return "env KIVO_CA_FILE='" + pki_.caFile + "' " + variables + KIVO_DUMP_PROGRAM +
               " 127.0.0.1:" + std::to_string(port_) + " '" + user + "' '" + password + "' " +
               rest + " 2>/dev/null";
    }

    KivoDumpTest::TemporaryFolder folder_{"tls_program_"};
    const std::string store_ = folder_.Path() + "/store.db";
    const std::string users_ = folder_.Path() + "/users";
    const std::string log_ = folder_.Path() + "/kivod.log";
    TestPki pki_;
    std::optional<Kivod> kivod_;
    uint16_t port_ = 0;
};

// The sample's 6 objects and 1994 disks over each service, byte for byte what DB mode reports.
TEST_F(TlsProgramTest, ReportsWhatDbModeReadsFromTheSameStore) {
    ASSERT_TRUE(Store(KivoDumpTest::SampleAndDisksImport(folder_.Path())));
    ASSERT_NO_FATAL_FAILURE(Serve(kOwn));
    const struct {
        const char* service;
        std::string query;
        size_t objects;
    } cases[] = {
        {"QOR", "pattern '.Nil().End()'", 2000},
        {"YEB", "Disk", 1996},
        {"TUK", std::string("Machine") + KivoDumpTest::kLimitFive, 2},
    };
    for (const auto& run : cases) {
        const std::string query = run.query + " report </dev/null";
        const Outcome db = RunCommand(std::string(KIVO_DUMP_PROGRAM) + " '" + store_ + "' u p DB " +
                                      query + " 2>/dev/null");
        const Outcome served = RunCommand(Dump(kUser, kPassword, run.service + (" " + query)));
        EXPECT_EQ(served.status, 0) << run.service << "\n" << served.output.substr(0, 2000);
        EXPECT_EQ(KivoDumpTest::Objects(db.output), run.objects) << run.query;
        EXPECT_TRUE(KivoDumpTest::SameReport(db.output, served.output)) << run.service;
    }
}

// Listening over TLS prints the records that it prints over the local sockets, and the password
// of the command line is gone from the process list while it runs.
TEST_F(TlsProgramTest, ListensAsOverTheLocalSocketsWithThePasswordHidden) {
    ASSERT_TRUE(Store("create") && Store(KivoDumpTest::ListeningStore()));
    ASSERT_NO_FATAL_FAILURE(Serve(kOwn));
    const Action hideAndWrite = [&](pid_t program, int&) {
        const std::string arguments =
            KivoDumpTest::ReadFile("/proc/" + std::to_string(program) + "/cmdline");
        EXPECT_NE(arguments.find(std::string(kUser) + '\0'), std::string::npos) << arguments;
        EXPECT_EQ(arguments.find(kPassword), std::string::npos) << arguments;
        for (const std::string& command : KivoDumpTest::ListeningChanges())
            EXPECT_TRUE(Store(command)) << command;
    };
    const Action enter = [](pid_t, int& input) { EXPECT_EQ(::write(input, "\n", 1), 1); };
    const Outcome outcome = RunWithInputHeld(
        Dump(kUser, kPassword, "QOR Disk"),
        {{KivoDumpTest::kSnapshotPrinted, hideAndWrite}, {"</deleted>\n\n", enter}},
        std::chrono::seconds(60));
    std::vector<std::string> times;
    EXPECT_EQ(KivoDumpTest::WithoutTimes(outcome.output, times), KivoDumpTest::ListeningRecords());
    EXPECT_EQ(outcome.status, 0) << KivoDumpTest::ReadFile(log_);
}

// Each failure ends the run with its code and first line, the reason below it; a wrong password
// and an unknown user print the same bytes.
TEST_F(TlsProgramTest, FailuresNameTheirReason) {
    ASSERT_TRUE(Store("create"));
    const std::string missing = folder_.Path() + "/missing-ca.pem";
    const struct {
        const char* what;
        Presented presented;
        const char* user;
        const char* password;
        const char* service;
        std::string variables;
        int status;
        std::string first;   // the first line (or its beginning)
        const char* reason;  // in the lines below it
    } cases[] = {
        {"wrong password", kOwn, kUser, "not-it", "QOR", "", 3, kBindFailed, kLoginRefused},
        {"unknown user", kOwn, "mallory", kPassword, "QOR", "", 3, kBindFailed, kLoginRefused},
        {"other host", kOtherHost, kUser, kPassword, "QOR", "", 3, kBindFailed, "0x2740015: "},
        {"untrusted CA", kUntrusted, kUser, kPassword, "QOR", "", 3, kBindFailed, "0x2740014: "},
        {"no CA file", kOwn, kUser, kPassword, "QOR", "KIVO_CA_FILE='" + missing + "' ", 255,
         "Error 0x2740011: ", "No such file or directory"},
        {"not served", kOwn, kUser, kPassword, "YEB", "", 3,
         "Error 0x3: Failed to connect to YEB\n", "error 0xfc00a2: "},
    };
    std::optional<Presented> served;
    std::string refusedLogin;  // what the first refused login printed
    for (const auto& run : cases) {
        if (served != run.presented) {
            ASSERT_NO_FATAL_FAILURE(Serve(run.presented, {"--services", "QOR"}));
            served = run.presented;
        }
        const Outcome outcome = RunCommand(Dump(
            run.user, run.password, run.service + std::string(" Disk </dev/null"), run.variables));
        EXPECT_EQ(outcome.status, run.status) << run.what << "\n" << outcome.output;
        EXPECT_EQ(outcome.output.substr(0, run.first.size()), run.first) << run.what;
        EXPECT_NE(outcome.output.find(run.reason), std::string::npos) << run.what << "\n"
                                                                      << outcome.output;
        if (std::string_view(run.reason) == kLoginRefused) {
            EXPECT_TRUE(refusedLogin.empty() || refusedLogin == outcome.output) << outcome.output;
            refusedLogin = outcome.output;
        }
    }
}

// Bytes of the service protocol sent in the clear get no Welcome: kivod ends the connection, and
// goes on serving clients that speak TLS.
TEST_F(TlsProgramTest, APlaintextClientGetsNoWelcome) {
    ASSERT_TRUE(Store("create"));
    ASSERT_NO_FATAL_FAILURE(Serve(kOwn));
    const int peer = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port_);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::connect(peer, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    const std::vector<uint8_t> hello =
        KivoWire::EncodeFrame(KivoWire::FrameKind::Hello, 0, 0, 0, KivoWire::HelloPayload(33));
    ASSERT_EQ(::send(peer, hello.data(), hello.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(hello.size()));
    std::string answer;
    char chunk[4096];
    ssize_t got = -1;
    for (pollfd readable{peer, POLLIN, 0}; ::poll(&readable, 1, 20000) == 1;) {
        if ((got = ::recv(peer, chunk, sizeof chunk, 0)) <= 0)
            break;
        answer.append(chunk, static_cast<size_t>(got));
    }
    ::close(peer);
    EXPECT_LE(got, 0) << "the connection stayed open";
    EXPECT_EQ(answer.find("KIVO"), std::string::npos) << "a frame came back";
    EXPECT_EQ(RunCommand(Dump(kUser, kPassword, "QOR Disk report </dev/null")).status, 0);
}

// Failed logins from one address are answered later and later (200 ms before the second,
// doubled for each one after), but answered; the right password still logs in after them.
TEST_F(TlsProgramTest, RepeatedFailuresAreAnsweredLaterAndLater) {
    ASSERT_TRUE(Store("create"));
    ASSERT_NO_FATAL_FAILURE(Serve(kOwn, {}, "200"));
    const auto run = [&](const char* password, int status) {
        const auto start = std::chrono::steady_clock::now();
        const Outcome outcome = RunWithInputHeld(Dump(kUser, password, "QOR Disk report"), "",
                                                 nullptr, std::chrono::seconds(30));
        EXPECT_EQ(outcome.status, status) << outcome.output;
        return std::chrono::steady_clock::now() - start;
    };
    std::chrono::steady_clock::duration last{};
    for (int attempt = 0; attempt < 4; ++attempt)
        last = run("not-it", 3);
    EXPECT_GE(last, std::chrono::milliseconds(400));
    run(kPassword, 0);
}

// A kivod killed under a listener over TLS ends the run with code 7, the lost connection as its
// reason.
TEST_F(TlsProgramTest, AListenerEndsWithCode7WhenKivodIsKilled) {
    ASSERT_TRUE(Store("create") && Store(KivoDumpTest::ListeningStore()));
    ASSERT_NO_FATAL_FAILURE(Serve(kOwn, {"--ping-ms", "100", "--dead-ms", "500"}));
    const Action kill = [&](pid_t, int&) { kivod_->Signal(SIGKILL); };
    const Outcome outcome =
        RunWithInputHeld(Dump(kUser, kPassword, "QOR Disk", "KIVO_PING_MS=100 KIVO_DEAD_MS=500 "),
                         KivoDumpTest::kSnapshotPrinted, kill, std::chrono::seconds(30));
    std::vector<std::string> times;
    const std::string output = KivoDumpTest::WithoutTimes(outcome.output, times);
    const std::string begin = KivoDumpTest::CreatedDisk(1, "a") +
                              KivoDumpTest::CreatedDisk(2, "b") +
                              "Error 0x7: Subscription has ended with error.\n";
    EXPECT_EQ(outcome.status, 7) << output;
    EXPECT_EQ(output.substr(0, begin.size()), begin);
    EXPECT_NE(output.find("error 0xae000d: "), std::string::npos) << output;
}

}  // namespace
