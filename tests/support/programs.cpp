#include "tests/support/programs.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <utility>

#include "core/common/error/error.h"

namespace KivoTestSupport {
namespace {

// The milliseconds left until `deadline`; 0 once it has passed.
int Left(std::chrono::steady_clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    return static_cast<int>(std::max<int64_t>(0, left.count()));
}

// Waits up to `bound` for the child `program` to end, killing it (SIGKILL) after that; its exit
// status, -1 when it did not exit.
int AwaitEnd(pid_t program, std::chrono::milliseconds bound) {
    pollfd ended{static_cast<int>(::syscall(SYS_pidfd_open, program, 0)), POLLIN, 0};
    if (ended.fd < 0 || ::poll(&ended, 1, static_cast<int>(bound.count())) <= 0)
        ::kill(program, SIGKILL);
    if (ended.fd >= 0)
        ::close(ended.fd);
    int raw = 0;
    ::waitpid(program, &raw, 0);
    return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
}

}  // namespace

std::string ProgramPath(const std::string& name) {
    return std::string(KIVO_PROGRAM_DIR "/") + name;
}

Outcome RunCommand(const std::string& command, const std::vector<Step>& steps,
                   std::chrono::milliseconds timeout) {
    // A write to a program that has ended must fail, not end the test.
    std::signal(SIGPIPE, SIG_IGN);
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    int in[2], out[2];
    pid_t program = -1;
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0 || (program = ::fork()) < 0)
        throw Common::LastSystemError(COMMON_PLACE("KivoTestSupport::RunCommand"),
                                      Common::kSystemCodeError);
    if (program == 0) {
        ::dup2(in[0], STDIN_FILENO);
        ::dup2(out[1], STDOUT_FILENO);
        for (int signal : {SIGINT, SIGTERM, SIGPIPE})
            std::signal(signal, SIG_DFL);
        ::execl("/bin/sh", "sh", "-c", command.c_str(), nullptr);
        ::_exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    int input = in[1];
    Outcome outcome;
    pollfd stream{out[0], POLLIN, 0};
    for (size_t next = 0;;) {
        while (next < steps.size() && outcome.output.ends_with(steps[next].cue))
            steps[next++].act(program, input);
        char chunk[4096];
        if (Left(deadline) == 0 || ::poll(&stream, 1, Left(deadline)) <= 0)
            break;
        const ssize_t read = ::read(out[0], chunk, sizeof chunk);
        if (read <= 0)
            break;
        outcome.output.append(chunk, static_cast<size_t>(read));
    }
    // The program may end after its output did: wait for the process itself.
    outcome.status = AwaitEnd(program, std::chrono::milliseconds(Left(deadline)));
    for (int descriptor : {input, out[0]})
        if (descriptor >= 0)
            ::close(descriptor);
    return outcome;
}

std::string ReadFile(const std::string& path) {
    std::stringstream contents;
    contents << std::ifstream(path, std::ios::binary).rdbuf();
    return contents.str();
}

Kivod::Kivod(const std::vector<std::string>& arguments, const std::string& log,
             const std::string& input) {
    int ready[2], in[2];
    if (::pipe2(ready, O_CLOEXEC) != 0 || ::pipe2(in, O_CLOEXEC) != 0)
        throw Common::LastSystemError(COMMON_PLACE("KivoTestSupport::Kivod::Kivod"),
                                      Common::kSystemCodeError);
    ready_ = ready[0];
    const std::string program = ProgramPath("kivod"), out = log + ".out";
    std::vector<char*> argv = {const_cast<char*>(program.c_str())};
    for (const std::string& argument : arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, ready[1], 3);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, out.c_str(),
                                     O_WRONLY | O_CREAT | O_APPEND, 0600);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, log.c_str(),
                                     O_WRONLY | O_CREAT | O_APPEND, 0600);
    const int spawned =
        ::posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(ready[1]);
    ::close(in[0]);
    if (spawned != 0) {
        errno = spawned;
        throw Common::LastSystemError(COMMON_PLACE("KivoTestSupport::Kivod::Kivod"),
                                      Common::kSystemCodeError);
    }
    // Small enough for the pipe: written whole without a reader.
    [[maybe_unused]] const ssize_t written = ::write(in[1], input.data(), input.size());
    ::close(in[1]);
}

Kivod::~Kivod() {
    (void)Stop();
    ::close(ready_);
}

std::string Kivod::ReadyText() const {
    std::string text;
    char chunk[256];
    for (pollfd wanted{ready_, POLLIN, 0}; ::poll(&wanted, 1, 30000) == 1;) {
        const ssize_t got = ::read(ready_, chunk, sizeof chunk);
        if (got <= 0)
            break;
        text.append(chunk, static_cast<size_t>(got));
    }
    return text;
}

bool Kivod::Ready(uint16_t* port) const {
    const std::string text = ReadyText();
    std::istringstream lines(text);
    bool listens = false;
    long tcp = 0;
    for (std::string line; std::getline(lines, line) && line != "ready"; listens = true) {
        if (line.starts_with("tcp "))
            tcp = std::strtol(line.c_str() + line.rfind(':') + 1, nullptr, 10);
        else if (!line.starts_with("unix "))
            return false;
    }
    if (port != nullptr)
        *port = static_cast<uint16_t>(tcp);
    return listens && text.ends_with("\nready\n") && (port == nullptr || (tcp > 0 && tcp < 65536));
}

void Kivod::Signal(int signal) const {
    if (pid_ > 0)
        ::kill(pid_, signal);
}

int Kivod::Stop(int signal) {
    if (pid_ <= 0)
        return -1;
    if (signal != 0) {
        Signal(signal);
        Signal(SIGCONT);
    }
    return AwaitEnd(std::exchange(pid_, -1), std::chrono::seconds(10));
}

}  // namespace KivoTestSupport
