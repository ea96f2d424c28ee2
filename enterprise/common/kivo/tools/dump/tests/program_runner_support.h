// Runs a shell command line, as the program tests run the built programs.
#pragma once

#include <string>

namespace KivoDumpTest {

/// What a command printed on standard output, and its exit status (-1 when it did not exit).
struct Outcome {
    std::string output;
    int status;
};

/// Runs `command` through the shell and collects its standard output.
Outcome RunCommand(const std::string& command);

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
