// Runs the built programs for the program tests: a shell command line run to its end, or a child
// that the test talks to while it runs (standard input held open by the test, standard output
// and standard error read as they come).
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace KivoDumpTest {

/// What a command printed on standard output, and its exit status (-1 when it did not exit).
struct Outcome {
    std::string output;
    int status;
};

/// Runs `command` through the shell and collects its standard output.
Outcome RunCommand(const std::string& command);

/// A program running beside the test, with a pipe on each of its standard streams. Every wait is
/// bounded; a child still running when the object goes is killed and reaped.
class ChildProgram {
  public:
    /// Starts `arguments` (the program's path first) with the test's environment plus the
    /// NAME=VALUE entries of `environment`, SIGINT, SIGTERM and SIGPIPE at their defaults.
    /// Running() is false when it could not start.
    explicit ChildProgram(const std::vector<std::string>& arguments,
                          const std::vector<std::string>& environment = {});
    ~ChildProgram();
    ChildProgram(const ChildProgram&) = delete;
    ChildProgram& operator=(const ChildProgram&) = delete;

    [[nodiscard]] bool Running() const { return pid_ > 0; }

    /// Reads standard output and standard error until `done` holds for the output read so far,
    /// the output ends, or `timeout` passes; returns whether `done` held.
    bool ReadUntil(const std::function<bool(const std::string&)>& done,
                   std::chrono::milliseconds timeout);
    /// Writes `text` to standard input; false when it could not.
    bool Write(const std::string& text);
    /// Closes standard input (the end of input).
    void CloseInput();
    /// Stops reading standard output: the program's next write to it fails.
    void CloseOutput();
    /// Sends `signal` to the program.
    void Signal(int signal);
    /// Reads both streams to their end and reaps the program, within `timeout`: its exit status,
    /// or -1 when it did not exit by itself in time (it is then killed) or ended by a signal.
    int Finish(std::chrono::milliseconds timeout);

    const std::string& Output() const { return output_; }
    const std::string& Errors() const { return errors_; }

  private:
    // Reads what is there within `deadline`; false once both streams ended or time is up.
    bool ReadSome(std::chrono::steady_clock::time_point deadline);
    void Kill();

    pid_t pid_ = -1;
    int input_ = -1;
    int outputPipe_ = -1;
    int errorPipe_ = -1;
    std::string output_;
    std::string errors_;
};

/// A new folder under /tmp, removed with everything in it when the object goes.
class TemporaryFolder {
  public:
    /// Makes the folder /tmp/<prefix>XXXXXX; Path() is empty when that failed.
    explicit TemporaryFolder(const std::string& prefix);
    ~TemporaryFolder();
    TemporaryFolder(const TemporaryFolder&) = delete;
    TemporaryFolder& operator=(const TemporaryFolder&) = delete;

    const std::string& Path() const { return path_; }

  private:
    std::string path_;
};

}  // namespace KivoDumpTest
