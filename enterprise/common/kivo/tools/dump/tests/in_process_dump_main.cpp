// The test program of listening: kivo_dump's own run, with the scripted view manager of
// scripted_service_support.h served in this process while the query runs.
//
//   kivo_dump_in_process <scenario> <interface version 1 or 2> <kivo_dump arguments...>

#include <string>
#include <vector>

#include "core/common/standard_streams.h"
#include "enterprise/common/kivo/tools/dump/run.h"
#include "enterprise/common/kivo/tools/dump/tests/scripted_service_support.h"

int main(int argc, char** argv) {
    Common::IgnoreBrokenPipe();
    if (argc < 3)
        return 2;
    const std::string scenario = argv[1];
    const uint32_t version = std::string(argv[2]) == "1" ? 1 : 2;
    std::vector<char*> arguments{argv[0]};
    arguments.insert(arguments.end(), argv + 3, argv + argc);
    return KivoDump::Run(static_cast<int>(arguments.size()), arguments.data(),
                         [&] { return KivoDumpTest::ServeScriptedViewManager(scenario, version); });
}
