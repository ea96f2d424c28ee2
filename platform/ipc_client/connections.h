// The objects that the platform IPC client library hands out for connections: the local service
// browser, the binder, and the access points that the browser makes. Each shares the library
// core of the initialisation that made it (library_core.h) and fails with
// kIpcClientNotInitialized once that core has shut down.
//
// The local browser reaches a service whose components are registered in this process
// (core/ipc_client_api/local_components.h), or else the service program behind the service's
// Unix socket (composite_transport.h). The binder's Bind reads the host argument and opens a
// logged-in TLS connection to the host (remote_host.h, whose errors it returns); the browser it
// gives keeps the login (the password wiped when the browser goes). The remote browser's first
// Connect sends Hello over that connection and awaits the Welcome; every later Connect opens and
// logs in anew. A Connect that fails is kIpcClientNoService, "service <id> is not available at
// <host>:<port>", with the cause as reason: the host's Refusal (the service is not served
// there), the login's error, or the end, silence or broken frame that ended the greeting. A
// welcomed connection goes to the socket transport's I/O thread like a local one: liveness,
// calls in flight and kIpcClientConnectionLost are the same.
//
// Each access point holds one connection of the library's transport and closes it when it is
// destroyed.
//
// Thread-safety: every operation may be called from any thread.
#pragma once

#include <memory>

#include "core/ipc_client_api/ipc_client.h"
#include "platform/ipc_client/library_core.h"

namespace IPCClient {

/// The browser of this machine's services.
std::unique_ptr<Binding::ServiceBrowser> MakeLocalBrowser(std::shared_ptr<LibraryCore> core);

/// A binder for connections to other hosts (remote_host.h).
std::unique_ptr<Binding::Binder> MakeBinder(std::shared_ptr<LibraryCore> core);

}  // namespace IPCClient
