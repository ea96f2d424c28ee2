#include "tools/kivod/tests/kivod_program_support.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace KivodTest {

std::vector<std::string> Serving(const KivoStoreTest::ScratchFolder& folder) {
    return {"--store", folder.File("s.db"), "--socket-dir", folder.File("sockets"), "--ready-fd",
            "3"};
}

std::string FileText(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), {});
}

Program::Program(const std::vector<std::string>& arguments, const std::string& log,
                 const std::string& input) {
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

Program::~Program() {
    ::close(readyFd);
    if (pid > 0 && status < 0)
        (void)Status(SIGKILL);
}

std::string Program::Ready() {
    pollfd closed{readyFd, 0, 0};
    char text[4096];
    const ssize_t got = ::poll(&closed, 1, 20000) == 1 ? ::read(readyFd, text, sizeof text) : 0;
    return std::string(text, static_cast<size_t>(std::max<ssize_t>(got, 0)));
}

int Program::Status(int signal) {
    if (signal != 0)
        ::kill(pid, signal);
    int raw = 0;
    if (::waitpid(pid, &raw, 0) == pid)
        status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
    return status;
}

}  // namespace KivodTest
