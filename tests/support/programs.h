// KivoTestSupport program runs: the programs built in this tree run by the tests, each run bounded
// in time. RunCommand takes a shell command line with standard input held open and collects its
// standard output, acting on cues in it; Kivod starts the service program on its ready descriptor
// and stops it however the test ends.
//
// Thread-safety: a run or a Kivod belongs to the thread that made it; actions run on that thread.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <csignal>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace KivoTestSupport {

/// What a run printed on standard output, and its exit status (-1 when it did not exit).
struct Outcome {
    std::string output;
    int status = -1;
};

/// What a test does to a running program: `program` is its process (the shell's, which a command
/// starting with "exec" hands to the program), `input` the test's end of its standard input, which
/// the action may close (setting it to -1).
using Action = std::function<void(pid_t program, int& input)>;

/// One action of a run, taken once the output ends with `cue` (at once for an empty one).
struct Step {
    std::string_view cue;
    Action act;
};

/// The path of the program `name` built in this tree.
[[nodiscard]] std::string ProgramPath(const std::string& name);

/// Runs `command` through /bin/sh (SIGINT, SIGTERM and SIGPIPE at their defaults) with standard
/// input held open until an action closes it or the run ends, and collects standard output; the
/// steps are taken in order, each after the one before it. The run has `timeout` to end and is
/// killed after that (status -1).
[[nodiscard]] Outcome RunCommand(const std::string& command, const std::vector<Step>& steps = {},
                                 std::chrono::milliseconds timeout = std::chrono::seconds(60));

/// The contents of the file `path`; empty when it cannot be read.
[[nodiscard]] std::string ReadFile(const std::string& path);

/// One kivod run by a test, its descriptor 3 the write end of a pipe for its ready text; ended when
/// the object goes.
class Kivod {
  public:
    /// Starts kivod with `arguments`, its standard input `input` and then its end, its standard
    /// error appended to the file `log` and its standard output to `log`.out. A failure to start
    /// throws Common::Error.
    Kivod(const std::vector<std::string>& arguments, const std::string& log,
          const std::string& input = "");
    ~Kivod();
    Kivod(const Kivod&) = delete;
    Kivod& operator=(const Kivod&) = delete;

    /// What kivod wrote on its ready descriptor until it closed it (each read waits at most 30 s).
    [[nodiscard]] std::string ReadyText() const;
    /// Whether the ready text named listeners ("unix <path>" or "tcp <address>:<port>" lines) and
    /// then "ready"; when `port` is given, one listener must be on TCP, and its port goes there.
    [[nodiscard]] bool Ready(uint16_t* port = nullptr) const;
    /// Sends `signal` to it while it runs.
    void Signal(int signal) const;
    /// Sends `signal` (none for 0; a stopped kivod is continued) and waits up to 10 s for its end,
    /// killing it after that. Its exit status, -1 when it did not exit; -1 again once ended.
    int Stop(int signal = SIGTERM);

  private:
    pid_t pid_ = -1;
    int ready_ = -1;
};

}  // namespace KivoTestSupport
