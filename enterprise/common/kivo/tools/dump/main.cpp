#include "enterprise/common/kivo/tools/dump/run.h"

int main(int argc, char** argv) {
    return KivoDump::Run(argc, argv);
}
