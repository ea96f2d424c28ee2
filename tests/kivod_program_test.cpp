// Runs the built kivod: ready with the TCP port it chose, replacing a stale socket, refusing a
// second copy and a key or users file open to others, ending on SIGTERM and SIGINT with its clients
// told, telling a service manager when it is ready and stopping; usage mistakes; and
// `kivod passwd` adding and changing a user through standard input.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <filesystem>

#include "platform/security/users_file.h"
#include "platform/socket_server/listeners.h"
#include "platform/store/connection.h"
#include "platform/wire/frame.h"
#include "tests/support/programs.h"
#include "tests/support/temporary_folder.h"
#include "tests/support/test_pki.h"

namespace {

using KivoTestSupport::Kivod;
using KivoTestSupport::ReadFile;

// A store, test certificates and a users file in a folder, and the arguments that serve them on
// the folder's socket directory and on TCP port 0, with the ready descriptor 3.
struct Served {
    Served() {
        KivoStore::CreateStore(folder.WideFile("s.db"));
        KivoSecurityTesting::WriteTestUsers(folder.File("users"), {{"u", "p"}});
    }
    KivoTestSupport::TemporaryFolder folder{"kivod_program_"};
    const KivoSecurityTesting::TestPki pki = KivoSecurityTesting::MakeTestPki(folder.Path());
    const std::vector<std::string> arguments{"--store",      folder.File("s.db"),
                                             "--socket-dir", folder.File("sockets"),
                                             "--ready-fd",   "3",
                                             "--listen",     "127.0.0.1:0",
                                             "--tls-cert",   pki.serverCertFile,
                                             "--tls-key",    pki.serverKeyFile,
                                             "--users",      folder.File("users")};
};

TEST(KivodProgram, ServesUntilSignalledAndRefusesASecondCopy) {
    for (const int signal : {SIGTERM, SIGINT}) {
        Served served;
        const std::string sockets = served.folder.File("sockets");
        std::filesystem::create_directory(sockets);
        ::close(KivoServer::Listen(sockets, 34, std::nullopt).fd);  // stale: its owner has gone
        Kivod kivod(served.arguments, served.folder.File("log"));
        const std::string ready = kivod.ReadyText();
        const size_t at = std::min(ready.find("tcp 127.0.0.1:") + 14, ready.size());
        const std::string port = std::to_string(std::atoi(ready.c_str() + at));
        ASSERT_EQ("unix " + sockets + "/qor.sock\nunix " + sockets + "/yeb.sock\nunix " + sockets +
                      "/tuk.sock\nunix " + sockets + "/kivo.sock\ntcp 127.0.0.1:" + port +
                      "\nready\n",
                  ready);
        Kivod second(served.arguments, served.folder.File("second.log"));
        ASSERT_EQ("", second.ReadyText());
        EXPECT_EQ(255, second.Stop(0));
        EXPECT_NE(
            std::string::npos,
            ReadFile(served.folder.File("second.log")).find("Another service already answers"));

        const int client = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{AF_UNIX, {}};
        (sockets + "/kivo.sock").copy(address.sun_path, sizeof address.sun_path - 1);
        ASSERT_EQ(0, ::connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address));
        const timeval bound{20, 0};  // each read below
        ::setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);
        const std::vector<uint8_t> hello =
            KivoWire::EncodeFrame(KivoWire::FrameKind::Hello, 0, 0, 0, KivoWire::HelloPayload(46));
        ASSERT_EQ(static_cast<ssize_t>(hello.size()), ::write(client, hello.data(), hello.size()));
        uint8_t welcome[44];
        ASSERT_EQ(44, ::recv(client, welcome, sizeof welcome, MSG_WAITALL));
        kivod.Signal(signal);
        EXPECT_EQ(0, ::recv(client, welcome, 1, 0));  // the connection ends, nothing more
        ::close(client);
        EXPECT_EQ(0, kivod.Stop(0));
        EXPECT_TRUE(std::filesystem::is_empty(sockets));
    }
}

TEST(KivodProgram, RefusesAKeyOrUsersFileOpenToOthers) {
    for (const bool key : {true, false}) {
        Served served;
        const std::string file = key ? served.pki.serverKeyFile : served.folder.File("users");
        ASSERT_EQ(0, ::chmod(file.c_str(), key ? 0644 : 0640));
        Kivod kivod(served.arguments, served.folder.File("log"));
        ASSERT_EQ("", kivod.ReadyText());
        EXPECT_EQ(255, kivod.Stop(0));
        const std::string log = ReadFile(served.folder.File("log"));
        EXPECT_NE(std::string::npos, log.find("0x2740017")) << log;  // kFileTooOpen
        EXPECT_NE(std::string::npos, log.find(file)) << log;
    }
}

