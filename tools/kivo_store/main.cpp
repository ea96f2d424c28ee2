#include <unistd.h>

#include <iostream>

#include "core/common/error/error.h"
#include "core/common/standard_error_trace.h"
#include "core/common/standard_streams.h"
#include "tools/kivo_store/store_command.h"

int main(int argc, char** argv) {
    Common::SetModuleIdentity("kivo_store");
    Common::IgnoreBrokenPipe();
    Common::InstallStandardErrorTraceSink();
    return KivoStoreTool::Run(
        argc, argv, {std::cout, std::cerr, !Common::SameOpenFile(STDOUT_FILENO, STDERR_FILENO)});
}
