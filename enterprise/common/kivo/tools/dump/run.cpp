#include "enterprise/common/kivo/tools/dump/run.h"

#include "core/common/error/error.h"
#include "core/common/exit_status.h"
#include "enterprise/common/kivo/tools/dump/arguments.h"
#include "enterprise/common/kivo/tools/dump/output.h"

namespace KivoDump {
namespace {

// Raised while the connection layers are not part of the program.
constexpr uint32_t kQueryNotAvailable = 8;

}  // namespace

int Run(int argc, char** argv) {
    Arguments arguments(argc, argv);
    if (!arguments.Parse()) {
        PrintUsage();
        return 0;
    }
    try {
        throw Common::Error(COMMON_PLACE("KivoDump::Run"), kQueryNotAvailable,
                            "Queries cannot run yet: this build has no connection to services.");
    } catch (const Common::Error& error) {
        WriteLine(error.ToText());
        return Common::ExitStatusOf(error.Code());
    }
}

}  // namespace KivoDump
