// Runs the built kivod for its program tests: its standard error in a log file, its standard
// output in "<log>.out", its standard input given, its ready descriptor as 3.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "platform/store/tests/store_test_support.h"

namespace KivodTest {

/// The arguments that serve the folder's store "s.db" on its socket directory "sockets", with
/// the ready descriptor 3.
[[nodiscard]] std::vector<std::string> Serving(const KivoStoreTest::ScratchFolder& folder);

/// The text of the file at `path` ("" when it cannot be read).
[[nodiscard]] std::string FileText(const std::string& path);

/// One kivod; killed at the end when it still runs.
struct Program {
    /// Starts kivod with `arguments`; standard error goes to `log`, standard output to
    /// "<log>.out", and standard input reads `input`, then its end.
    Program(const std::vector<std::string>& arguments, const std::string& log,
            const std::string& input = "");
    ~Program();
    Program(const Program&) = delete;
    Program& operator=(const Program&) = delete;

    /// What kivod wrote on its ready descriptor, once it closed it.
    [[nodiscard]] std::string Ready();
    /// Sends `signal` (when not 0), then waits for the end: the exit status, or 128 + the signal.
    int Status(int signal = 0);

    pid_t pid = 0;
    int readyFd = -1;
    int status = -1;
};

}  // namespace KivodTest
