#include "enterprise/common/kivo/tools/dump/run.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "core/common/error/error.h"
#include "core/common/exit_status.h"
#include "core/common/standard_error_trace.h"
#include "core/common/text.h"
#include "core/common/trace.h"
#include "enterprise/common/ipc/client/lib/scoped_ipc_client.h"
#include "enterprise/common/ipc/view_manager/component_descriptors.h"
#include "enterprise/common/kivo/tools/dump/arguments.h"
#include "enterprise/common/kivo/tools/dump/connection.h"
#include "enterprise/common/kivo/tools/dump/listen.h"
#include "enterprise/common/kivo/tools/dump/output.h"
#include "enterprise/common/kivo/tools/dump/report.h"
#include "enterprise/common/kivo/tools/dump/run_end.h"
#include "enterprise/common/kivo/tools/dump/view_spec_builder.h"
#include "platform/async_service/platform_service.h"
#include "platform/ipc_client/platform_library.h"
#include "platform/resources/message_catalog.h"
#include "platform/security/platform_security.h"
#include "platform/store/store_library.h"

namespace KivoDump {
namespace {

// The level at which an error that ends the run goes to the diagnostic log.
constexpr uint32_t kRunFailedTraceLevel = 4;

// Steps 3 to 6 of a run, inside the IPC client scope: the query, the post office, then listening,
// or the report when it was asked for ("DB" never listens). Shutdown runs the other way: the
// post office goes first, then the query.
int RunQuery(const Arguments& arguments) {
    try {
        const Kivo::ViewSpec viewSpec = MakeViewSpec(arguments);
        std::unique_ptr<Kivo::PostOffice> postOffice = CreatePostOffice(arguments);
        int status = 0;
        if (arguments.report.empty() && arguments.service != "DB") {
            Listen(*postOffice, viewSpec);
        } else {
            status = Report(*postOffice, viewSpec);
        }
        postOffice.reset();
        return status;
    } catch (const Common::Error& error) {
        WriteLine(error.ToText());
        Common::TraceError(kRunFailedTraceLevel, error);
        return Common::ExitStatusOf(error.Code());
    }
}

// Overwrites the password, argument 3, in the argument vector, where other users could read it
// through the process list; the arguments read hold their own copy.
void MaskPassword(int argc, char** argv) {
    if (argc > 3 && argv[3] != nullptr) {
        std::memset(argv[3], 'x', std::strlen(argv[3]));
    }
}

}  // namespace

int Run(int argc, char** argv) {
    return Run(argc, argv, RunCompanion());
}

int Run(int argc, char** argv, const RunCompanion& companion) {
    // Before anything is opened: no file of the program may pass for standard input.
    ReserveStandardInput();
    // Before any text is looked up or any error can be traced.
    ResourceApi::InstallMessageCatalog();
    Common::InstallStandardErrorTraceSink();

    Arguments arguments(argc, argv);
    if (!arguments.Parse()) {
        PrintUsage();
        return 0;
    }
    MaskPassword(argc, argv);

    // The libraries beneath the client, each registered for the rest of the run and shut down
    // in reverse order: the job framework's threads, the IPC client library, the security
    // library, the store library.
    AsyncService::ScopedAsyncService asyncService;
    IPCClient::ScopedPlatformLibrary ipcLibrary;
    KivoSecurity::ScopedPlatformSecurity securityLibrary;
    KivoStore::ScopedStoreLibrary storeLibrary;
    Kivo::ViewManagement::RegisterComponentDescriptors();

    Binding::ScopedIPCClient ipcClient;
    if (!ipcClient.InitError().IsEmpty()) {
        WriteLine(ipcClient.InitError().ToText());
        return Common::ExitStatusOf(ipcClient.InitError().Code());
    }
    int status = 0;
    {
        const std::shared_ptr<void> companionObject = companion ? companion() : nullptr;
        status = RunQuery(arguments);
    }
    // A report that did not reach its reader is no success: say so where it can still be read.
    const Common::Error outputFailure = CheckStandardOutput();
    if (!outputFailure.IsEmpty()) {
        const std::string text = Common::ToUtf8(outputFailure.ToText()) + "\n";
        std::fwrite(text.data(), 1, text.size(), stderr);
        return status != 0 ? status : Common::ExitStatusOf(outputFailure.Code());
    }
    return status;
}

}  // namespace KivoDump
