// Runs the kivo_store tool in this process, as its tests do.
#pragma once

#include <string>
#include <vector>

namespace KivoStoreToolTest {

/// The exit status of a run and what it wrote (errors go to the same stream as counts).
struct Outcome {
    int status;
    std::string output;
};

/// Runs kivo_store with `arguments` (without the program name).
Outcome RunTool(std::vector<std::string> arguments);

}  // namespace KivoStoreToolTest
