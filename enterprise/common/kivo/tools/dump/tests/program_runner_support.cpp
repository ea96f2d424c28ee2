#include "enterprise/common/kivo/tools/dump/tests/program_runner_support.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace KivoDumpTest {

namespace {

// The milliseconds left until `deadline`; 0 once it has passed.
int Left(std::chrono::steady_clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    return static_cast<int>(std::max<int64_t>(0, left.count()));
}

// Waits up to `bound` for the child process `program` to end, and kills it (SIGKILL) after that;
// its exit status, -1 when it did not exit.
int AwaitEnd(pid_t program, std::chrono::milliseconds bound) {
    pollfd ended{static_cast<int>(syscall(SYS_pidfd_open, program, 0)), POLLIN, 0};
    if (ended.fd < 0 || poll(&ended, 1, static_cast<int>(bound.count())) <= 0)
        ::kill(program, SIGKILL);
    if (ended.fd >= 0)
        ::close(ended.fd);
    int raw = 0;
    waitpid(program, &raw, 0);
    return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
}

// The GUID text of disk `n`.
std::string DiskId(unsigned n) {
    char id[40];
    std::snprintf(id, sizeof id, "%08X-D15C-0000-0000-000000000000", n);
    return id;
}

// The first line of a change record of disk `n`.
std::string Header(const char* tag, unsigned n) {
    return std::string("<") + tag + " id=\"" + DiskId(n) + "\" time=\"T\">\n";
}

}  // namespace

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

Outcome RunWithInputHeld(const std::string& command, std::string_view cue, const Action& act,
                         std::chrono::milliseconds timeout) {
    return RunWithInputHeld(command, act ? std::vector<Step>{{cue, act}} : std::vector<Step>{},
                            timeout);
}

