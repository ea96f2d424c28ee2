#include "enterprise/common/kivo/tools/dump/run.h"

#include "core/common/catalog.h"
#include "core/common/error/error.h"
#include "core/common/exit_status.h"
#include "core/common/standard_error_trace.h"
#include "core/common/trace.h"
#include "enterprise/common/kivo/tools/dump/arguments.h"
#include "enterprise/common/kivo/tools/dump/output.h"
#include "enterprise/common/kivo/tools/dump/view_spec_builder.h"
#include "platform/resources/message_catalog.h"

namespace KivoDump {
namespace {

// Raised after the query is built while the connection layers are not part of the program.
constexpr uint32_t kServiceNotAvailable = 8;
// The level at which an error that ends the run goes to the diagnostic log.
constexpr uint32_t kRunFailedTraceLevel = 4;

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
        const Kivo::ViewSpec viewSpec = MakeViewSpec(arguments);
        throw Common::Error(COMMON_PLACE("KivoDump::Run"), kServiceNotAvailable,
                            Common::GetCatalogMessage(Common::kMsgServiceNotAvailable));
    } catch (const Common::Error& error) {
        WriteLine(error.ToText());
        Common::TraceError(kRunFailedTraceLevel, error);
        return Common::ExitStatusOf(error.Code());
    }
}

}  // namespace KivoDump
