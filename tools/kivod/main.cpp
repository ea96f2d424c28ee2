#include <iostream>
#include <string>
#include <vector>

#include "core/common/error/error.h"
#include "core/common/standard_error_trace.h"
#include "tools/kivod/serve.h"

int main(int argc, char** argv) {
    Common::SetModuleIdentity("kivod");
    Common::InstallStandardErrorTraceSink();
    return Kivod::Run(std::vector<std::string>(argv + 1, argv + argc), std::cout, std::cerr);
}
