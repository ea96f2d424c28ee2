#include "enterprise/common/kivo/tools/dump/tests/program_runner_support.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <vector>

extern char** environ;

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

ChildProgram::ChildProgram(const std::vector<std::string>& arguments,
                           const std::vector<std::string>& environment) {
    // A write to a program that has ended must fail, not end the test.
    std::signal(SIGPIPE, SIG_IGN);
    int in[2], out[2], err[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "no pipes";
        return;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t defaults;
    sigemptyset(&defaults);
    for (int signal : {SIGINT, SIGTERM, SIGPIPE})
        sigaddset(&defaults, signal);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);

    std::vector<char*> argv;
    for (const std::string& argument : arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (char** entry = environ; *entry != nullptr; ++entry)
        envp.push_back(*entry);
    for (const std::string& entry : environment)
        envp.push_back(const_cast<char*>(entry.c_str()));
    envp.push_back(nullptr);
    const int spawned =
        posix_spawn(&pid_, argv[0], &actions, &attributes, argv.data(), envp.data());
    EXPECT_EQ(spawned, 0) << arguments[0];
    if (spawned != 0)
        pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    ::close(in[0]);
    ::close(out[1]);
    ::close(err[1]);
    input_ = in[1];
    outputPipe_ = out[0];
    errorPipe_ = err[0];
}

ChildProgram::~ChildProgram() {
    Kill();
    CloseDescriptor(input_);
    CloseDescriptor(outputPipe_);
    CloseDescriptor(errorPipe_);
}

bool ChildProgram::ReadSome(std::chrono::steady_clock::time_point deadline) {
    pollfd streams[] = {{outputPipe_, POLLIN, 0}, {errorPipe_, POLLIN, 0}};
    if (outputPipe_ < 0 && errorPipe_ < 0)
        return false;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0 || poll(streams, 2, static_cast<int>(left.count())) <= 0)
        return false;
    int* descriptors[] = {&outputPipe_, &errorPipe_};
    std::string* texts[] = {&output_, &errors_};
    for (int i = 0; i < 2; ++i) {
        if (streams[i].revents == 0)
            continue;
        char chunk[4096];
        const ssize_t read = ::read(*descriptors[i], chunk, sizeof chunk);
        if (read > 0)
            texts[i]->append(chunk, static_cast<size_t>(read));
        else
            CloseDescriptor(*descriptors[i]);
    }
    return true;
}

bool ChildProgram::ReadUntil(const std::function<bool(const std::string&)>& done,
                             std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done(output_)) {
        if (!ReadSome(deadline))
            return done(output_);
    }
    return true;
}

bool ChildProgram::Write(const std::string& text) {
    return input_ >= 0 &&
           ::write(input_, text.data(), text.size()) == static_cast<ssize_t>(text.size());
}

void ChildProgram::CloseInput() {
    CloseDescriptor(input_);
}

void ChildProgram::CloseOutput() {
    CloseDescriptor(outputPipe_);
}

void ChildProgram::Signal(int signal) {
    if (pid_ > 0)
        ::kill(pid_, signal);
}

int ChildProgram::Finish(std::chrono::milliseconds timeout) {
    if (pid_ <= 0)
        return -1;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (ReadSome(deadline)) {
    }
    // Both streams end when the program does; one still open in time means it is still running.
    if (outputPipe_ >= 0 || errorPipe_ >= 0) {
        Kill();
        return -1;
    }
    int raw = 0;
    const pid_t reaped = waitpid(pid_, &raw, 0);
    pid_ = -1;
    return reaped > 0 && WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
}

void ChildProgram::Kill() {
    if (pid_ <= 0)
        return;
    ::kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
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
