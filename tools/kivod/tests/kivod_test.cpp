// kivod's command line, and the program itself: ready on its descriptor, replacing a stale socket,
// refusing a second copy on the same sockets, ending on SIGTERM and SIGINT with its clients told by
// the end of their connection.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "core/common/text.h"
#include "platform/socket_server/listeners.h"
#include "platform/store/connection.h"
#include "platform/store/tests/store_test_support.h"
#include "platform/wire/frame.h"
#include "tools/kivod/kivod_options.h"

namespace {

using namespace KivoWire;

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

// One kivod on the scratch store, its standard error in the file `log`; killed at the end when it
// still runs.
struct Program {
    Program(const KivoStoreTest::ScratchFolder& folder, const std::string& log) {
        const std::string program =
            std::filesystem::canonical("/proc/self/exe").parent_path().parent_path() / "bin/kivod";
        const std::string store = folder.File("s.db"), sockets = folder.File("sockets");
        const std::string errors = folder.File(log);
        int ready[2];
        EXPECT_EQ(0, ::pipe2(ready, O_CLOEXEC));
        readyFd = ready[0];
        if ((pid = ::fork()) == 0) {
            ::dup2(ready[1], 3);
            ::dup2(::open(errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 2);
            ::execl(program.c_str(), program.c_str(), "--store", store.c_str(), "--socket-dir",
                    sockets.c_str(), "--ready-fd", "3", nullptr);
            ::_exit(127);
        }
        ::close(ready[1]);
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

TEST(Kivod, ServesUntilSignalledAndRefusesASecondCopy) {
    for (const int signal : {SIGTERM, SIGINT}) {
        KivoStoreTest::ScratchFolder folder;
        KivoStore::CreateStore(folder.WideFile("s.db"));
        const std::string sockets = folder.File("sockets");
        std::filesystem::create_directory(sockets);
        ::close(KivoServer::Listen(sockets, 34, std::nullopt).fd);  // stale: its owner has gone
        Program kivod(folder, "log");
        ASSERT_EQ("unix " + sockets + "/qor.sock\nunix " + sockets + "/yeb.sock\nunix " + sockets +
                      "/tuk.sock\nunix " + sockets + "/kivo.sock\nready\n",
                  kivod.Ready());
        Program second(folder, "second.log");
        ASSERT_EQ("", second.Ready());
        EXPECT_EQ(255, second.Status());
        std::ifstream refused(folder.File("second.log"));
        EXPECT_NE(std::string::npos, std::string(std::istreambuf_iterator<char>(refused), {})
                                         .find("Another service already answers"));

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

}  // namespace