// Each line of standard input is one run's password: the user is added, then changed (a carriage
// return before the line feed is not part of the password); an empty or missing password changes
// nothing.
TEST(KivodProgram, PasswdAddsThenChangesAUserFromStandardInput) {
    const KivoTestSupport::TemporaryFolder folder("kivod_passwd_");
    const std::string users = folder.File("users");
    const struct {
        const char* input;
        int status;
        const char* says;  // on standard output after a success, else on standard error
    } runs[] = {
        {"first\n", 0, "kivod: user alice added\n"},
        {"second\r\n", 0, "kivod: user alice changed\n"},
        {"\n", 255, "The password is empty"},
        {"", 255, "No password came"},
    };
    for (const auto& run : runs) {
        SCOPED_TRACE(run.input);
        const std::string log = folder.File(std::to_string(&run - runs));
        Kivod passwd({"passwd", users, "alice"}, log, run.input);
        EXPECT_EQ(run.status, passwd.Stop(0));
        const std::string said = ReadFile(run.status == 0 ? log + ".out" : log);
        EXPECT_NE(std::string::npos, said.find(run.says)) << said;
    }
    std::vector<KivoSecurity::PasswordRecord> records;  // also refused if open to others
    ASSERT_TRUE(KivoSecurity::ReadUsersFile(users, records).IsEmpty());
    EXPECT_EQ(1u, records.size());
    KivoSecurity::PasswordVerifier verifier(users);
    ASSERT_TRUE(verifier.Load().IsEmpty());
    EXPECT_TRUE(verifier.Verify("alice", "second"));
}

// The service manager's socket, in the file system or the abstract namespace ("@name"), hears
// READY=1 once every socket listens and STOPPING=1 when kivod stops.
TEST(KivodProgram, TellsTheServiceManagerWhenReadyAndWhenStopping) {
    const KivoTestSupport::TemporaryFolder folder("kivod_notify_");
    KivoStore::CreateStore(folder.WideFile("s.db"));
    const std::string sockets = folder.File("sockets");
    for (const std::string& name :
         {folder.File("notify"), "@kivod_notify_test_" + std::to_string(::getpid())}) {
        SCOPED_TRACE(name);
        const int manager = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{AF_UNIX, {}};
        name.copy(address.sun_path, sizeof address.sun_path - 1);
        if (name[0] == '@')
            address.sun_path[0] = '\0';
        ASSERT_EQ(0, ::bind(manager, reinterpret_cast<sockaddr*>(&address),
                            static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size())));
        const timeval bound{30, 0};
        ::setsockopt(manager, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);
        const auto heard = [&] {
            char datagram[512];
            const ssize_t got = ::recv(manager, datagram, sizeof datagram, 0);
            return std::string(datagram, got > 0 ? static_cast<size_t>(got) : 0);
        };

        ::setenv("NOTIFY_SOCKET", name.c_str(), 1);
        Kivod kivod({"--store", folder.File("s.db"), "--socket-dir", sockets}, folder.File("log"));
        ::unsetenv("NOTIFY_SOCKET");
        EXPECT_EQ("READY=1\nSTATUS=serving " + folder.File("s.db") + " in " + sockets, heard());
        EXPECT_TRUE(std::filesystem::exists(sockets + "/kivo.sock"));
        kivod.Signal(SIGTERM);
        EXPECT_EQ("STOPPING=1", heard());
        EXPECT_EQ(0, kivod.Stop(0));
        ::close(manager);
    }
}

// A usage mistake says what is wrong, on standard error only and without an error's internals.
TEST(KivodProgram, AUsageMistakeExitsTwoWithoutInternals) {
    const std::string kivod = KivoTestSupport::ProgramPath("kivod");
    const KivoTestSupport::Outcome bad = KivoTestSupport::RunCommand(kivod + " --bogus 2>&1");
    EXPECT_EQ(2, bad.status);
    EXPECT_EQ("kivod: '--bogus' is not a flag of kivod\nTry 'kivod --help' for more information.\n",
              bad.output);
    const KivoTestSupport::Outcome quiet = KivoTestSupport::RunCommand(kivod + " 2>/dev/null");
    EXPECT_EQ(2, quiet.status);
    EXPECT_EQ("", quiet.output);
}

}  // namespace
