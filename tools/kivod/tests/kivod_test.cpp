// kivod's command line, and the program itself: ready on its descriptor, replacing a stale socket,
// refusing a second copy on the same sockets, ending on SIGTERM and SIGINT with its clients told by
// the end of their connection.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "core/common/text.h"
#include "platform/store/store.h"
#include "platform/store/tests/store_test_support.h"
#include "platform/wire/frame.h"
#include "tools/kivod/kivod_options.h"

namespace {

TEST(KivodOptions, BadCommandLinesAreRefusedNamingTheFlag) {
    const struct {
        std::vector<std::string> arguments;
        const char* says;
    } cases[] = {
        {{}, "--store"},
        {{"--store"}, "--store needs a value"},
        {{"--store", "s.db", "--port", "1"}, "'--port' is not a flag"},
        {{"--store", "s.db", "extra"}, "'extra' is not a flag"},
        {{"--store", "s.db", "--services", "QOR,DB"}, "not 'QOR,DB'"},
        {{"--store", "s.db", "--services", "qor,QOR"}, "QOR twice"},
        {{"--store", "s.db", "--services", ""}, "--services"},
        {{"--store", "s.db", "--interface-version", "3"}, "from 1 to 2, not '3'"},
        {{"--store", "s.db", "--ping-ms", "-5"}, "not '-5'"},
        {{"--store", "s.db", "--ping-ms", "99999999999"}, "--ping-ms"},
        {{"--store", "s.db", "--dead-ms=0"}, "from 1 to"},
        {{"--store", "s.db", "--ping-ms", "500", "--dead-ms", "500"}, "must pass --ping-ms"},
        {{"--store", "s.db", "--local-group", "no such group here"}, "names no group"},
        {{"--store", "s.db", "--ready-fd", "x"}, "--ready-fd"},
        {{"--store", "s.db", "--socket-dir="}, "needs a directory"},
    };
    for (const auto& c : cases) {
        try {
            (void)Kivod::ParseOptions(c.arguments);
            ADD_FAILURE() << c.says << ": accepted";
        } catch (const Common::Error& error) {
            EXPECT_EQ(Kivod::kUsage, error.Code()) << c.says;
            EXPECT_NE(std::string::npos, Common::ToUtf8(error.Message()).find(c.says))
                << Common::ToUtf8(error.Message());
        }
    }
}

// One kivod started on a scratch store, its standard error in a file.
class Program {
  public:
    Program(const KivoStoreTest::ScratchFolder& folder, const std::string& name) {
        const std::string program =
            std::filesystem::canonical("/proc/self/exe").parent_path().parent_path() / "bin/kivod";
        int ready[2];
        EXPECT_EQ(0, ::pipe2(ready, O_CLOEXEC));
        readyFd_ = ready[0];
        std::vector<std::string> arguments = {
            program,      "--store", folder.File("s.db"), "--socket-dir", folder.File("sockets"),
            "--ready-fd", "3"};
        std::vector<char*> argv;
        for (std::string& argument : arguments)
            argv.push_back(argument.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, ready[1], 3);
        posix_spawn_file_actions_addopen(&actions, 2, folder.File(name).c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0600);
        EXPECT_EQ(0,
                  ::posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), environ));
        posix_spawn_file_actions_destroy(&actions);
        ::close(ready[1]);
    }
    ~Program() {
        ::close(readyFd_);
        if (pid_ > 0 && status_ < 0) {
            ::kill(pid_, SIGKILL);
            (void)Status();
        }
    }
    // What kivod wrote on its ready descriptor until it closed it.
    std::string Ready() {
        std::string text;
        char chunk[256];
        for (pollfd wanted{readyFd_, POLLIN, 0}; ::poll(&wanted, 1, 20000) == 1;) {
            const ssize_t got = ::read(readyFd_, chunk, sizeof chunk);
            if (got <= 0)
                break;
            text.append(chunk, static_cast<size_t>(got));
        }
        return text;
    }
    int Status() {
        int status = 0;
        if (::waitpid(pid_, &status, 0) == pid_)
            status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        return status_;
    }
    pid_t Pid() const { return pid_; }

  private:
    pid_t pid_ = 0;
    int readyFd_ = -1;
    int status_ = -1;
};

TEST(Kivod, ServesUntilSignalledAndRefusesASecondCopy) {
    for (const int signal : {SIGTERM, SIGINT}) {
        KivoStoreTest::ScratchFolder folder;
        KivoStore::CreateStore(folder.WideFile("s.db"));
        const std::string sockets = folder.File("sockets");
        {
            // A socket left by a kivod that has gone is replaced.
            std::filesystem::create_directory(sockets);
            sockaddr_un stale{AF_UNIX, {}};
            (sockets + "/yeb.sock").copy(stale.sun_path, sizeof stale.sun_path - 1);
            const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
            ASSERT_EQ(0, ::bind(fd, reinterpret_cast<sockaddr*>(&stale), sizeof stale));
            ::close(fd);
        }
        Program kivod(folder, "log");
        ASSERT_EQ("unix " + sockets + "/qor.sock\nunix " + sockets + "/yeb.sock\nunix " + sockets +
                      "/tuk.sock\nunix " + sockets + "/kivo.sock\nready\n",
                  kivod.Ready());
        Program second(folder, "second.log");
        EXPECT_EQ("", second.Ready());
        EXPECT_EQ(255, second.Status());

        const int client = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{AF_UNIX, {}};
        const std::string path = sockets + "/kivo.sock";
        path.copy(address.sun_path, sizeof address.sun_path - 1);
        ASSERT_EQ(0, ::connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address));
        const std::vector<uint8_t> hello =
            KivoWire::EncodeFrame(KivoWire::FrameKind::Hello, 0, 0, 0, KivoWire::HelloPayload(46));
        ASSERT_EQ(static_cast<ssize_t>(hello.size()), ::write(client, hello.data(), hello.size()));
        uint8_t welcome[44];
        ASSERT_EQ(static_cast<ssize_t>(sizeof welcome),
                  ::recv(client, welcome, sizeof welcome, MSG_WAITALL));

        ::kill(kivod.Pid(), signal);
        EXPECT_EQ(0, ::recv(client, welcome, 1, 0));  // the connection ends, nothing more
        ::close(client);
        EXPECT_EQ(0, kivod.Status());
        EXPECT_TRUE(std::filesystem::is_empty(sockets));
        std::stringstream log;
        log << std::ifstream(folder.File("log")).rdbuf();
        EXPECT_NE(std::string::npos, log.str().find("closed: the service stops")) << log.str();
        std::stringstream refused;
        refused << std::ifstream(folder.File("second.log")).rdbuf();
        EXPECT_NE(std::string::npos, refused.str().find("Another service already answers"))
            << refused.str();
    }
}

}  // namespace
