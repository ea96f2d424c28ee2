// kivod's command line, and the program itself: ready on its descriptor with the TCP port it
// chose, replacing a stale socket, refusing a second copy on the same sockets, ending on SIGTERM
// and SIGINT with its clients told by the end of their connection; refusing a key or users file
// open to others; and `kivod passwd` adding and changing a user through standard input.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "core/common/text.h"
#include "platform/security/users_file.h"
#include "platform/socket_server/listeners.h"
#include "platform/store/connection.h"
#include "platform/store/tests/store_test_support.h"
#include "platform/wire/frame.h"
#include "tests/support/test_pki.h"
#include "tools/kivod/kivod_options.h"

namespace {

using namespace KivoWire;

std::string FileText(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), {});
}

// One kivod with `arguments`: its standard error in the file `log`, its standard output in
// "<log>.out", its standard input `input` and then its end, its ready descriptor 3; killed at the
// end when it still runs.
struct Program {
    Program(const std::vector<std::string>& arguments, const std::string& log,
            const std::string& input = "") {
        const std::string program =
            std::filesystem::canonical("/proc/self/exe").parent_path().parent_path() / "bin/kivod";
        std::vector<const char*> argv{program.c_str()};
        for (const std::string& argument : arguments)
            argv.push_back(argument.c_str());
        argv.push_back(nullptr);
        const std::string out = log + ".out";
        int ready[2], in[2];
        EXPECT_EQ(0, ::pipe2(ready, O_CLOEXEC));
        EXPECT_EQ(0, ::pipe2(in, O_CLOEXEC));
        readyFd = ready[0];
        if ((pid = ::fork()) == 0) {
            ::dup2(in[0], 0);
            ::dup2(::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 1);
            ::dup2(::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 2);
            ::dup2(ready[1], 3);
            ::execv(program.c_str(), const_cast<char* const*>(argv.data()));
            ::_exit(127);
        }
        ::close(ready[1]);
        ::close(in[0]);
        // Small enough for the pipe: written whole without a reader.
        EXPECT_EQ(static_cast<ssize_t>(input.size()), ::write(in[1], input.data(), input.size()));
        ::close(in[1]);
    }
    ~Program() {
        ::close(readyFd);
        if (pid > 0 && status < 0)
            (void)Status(SIGKILL);
    }
    // What kivod wrote on its ready descriptor, once it closed it.
    std::string Ready() {
        pollfd closed{readyFd, 0, 0};
        char text[4096];
        const ssize_t got = ::poll(&closed, 1, 20000) == 1 ? ::read(readyFd, text, sizeof text) : 0;
        return std::string(text, static_cast<size_t>(std::max<ssize_t>(got, 0)));
    }
    // Sends `signal` (when not 0), then waits for the end: the exit status, or 128 + the signal.
    int Status(int signal = 0) {
        if (signal != 0)
            ::kill(pid, signal);
        int raw = 0;
        if (::waitpid(pid, &raw, 0) == pid)
            status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
        return status;
    }

    pid_t pid = 0;
    int readyFd = -1;
    int status = -1;
};

// A store, test certificates and a users file in a folder, and the arguments that serve them on
// the folder's socket directory and on TCP port 0, with the ready descriptor 3.
struct Served {
    Served() {
        KivoStore::CreateStore(folder.WideFile("s.db"));
        KivoSecurityTesting::WriteTestUsers(folder.File("users"), {{"u", "p"}});
    }
    KivoStoreTest::ScratchFolder folder;
    const KivoSecurityTesting::TestPki pki = KivoSecurityTesting::MakeTestPki(folder.File("."));
    const std::vector<std::string> arguments{"--store",      folder.File("s.db"),
                                             "--socket-dir", folder.File("sockets"),
                                             "--ready-fd",   "3",
                                             "--listen",     "127.0.0.1:0",
                                             "--tls-cert",   pki.serverCertFile,
                                             "--tls-key",    pki.serverKeyFile,
                                             "--users",      folder.File("users")};
};

TEST(KivodOptions, BadCommandLinesAreRefusedNamingTheFlag) {
    const std::pair<std::vector<std::string>, const char*> cases[] = {
        {{}, "--store"},
        {{"--store"}, "--store needs a value"},
        {{"--store", "s.db", "--port", "1"}, "'--port' is not a flag"},
        {{"--store", "s.db", "--services", "QOR,DB"}, "not 'QOR,DB'"},
        {{"--store", "s.db", "--services", "qor,QOR"}, "QOR twice"},
        {{"--store", "s.db", "--interface-version", "3"}, "from 1 to 2, not '3'"},
        {{"--store", "s.db", "--ping-ms", "-5"}, "not '-5'"},
        {{"--store", "s.db", "--dead-ms=0"}, "from 1 to"},
        {{"--store", "s.db", "--ping-ms", "500", "--dead-ms", "500"}, "must pass --ping-ms"},
        {{"--store", "s.db", "--local-group", "no such group here"}, "names no group"},
        {{"--store", "s.db", "--socket-dir="}, "needs a directory"},
        {{"--store", "s.db", "--listen", "127.0.0.1:0"},
         "--listen needs --tls-cert, --tls-key, --users as well"},
        {{"--store", "s.db", "--listen=127.0.0.1:0", "--tls-cert=c", "--tls-key=k"},
         "needs --users as well"},
        {{"--store", "s.db", "--users", "u"}, "--users is only for --listen"},
        {{"--store", "s.db", "--listen", "::1:7446", "--tls-cert=c", "--tls-key=k", "--users=u"},
         "not '::1:7446'"},
        {{"--store", "s.db", "--listen", "127.0.0.1:65536", "--tls-cert=c", "--tls-key=k",
          "--users=u"},
         "not '127.0.0.1:65536'"},
        {{"--store", "s.db", "--login-delay-ms", "60001"}, "from 0 to 60000"},
        {{"passwd", "users"}, "takes a users file and a user"},
        {{"passwd", "users", "u", "password"}, "takes a users file and a user"},
    };
    for (const auto& [arguments, says] : cases) {
        std::string said = "nothing: accepted";
        try {
            (void)Kivod::ParseOptions(arguments);
        } catch (const Common::Error& error) {
            said = error.Code() == Kivod::kUsage ? Common::ToUtf8(error.Message()) : "not kUsage";
        }
        EXPECT_NE(std::string::npos, said.find(says)) << said;
    }
}

