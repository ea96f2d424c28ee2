#include "platform/ipc_client/platform_library.h"

#include <cerrno>
#include <cstdlib>
#include <utility>

#include "core/common/assert.h"
#include "core/common/catalog.h"
#include "platform/ipc_client/connections.h"
#include "platform/ipc_client/library_errors.h"

namespace IPCClient {
namespace {

// The code that the test seam asks Init to fail with; 0 when it asks nothing.
uint32_t RequestedInitFailure() {
    const char* const text = std::getenv(kInitErrorVariable);
    if (text == nullptr || *text == '\0') {
        return 0;
    }
    char* end = nullptr;
    errno = 0;
    const unsigned long long code = std::strtoull(text, &end, 16);
    if (errno != 0 || *end != '\0' || code > UINT32_MAX) {
        return 0;
    }
    return static_cast<uint32_t>(code);
}

}  // namespace

PlatformLibrary::~PlatformLibrary() {
    std::shared_ptr<LibraryCore> core = std::move(core_);
    if (core != nullptr) {
        core->Shutdown();
    }
}

Common::Error PlatformLibrary::Init() {
    if (const uint32_t failure = RequestedInitFailure(); failure != 0) {
        return Common::Error(COMMON_PLACE("IPCClient::PlatformLibrary::Init"), failure,
                             Common::GetCatalogMessage(Common::kMsgIpcClientInitFailureAsked));
    }
    std::lock_guard<std::mutex> hold(lock_);
    if (initCount_ == 0) {
        core_ = std::make_shared<LibraryCore>();
    }
    ++initCount_;
    return Common::Error();
}

Common::Error PlatformLibrary::Deinit() {
    const bool onLibraryThread = WorkerPool::OnWorkerThread();
    COMMON_ASSERT_TEXT(!onLibraryThread, "IPCClient_Deinit called from a call job's handler");
    if (onLibraryThread) {
        return Common::Error(COMMON_PLACE("IPCClient::PlatformLibrary::Deinit"),
                             Binding::kIpcClientDeinitOnLibraryThread);
    }
    std::shared_ptr<LibraryCore> ending;
    {
        std::lock_guard<std::mutex> hold(lock_);
        if (initCount_ == 0) {
            return NotInitialized(COMMON_PLACE("IPCClient::PlatformLibrary::Deinit"));
        }
        if (--initCount_ == 0) {
            ending = std::move(core_);
        }
    }
    // Outside the lock: the handlers that the shutdown runs may still ask the library for things.
    if (ending != nullptr) {
        ending->Shutdown();
    }
    return Common::Error();
}

Common::Error PlatformLibrary::CreateBinder(std::unique_ptr<Binding::Binder>& binder) {
    std::shared_ptr<LibraryCore> core = Core();
    if (core == nullptr) {
        return NotInitialized(COMMON_PLACE("IPCClient::PlatformLibrary::CreateBinder"));
    }
    binder = MakeBinder(std::move(core));
    return Common::Error();
}

Common::Error PlatformLibrary::GetLocalBrowser(std::unique_ptr<Binding::ServiceBrowser>& browser) {
    std::shared_ptr<LibraryCore> core = Core();
    if (core == nullptr) {
        return NotInitialized(COMMON_PLACE("IPCClient::PlatformLibrary::GetLocalBrowser"));
    }
    browser = MakeLocalBrowser(std::move(core));
    return Common::Error();
}

std::shared_ptr<LibraryCore> PlatformLibrary::Core() {
    std::lock_guard<std::mutex> hold(lock_);
    return core_;
}

ScopedPlatformLibrary::ScopedPlatformLibrary()
    : library_(std::make_shared<PlatformLibrary>()), previous_(RegisterLibrary(library_)) {}

ScopedPlatformLibrary::~ScopedPlatformLibrary() {
    RegisterLibrary(std::move(previous_));
}

}  // namespace IPCClient
