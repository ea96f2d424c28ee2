// The test program of kivo_dump against the real view manager of a service: kivo_dump's own run,
// with a KivoService::ViewManagerService over a store served in this process as the services
// QOR (33) and KIVO (46) of this machine while the query runs.
//
//   kivo_dump_with_service <store connection string> <interface version 1 or 2> <kivo_dump
//   arguments...>
//
// The store is opened read-only, as the tool's "DB" mode opens it, so that a report over the
// service and one in DB mode read the same thing. A store that cannot be opened, or a service
// that cannot start, is printed; the run then finds no service (code 3).

#include <cstdint>
#include <memory>
#include <string>
#include <utility>

#include "core/common/error/error.h"
#include "core/common/standard_streams.h"
#include "core/common/text.h"
#include "core/ipc_client_api/local_components.h"
#include "enterprise/common/kivo/tools/dump/connection.h"
#include "enterprise/common/kivo/tools/dump/output.h"
#include "enterprise/common/kivo/tools/dump/run.h"
#include "platform/service/view_manager_service.h"
#include "platform/store/store.h"

namespace {

// What the run holds while the query runs: the service over the store, registered as both
// services. Members go in reverse order: the registrations first, then the service stops.
struct Companion {
    explicit Companion(std::shared_ptr<KivoService::ViewManagerService> started)
        : service(std::move(started)),
          managementServer(KivoDump::kManagementServerId, service),
          dataManagement(KivoDump::kDataManagementId, service) {}

    const std::shared_ptr<KivoService::ViewManagerService> service;
    const Binding::ScopedLocalComponent managementServer;
    const Binding::ScopedLocalComponent dataManagement;
};

// The companion over the store `connection`; null, the failure printed, when it cannot be had.
std::shared_ptr<Companion> Serve(const std::string& connection, uint32_t version) {
    try {
        KivoService::ServiceOptions options;
        options.interfaceVersion = version;
        return std::make_shared<Companion>(KivoService::ViewManagerService::Start(
            KivoStore::Store::Open(Common::ToUtf16(connection), {.readOnly = true}), options));
    } catch (const Common::Error& error) {
        KivoDump::WriteLine(error.ToText());
        return nullptr;
    }
}

}  // namespace

int main(int argc, char** argv) {
    Common::IgnoreBrokenPipe();
    if (argc < 3)
        return 2;
    const std::string connection = argv[1];
    const uint32_t version = std::string(argv[2]) == "1" ? 1 : 2;
    // The tool's arguments follow the program's name.
    argv[2] = argv[0];
    return KivoDump::Run(argc - 2, argv + 2, [&] { return Serve(connection, version); });
}
