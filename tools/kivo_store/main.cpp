#include <iostream>

#include "core/common/standard_error_trace.h"
#include "tools/kivo_store/store_command.h"

int main(int argc, char** argv) {
    Common::InstallStandardErrorTraceSink();
    return KivoStoreTool::Run(argc, argv, std::cout);
}
