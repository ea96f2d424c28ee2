// IPCClient::PlatformLibrary: our IPC client library, and the scope that installs it.
//
// A program makes one ScopedPlatformLibrary at the top of main, before IPCClient_Init (which
// Binding::ScopedIPCClient calls); from then on the functions of core/ipc_client_api/ipc_client.h
// reach this library. Init makes a library core (library_core.h) and starts no thread; threads
// start with the first call. The last Deinit shuts the core down: it cancels the calls in flight
// and joins every thread of the library before it returns.
//
// Test seam: when the environment variable KIVO_IPC_CLIENT_INIT_ERROR holds a hexadecimal code
// other than 0 (for example "AE0002" or "0x2a"), Init fails with an error of that code and
// initialises nothing; tests use it to run a program whose library cannot start.
//
// Thread-safety: every operation may be called from any thread; Deinit on a thread of the library
// (inside a call job's handler) fails the assertion and returns kIpcClientDeinitOnLibraryThread
// without deinitialising, since it would have to join its own thread.
#pragma once

#include <cstddef>
#include <memory>
#include <mutex>

#include "core/ipc_client_api/ipc_client.h"
#include "platform/ipc_client/library_core.h"

namespace IPCClient {

/// The environment variable of the test seam; see the file comment.
inline constexpr const char* kInitErrorVariable = "KIVO_IPC_CLIENT_INIT_ERROR";

/// See the file comment.
class PlatformLibrary final : public Library {
  public:
    PlatformLibrary() = default;
    /// Shuts down a core that is still initialised.
    ~PlatformLibrary() override;

    Common::Error Init() override;
    Common::Error Deinit() override;
    Common::Error CreateBinder(std::unique_ptr<Binding::Binder>& binder) override;
    Common::Error GetLocalBrowser(std::unique_ptr<Binding::ServiceBrowser>& browser) override;

  private:
    // The core while initialised; null otherwise.
    std::shared_ptr<LibraryCore> Core();

    std::mutex lock_;
    size_t initCount_ = 0;
    std::shared_ptr<LibraryCore> core_;
};

/// Registers a PlatformLibrary for its lifetime.
class ScopedPlatformLibrary : private Common::NonCopyable {
  public:
    ScopedPlatformLibrary();
    /// Restores the library registered before; a core still initialised is shut down.
    ~ScopedPlatformLibrary();

  private:
    const std::shared_ptr<PlatformLibrary> library_;
    std::shared_ptr<Library> previous_;
};

}  // namespace IPCClient
