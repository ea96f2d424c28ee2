// Runs the built programs for the program tests: a shell command line run to its end, one that
// the test acts on while it runs, and the service program kivod beside them (over its Unix
// sockets, and over TCP with TLS when asked); and the disks that the tests store and read back.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace KivoDumpTest {

/// What a command printed on standard output, and its exit status (-1 when it did not exit).
struct Outcome {
    std::string output;
    int status;
};

/// Runs `command` through the shell and collects its standard output.
Outcome RunCommand(const std::string& command);

/// What a test does to a program that it runs: `program` is its process, `input` the test's end of
/// its standard input, which the action may close (setting it to -1).
using Action = std::function<void(pid_t program, int& input)>;

/// Runs the shell command line `command` (one program, which replaces the shell, with SIGINT,
/// SIGTERM and SIGPIPE at their defaults) with standard input held open, and collects its standard
/// output; once that ends with `cue` (at once for an empty one), calls `act` when it is set. The
/// program has `timeout` to end, and is killed after that (status -1).
Outcome RunWithInputHeld(const std::string& command, std::string_view cue, const Action& act,
                         std::chrono::milliseconds timeout);

/// One step of a run that the test acts on more than once: `act` runs once the output ends with
/// `cue`.
struct Step {
    std::string_view cue;
    Action act;
};

/// RunWithInputHeld with `steps` taken in order: each action runs once, when the output ends with
/// its cue after the step before it ran (at once when it still does).
Outcome RunWithInputHeld(const std::string& command, const std::vector<Step>& steps,
                         std::chrono::milliseconds timeout);

/// The contents of the file at `path`; empty when it cannot be read.
std::string ReadFile(const std::string& path);
/// Success when the log at `path` (a service program's standard error) holds no sanitizer's
/// report; else the log.
::testing::AssertionResult NoSanitizerReport(const std::string& path);

/// `output` with the time attribute of every change record written "T"; the times go to `times`.
std::string WithoutTimes(std::string output, std::vector<std::string>& times);

/// Runs kivo_store on `store` with `arguments` (quoted for the shell); true when it succeeded.
bool RunStore(const std::string& store, const std::string& arguments);
/// What kivo_dump reports of `query` from `store` in DB mode.
Outcome DbReport(const std::string& store, const std::string& query);

/// Writes 1994 disks into `folder`/disks.txt and returns the kivo_store arguments that import
/// them with the sample's 6 objects: 2000 objects, what a remote query asks for without a limit.
std::string SampleAndDisksImport(const std::string& folder);
/// Query options asking for at most 5 objects, after a blank.
inline constexpr const char* kLimitFive =
    " options '.Composite().Trait(\"LimitOptions\").DWord(5).End().End()'";
/// The number of objects in a report.
size_t Objects(const std::string& report);
/// Whether `other` is byte for byte the DB report `db`, saying where they part when not.
::testing::AssertionResult SameReport(const std::string& db, const std::string& other);

/// Disk `n` named `name` (an object of another `type` when given), in the unit construction text
/// format.
std::string Disk(unsigned n, const std::string& name, const std::string& type = "Disk");
/// The same quoted as a shell argument, after a blank.
std::string DiskArgument(unsigned n, const std::string& name, const std::string& type = "Disk");
/// The change records that kivo_dump prints for disk `n`, their times written "T": created
/// named `name`, updated to `name`, deleted.
std::string CreatedDisk(unsigned n, const std::string& name);
std::string UpdatedDisk(unsigned n, const std::string& name);
std::string DeletedDisk(unsigned n);

/// The listening scene that the service tests play over each transport. The kivo_store arguments
/// that make a store (when missing) holding disks 1 "a" and 2 "b" with tape 9 "t" beside them.
std::string ListeningStore();
/// Runs `command`, a kivo_dump listening to "Disk" of such a `store`, as RunWithInputHeld does
/// (for at most 60 s): once the snapshot is printed, disk 3 "c" is put, disk 1 renamed "a2" beside
/// a tape update that never shows, tape and disk 2 deleted; once that is printed, `end` runs. The
/// output has its times written "T".
Outcome ListenToChanges(const std::string& command, const std::string& store, const Action& end);
/// What a listener to "Disk" prints of the snapshot and the changes, times written "T".
std::string ListeningRecords();

/// One kivod serving `store` in the folder `sockets`, with `flags` of its own, its standard error
/// appended to `log`; stopped when the object goes, however the test ends.
class Kivod {
  public:
    /// Starts it; a failure to start fails the test.
    Kivod(const std::string& store, const std::string& sockets, const std::string& log,
          const std::vector<std::string>& flags);
    ~Kivod();
    Kivod(const Kivod&) = delete;
    Kivod& operator=(const Kivod&) = delete;

    /// Waits (each read at most 30 s) until kivod closes its ready descriptor; true when it named
    /// its listeners ("unix <path>" or "tcp <address>:<port>" lines) and then said "ready", and
    /// when `port` is given, one of them is on TCP: its port goes there.
    [[nodiscard]] bool Ready(uint16_t* port = nullptr) const;
    /// Sends `signal` to it while it runs.
    void Signal(int signal) const;
    /// Ends it: SIGTERM (continuing a stopped one), SIGKILL when it has not ended within 10 s.
    /// Its exit status, -1 when it did not exit.
    int Stop();

  private:
    pid_t pid_ = -1;
    int ready_ = -1;
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
