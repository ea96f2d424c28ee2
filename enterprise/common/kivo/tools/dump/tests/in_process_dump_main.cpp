// The test program of listening: kivo_dump's own run over the IPC client library, with a scripted
// view manager (scripted_service_support.h) served in this process as the service QOR (33) on
// this machine.
//
//   kivo_dump_in_process <scenario> <interface version> <kivo_dump arguments...>
//
// for example `kivo_dump_in_process changes 2 localhost u p QOR Machine`. The view manager is
// registered once the IPC client library is up, and its waiting reads are released before the
// library shuts down.

#include <memory>
#include <string>
#include <vector>

#include "core/common/standard_streams.h"
#include "core/ipc_client_api/local_components.h"
#include "enterprise/common/ipc/view_manager/view_manager_stub.h"
#include "enterprise/common/kivo/tools/dump/run.h"
#include "enterprise/common/kivo/tools/dump/tests/scripted_service_support.h"

namespace {

constexpr uint32_t kServedService = 33;

// The view manager served for the run.
class ServedViewManager {
  public:
    ServedViewManager(const std::string& scenario, uint32_t version)
        : viewManager_(std::make_shared<KivoDumpTest::ScriptedViewManager>(scenario)),
          component_(kServedService, std::make_shared<Kivo::ViewManagement::ViewManager_Stub>(
                                         viewManager_, version)) {}
    ~ServedViewManager() { viewManager_->Release(); }

  private:
    const std::shared_ptr<KivoDumpTest::ScriptedViewManager> viewManager_;
    const Binding::ScopedLocalComponent component_;
};

}  // namespace

int main(int argc, char** argv) {
    Common::IgnoreBrokenPipe();
    if (argc < 3)
        return 2;
    const std::string scenario = argv[1];
    const uint32_t version = std::string(argv[2]) == "1" ? 1 : 2;
    std::vector<char*> arguments{argv[0]};
    arguments.insert(arguments.end(), argv + 3, argv + argc);
    return KivoDump::Run(static_cast<int>(arguments.size()), arguments.data(),
                         [&] { return std::make_shared<ServedViewManager>(scenario, version); });
}
