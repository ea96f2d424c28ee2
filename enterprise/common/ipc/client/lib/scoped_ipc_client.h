// Binding::ScopedIPCClient: the IPC client library's lifetime in a program.
//
// The constructor initialises the library (IPCClient_Init) and keeps the outcome without
// throwing; the program reads InitError() at once and ends when it is not empty. The destructor
// deinitialises the library in every case, also after a failed initialisation, and drops the
// result: a program that ends has no one left to tell.
//
//   Binding::ScopedIPCClient ipcClient;
//   if (!ipcClient.InitError().IsEmpty()) { print it; return exit status of its code; }
//
// Deinitialising cancels the calls still in flight and joins the library's threads, so the
// scope must end after every access point user has finished (see core/ipc_client_api).
//
// Thread-safety: made and destroyed on one thread (main's).
#pragma once

#include "core/common/error/error.h"
#include "core/common/noncopyable.h"

namespace Binding {

/// See the file comment.
class ScopedIPCClient : private Common::NonCopyable {
  public:
    ScopedIPCClient() noexcept;
    virtual ~ScopedIPCClient();

    /// The outcome of the initialisation; empty on success.
    const Common::Error& InitError() const noexcept { return initError_; }

  private:
    const Common::Error initError_;
};

}  // namespace Binding
