#include "tools/kivo_store/tests/tool_runner_support.h"

#include <sstream>

#include "tools/kivo_store/store_command.h"

namespace KivoStoreToolTest {

Outcome RunTool(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), "kivo_store");
    std::vector<char*> argv;
    for (std::string& argument : arguments)
        argv.push_back(argument.data());
    // Errors go to the same stream as the counts, as they reach a terminal.
    std::ostringstream out;
    const int status =
        KivoStoreTool::Run(static_cast<int>(argv.size()), argv.data(), {out, out, false});
    return {status, out.str()};
}

}  // namespace KivoStoreToolTest