Outcome RunWithInputHeld(const std::string& command, const std::vector<Step>& steps,
                         std::chrono::milliseconds timeout) {
    // A write to a program that has ended must fail, not end the test.
    std::signal(SIGPIPE, SIG_IGN);
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    const std::string execCommand = "exec " + command;
    Outcome outcome{{}, -1};
    int in[2], out[2];
    pid_t program = -1;
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || (program = fork()) < 0) {
        ADD_FAILURE() << "cannot start " << command;
        return outcome;
    }
    if (program == 0) {
        dup2(in[0], STDIN_FILENO);
        dup2(out[1], STDOUT_FILENO);
        for (int signal : {SIGINT, SIGTERM, SIGPIPE})
            std::signal(signal, SIG_DFL);
        execl("/bin/sh", "sh", "-c", execCommand.c_str(), nullptr);
        _exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    int input = in[1];
    pollfd stream{out[0], POLLIN, 0};
    for (size_t next = 0;;) {
        // Each action runs once, when the output ends with its cue.
        while (next < steps.size() && outcome.output.ends_with(steps[next].cue))
            steps[next++].act(program, input);
        char chunk[4096];
        if (Left(deadline) == 0 || poll(&stream, 1, Left(deadline)) <= 0)
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

::testing::AssertionResult NoSanitizerReport(const std::string& path) {
    const std::string log = ReadFile(path);
    if (log.find("Sanitizer") == std::string::npos &&
        log.find("runtime error:") == std::string::npos)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << path << ":\n" << log;
}

std::string WithoutTimes(std::string output, std::vector<std::string>& times) {
    for (size_t begin = 0; (begin = output.find(" time=\"", begin)) != std::string::npos;) {
        begin += 7;
        const size_t end = output.find('"', begin);
        times.push_back(output.substr(begin, end - begin));
        output.replace(begin, end - begin, "T");
    }
    return output;
}

bool RunStore(const std::string& store, const std::string& arguments) {
    return RunCommand(std::string(KIVO_STORE_PROGRAM) + " '" + store + "' " + arguments +
                      " >/dev/null 2>&1")
               .status == 0;
}

Outcome DbReport(const std::string& store, const std::string& query) {
    return RunCommand(std::string(KIVO_DUMP_PROGRAM) + " '" + store + "' u p DB " + query +
                      " report </dev/null 2>/dev/null");
}

std::string SampleAndDisksImport(const std::string& folder) {
    const char* source = std::getenv("KIVO_SOURCE_DIR");
    EXPECT_NE(source, nullptr);
    const std::string disks = folder + "/disks.txt";
    std::ofstream file(disks);
    for (unsigned n = 1; n <= 1994; ++n)
        file << Disk(n, "disk-" + std::to_string(n)) << "\n";
    return std::string("import --create '") + (source != nullptr ? source : "") +
           "/tools/kivo_store/sample/objects.txt' '" + disks + "'";
}

size_t Objects(const std::string& report) {
    size_t objects = 0;
    for (size_t at = 0; (at = report.find("<object id=", at)) != std::string::npos; ++at)
        ++objects;
    return objects;
}

::testing::AssertionResult SameReport(const std::string& db, const std::string& other) {
    if (db == other)
        return ::testing::AssertionSuccess();
    const auto differ = std::mismatch(db.begin(), db.end(), other.begin(), other.end());
    return ::testing::AssertionFailure()
           << "from byte " << differ.first - db.begin() << ": DB\n"
           << std::string(differ.first, db.end()).substr(0, 400) << "\nother\n"
           << std::string(differ.second, other.end()).substr(0, 400);
}

std::string Disk(unsigned n, const std::string& name, const std::string& type) {
    return ".Composite().Trait(\"Is\").String(\"" + type + "\").End().Trait(\"PrimaryKey\").Guid(" +
           DiskId(n) + ").End().Property(\"Name\").String(\"" + name + "\").End().End()";
}

std::string DiskArgument(unsigned n, const std::string& name, const std::string& type) {
    return " '" + Disk(n, name, type) + "'";
}

std::string CreatedDisk(unsigned n, const std::string& name) {
    return Header("created", n) +
           "  Root (Composite)\n"
           "    [Is (Common::String) = Disk]\n"
           "    [PrimaryKey (Common::Guid) = " +
           DiskId(n) + "]\n    Name (Common::String) = " + name + "\n</created>\n\n";
}

std::string UpdatedDisk(unsigned n, const std::string& name) {
    return Header("updated", n) + "  <key>\n    Root (Common::Guid) = " + DiskId(n) +
           "\n  </key>\n  <diff>\n    Root (Composite)\n      Name (Common::String) = " + name +
           "\n  </diff>\n</updated>\n\n";
}

std::string DeletedDisk(unsigned n) {
    return Header("deleted", n) + "  Root (Common::Guid) = " + DiskId(n) + "\n</deleted>\n\n";
}

std::string ListeningStore() {
    return "put --create" + DiskArgument(1, "a") + DiskArgument(9, "t", "Tape") +
           DiskArgument(2, "b");
}

Outcome ListenToChanges(const std::string& command, const std::string& store, const Action& end) {
    const Action write = [&](pid_t, int&) {
        for (const std::string& change :
             {"put" + DiskArgument(3, "c"),
              "update" + DiskArgument(1, "a2") + DiskArgument(9, "u", "Tape"),
              "delete" + DiskArgument(9, "t", "Tape") + DiskArgument(2, "b")})
            EXPECT_TRUE(RunStore(store, change)) << change;
    };
    Outcome outcome =
        RunWithInputHeld(command, {{"= b\n</created>\n\n", write}, {"</deleted>\n\n", end}},
                         std::chrono::seconds(60));
    std::vector<std::string> times;
    outcome.output = WithoutTimes(std::move(outcome.output), times);
    return outcome;
}

std::string ListeningRecords() {
    return CreatedDisk(1, "a") + CreatedDisk(2, "b") + CreatedDisk(3, "c") + UpdatedDisk(1, "a2") +
           DeletedDisk(2);
}

Kivod::Kivod(const std::string& store, const std::string& sockets, const std::string& log,
             const std::vector<std::string>& flags) {
    int ready[2];
    if (::pipe2(ready, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "no pipe for kivod's ready descriptor";
        return;
    }
    ready_ = ready[0];
    std::vector<std::string> arguments = {KIVOD_PROGRAM, "--store",    store, "--socket-dir",
                                          sockets,       "--ready-fd", "3"};
    arguments.insert(arguments.end(), flags.begin(), flags.end());
    std::vector<char*> argv;
    for (std::string& argument : arguments)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, ready[1], 3);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, log.c_str(),
                                     O_WRONLY | O_CREAT | O_APPEND, 0600);
    if (::posix_spawn(&pid_, KIVOD_PROGRAM, &actions, nullptr, argv.data(), environ) != 0) {
        ADD_FAILURE() << "cannot start " << KIVOD_PROGRAM;
        pid_ = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    ::close(ready[1]);
}

Kivod::~Kivod() {
    (void)Stop();
    if (ready_ >= 0)
        ::close(ready_);
}

bool Kivod::Ready(uint16_t* port) const {
    std::string text;
    char chunk[256];
    for (pollfd wanted{ready_, POLLIN, 0}; ::poll(&wanted, 1, 30000) == 1;) {
        const ssize_t got = ::read(ready_, chunk, sizeof chunk);
        if (got <= 0)
            break;
        text.append(chunk, static_cast<size_t>(got));
    }
    bool listens = false, tcp = false;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line) && line != "ready";) {
        if (!line.starts_with("unix ") && !line.starts_with("tcp "))
            return false;
        listens = true;
        unsigned number = 0;
        if (port != nullptr && line.starts_with("tcp ") &&
            std::sscanf(line.c_str() + line.rfind(':') + 1, "%5u", &number) == 1 && number > 0 &&
            number <= 65535) {
            *port = static_cast<uint16_t>(number);
            tcp = true;
        }
    }
    return listens && text.ends_with("\nready\n") && (port == nullptr || tcp);
}

void Kivod::Signal(int signal) const {
    if (pid_ > 0)
        ::kill(pid_, signal);
}

int Kivod::Stop() {
    if (pid_ <= 0)
        return -1;
    Signal(SIGTERM);
    Signal(SIGCONT);
    return AwaitEnd(std::exchange(pid_, -1), std::chrono::seconds(10));
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
