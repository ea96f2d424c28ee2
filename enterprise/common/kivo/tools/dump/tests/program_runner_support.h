// Runs the built programs for the program tests: a shell command line run to its end, or a child
// that the test talks to while it runs.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>

namespace KivoDumpTest {

/// What a command printed on standard output, and its exit status (-1 when it did not exit).
struct Outcome {
    std::string output;
    int status;
};

/// Runs `command` through the shell and collects its standard output.
Outcome RunCommand(const std::string& command);

/// A program running beside the test, its standard input held by the test and its standard
/// output read by it. Every wait is bounded; a child still running at the end is killed.
class ChildProgram {
  public:
    /// Starts the shell command line `command` (one program, which replaces the shell), with
    /// SIGINT, SIGTERM and SIGPIPE at their defaults.
    explicit ChildProgram(const std::string& command);
    ~ChildProgram();
    ChildProgram(const ChildProgram&) = delete;
    ChildProgram& operator=(const ChildProgram&) = delete;

    /// Reads standard output until `done` holds for what was read, the output ends, or `timeout`
    /// passes; returns whether `done` held.
    bool ReadUntil(const std::function<bool(const std::string&)>& done,
                   std::chrono::milliseconds timeout);
    /// Writes `text` to standard input.
    void Write(const std::string& text);
    /// Closes standard input: its end.
    void CloseInput();
    /// Stops reading standard output: the program's next write to it fails.
    void CloseOutput();
    void Signal(int signal);
    /// Reads the output to its end and reaps the program within `timeout`: its exit status, or -1
    /// when it ended by a signal or had not ended in time (it is then killed).
    int Finish(std::chrono::milliseconds timeout);

    const std::string& Output() const { return output_; }

  private:
    pid_t pid_ = -1;
    int input_ = -1;
    int output_fd_ = -1;
    std::string output_;
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