TEST(Kivod, ServesUntilSignalledAndRefusesASecondCopy) {
    for (const int signal : {SIGTERM, SIGINT}) {
        Served served;
        const std::string sockets = served.folder.File("sockets");
        std::filesystem::create_directory(sockets);
        ::close(KivoServer::Listen(sockets, 34, std::nullopt).fd);  // stale: its owner has gone
        Program kivod(served.arguments, served.folder.File("log"));
        const std::string ready = kivod.Ready();
        const size_t at = std::min(ready.find("tcp 127.0.0.1:") + 14, ready.size());
        const std::string port = std::to_string(std::atoi(ready.c_str() + at));
        ASSERT_EQ("unix " + sockets + "/qor.sock\nunix " + sockets + "/yeb.sock\nunix " + sockets +
                      "/tuk.sock\nunix " + sockets + "/kivo.sock\ntcp 127.0.0.1:" + port +
                      "\nready\n",
                  ready);
        Program second(served.arguments, served.folder.File("second.log"));
        ASSERT_EQ("", second.Ready());
        EXPECT_EQ(255, second.Status());
        EXPECT_NE(
            std::string::npos,
            FileText(served.folder.File("second.log")).find("Another service already answers"));

        const int remote = ::socket(AF_INET, SOCK_STREAM, 0);
        const sockaddr_in peer{
            AF_INET, htons(static_cast<uint16_t>(std::stoi(port))), {htonl(INADDR_LOOPBACK)}, {}};
        EXPECT_EQ(0, ::connect(remote, reinterpret_cast<const sockaddr*>(&peer), sizeof peer));
        ::close(remote);
        const int client = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{AF_UNIX, {}};
        (sockets + "/kivo.sock").copy(address.sun_path, sizeof address.sun_path - 1);
        ASSERT_EQ(0, ::connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address));
        const std::vector<uint8_t> hello = EncodeFrame(FrameKind::Hello, 0, 0, 0, HelloPayload(46));
        ASSERT_EQ(static_cast<ssize_t>(hello.size()), ::write(client, hello.data(), hello.size()));
        uint8_t welcome[44];
        ASSERT_EQ(44, ::recv(client, welcome, sizeof welcome, MSG_WAITALL));
        ::kill(kivod.pid, signal);
        EXPECT_EQ(0, ::recv(client, welcome, 1, 0));  // the connection ends, nothing more
        ::close(client);
        EXPECT_EQ(0, kivod.Status());
        EXPECT_TRUE(std::filesystem::is_empty(sockets));
    }
}

TEST(Kivod, RefusesAKeyOrUsersFileOpenToOthers) {
    for (const bool key : {true, false}) {
        Served served;
        const std::string file = key ? served.pki.serverKeyFile : served.folder.File("users");
        ASSERT_EQ(0, ::chmod(file.c_str(), key ? 0644 : 0640));
        Program kivod(served.arguments, served.folder.File("log"));
        ASSERT_EQ("", kivod.Ready());
        EXPECT_EQ(255, kivod.Status());
        const std::string log = FileText(served.folder.File("log"));
        EXPECT_NE(std::string::npos, log.find("0x2740017")) << log;  // kFileTooOpen
        EXPECT_NE(std::string::npos, log.find(file)) << log;
    }
}

// Each line of standard input is one run's password: the user is added, then changed (a carriage
// return before the line feed is not part of the password); an empty or missing password changes
// nothing.
TEST(Kivod, PasswdAddsThenChangesAUserFromStandardInput) {
    KivoStoreTest::ScratchFolder folder;
    const std::string users = folder.File("users");
    const struct {
        const char* input;
        int status;
        const char* says;
    } runs[] = {
        {"first\n", 0, "kivod: user alice added\n"},
        {"second\r\n", 0, "kivod: user alice changed\n"},
        {"\n", 255, "The password is empty"},
        {"", 255, "No password came"},
    };
    for (const auto& run : runs) {
        SCOPED_TRACE(run.input);
        Program passwd({"passwd", users, "alice"}, folder.File("log"), run.input);
        EXPECT_EQ(run.status, passwd.Status());
        const std::string said = FileText(folder.File(run.status == 0 ? "log.out" : "log"));
        EXPECT_NE(std::string::npos, said.find(run.says)) << said;
    }
    std::vector<KivoSecurity::PasswordRecord> records;  // also refused if open to others
    ASSERT_TRUE(KivoSecurity::ReadUsersFile(users, records).IsEmpty());
    EXPECT_EQ(1u, records.size());
    KivoSecurity::PasswordVerifier verifier(users);
    ASSERT_TRUE(verifier.Load().IsEmpty());
    EXPECT_TRUE(verifier.Verify("alice", "second"));
}

}  // namespace
