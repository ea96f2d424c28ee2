#include "enterprise/common/kivo/tools/dump/run.h"

#include "core/common/error/error.h"
#include "core/common/exit_status.h"
#include "core/common/standard_error_trace.h"
#include "enterprise/common/kivo/tools/dump/arguments.h"
#include "enterprise/common/kivo/tools/dump/output.h"
#include "platform/resources/message_catalog.h"

namespace KivoDump {
namespace {

// Raised while the connection layers are not part of the program.
constexpr uint32_t kQueryNotAvailable = 8;

}  // namespace

int Run(int argc, char** argv) {
    // Before any text is looked up or any error can be traced.
    ResourceApi::InstallMessageCatalog();
    Common::InstallStandardErrorTraceSink();

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
