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

}  // namespace KivoDumpTest
