#include "core/common/standard_streams.h"
#include "enterprise/common/kivo/tools/dump/run.h"

int main(int argc, char** argv) {
    Common::IgnoreBrokenPipe();
    return KivoDump::Run(argc, argv);
}
