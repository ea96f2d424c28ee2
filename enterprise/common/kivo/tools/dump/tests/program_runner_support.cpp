#include "enterprise/common/kivo/tools/dump/tests/program_runner_support.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>

namespace KivoDumpTest {

Outcome RunCommand(const std::string& command) {
    FILE* pipe = popen(command.c_str(), "r");
    EXPECT_NE(pipe, nullptr) << command;
    Outcome outcome{{}, -1};
    if (pipe == nullptr)
        return outcome;
    char chunk[4096];
    size_t read;
    while ((read = fread(chunk, 1, sizeof chunk, pipe)) > 0)
        outcome.output.append(chunk, read);
    const int raw = pclose(pipe);
    outcome.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    return outcome;
}

namespace {

void CloseDescriptor(int& descriptor) {
    if (descriptor >= 0)
        ::close(descriptor);
    descriptor = -1;
}

}  // namespace

ChildProgram::ChildProgram(const std::string& command) {
    // A write to a program that has ended must fail, not end the test.
    std::signal(SIGPIPE, SIG_IGN);
    const std::string execCommand = "exec " + command;
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || (pid_ = fork()) < 0) {
        ADD_FAILURE() << "cannot start " << command;
        return;
    }
    if (pid_ == 0) {
        dup2(in[0], STDIN_FILENO);
        dup2(out[1], STDOUT_FILENO);
        for (int signal : {SIGINT, SIGTERM, SIGPIPE})
            std::signal(signal, SIG_DFL);
        execl("/bin/sh", "sh", "-c", execCommand.c_str(), nullptr);
        _exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    input_ = in[1];
    output_fd_ = out[0];
}

ChildProgram::~ChildProgram() {
    Finish(std::chrono::milliseconds(0));
    CloseDescriptor(input_);
}

bool ChildProgram::ReadUntil(const std::function<bool(const std::string&)>& done,
                             std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done(output_) && output_fd_ >= 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd stream{output_fd_, POLLIN, 0};
        if (left.count() <= 0 || poll(&stream, 1, static_cast<int>(left.count())) <= 0)
            break;
        char chunk[4096];
        const ssize_t read = ::read(output_fd_, chunk, sizeof chunk);
        if (read <= 0)
            CloseDescriptor(output_fd_);
        else
            output_.append(chunk, static_cast<size_t>(read));
    }
    return done(output_);
}

void ChildProgram::Write(const std::string& text) {
    EXPECT_EQ(::write(input_, text.data(), text.size()), static_cast<ssize_t>(text.size()));
}

void ChildProgram::CloseInput() {
    CloseDescriptor(input_);
}

void ChildProgram::CloseOutput() {
    CloseDescriptor(output_fd_);
}

void ChildProgram::Signal(int signal) {
    ::kill(pid_, signal);
}

int ChildProgram::Finish(std::chrono::milliseconds timeout) {
    if (pid_ <= 0)
        return -1;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    ReadUntil([](const std::string&) { return false; }, timeout);
    // The program may end after its output did: wait for the process itself.
    const int process = static_cast<int>(syscall(SYS_pidfd_open, pid_, 0));
    pollfd ended{process, POLLIN, 0};
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (process < 0 || poll(&ended, 1, static_cast<int>(std::max<int64_t>(0, left.count()))) <= 0)
        ::kill(pid_, SIGKILL);
    int raw = 0;
    waitpid(pid_, &raw, 0);
    CloseDescriptor(output_fd_);
    if (process >= 0)
        ::close(process);
    pid_ = -1;
    return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
}

TemporaryFolder::TemporaryFolder(const std::string& prefix) {
    std::string pattern = "/tmp/" + prefix + "XXXXXX";
    if (mkdtemp(pattern.data()) != nullptr)
        path_ = pattern;
}

TemporaryFolder::~TemporaryFolder() {
    if (!path_.empty())
        RunCommand("rm -rf '" + path_ + "'");
}

}  // namespace KivoDumpTest
