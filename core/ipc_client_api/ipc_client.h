// The IPC client library: its lifetime, and how the program reaches a service through it.
//
//   Common::Error error = IPCClient_Init();              // once, at start; connects to nothing
//   std::unique_ptr<Binding::ServiceBrowser> browser;
//   error = IPCClient_GetLocalBrowser(browser);          // services of this machine
//   std::unique_ptr<Binding::AccessPoint> accessPoint;
//   error = browser->Connect(46, 0, accessPoint);        // one service: calls go through it
//   ...
//   IPCClient_Deinit();                                  // once, at the end, on every path
//
// A service on another host is reached through a binder instead: IPCClient_CreateBinder, then
// Binder::Bind with the host and credentials gives the browser of that host.
//
// The program's libraries see only these declarations; the implementation is a platform layer
// (platform/ipc_client) that registers itself with RegisterLibrary, the same way the async
// service does, and programs link it. With nothing registered, every function fails with
// kIpcClientNotRegistered.
//
// Init and Deinit nest: each successful Init needs one Deinit, and the last Deinit shuts the
// library down. Shutting down cancels every call still in flight (a started call ends with the
// canceled error 0xF90002, a Run returns it) and joins every thread of the library before Deinit
// returns; access points and call jobs made before stay valid objects, but their calls fail with
// kIpcClientNotInitialized. Deinit must not be called from a handler of a call job.
//
// Thread-safety: every function and every operation of the objects may be called from any thread.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "core/common/error/error.h"
#include "core/common/noncopyable.h"
#include "core/ipc_client_api/access_point.h"

namespace Binding {

/// No IPC client library is registered in the program.
inline constexpr uint32_t kIpcClientNotRegistered = 0xAE0001;
/// The library is not initialised, or was shut down while the object was in use.
inline constexpr uint32_t kIpcClientNotInitialized = 0xAE0002;
/// No service of that identifier is reachable.
inline constexpr uint32_t kIpcClientNoService = 0xAE0003;
/// The service has no component of that identifier.
inline constexpr uint32_t kIpcClientNoComponent = 0xAE0004;
/// A thread of the library could not be started.
inline constexpr uint32_t kIpcClientThreadStartFailed = 0xAE0006;
/// Run or Start was called on a call job that had already been run or started.
inline constexpr uint32_t kIpcClientJobAlreadyUsed = 0xAE0007;
/// A server component is already registered under that service and component identifier.
inline constexpr uint32_t kIpcClientDuplicateComponent = 0xAE0008;
/// A component or a reply reader threw an exception other than Common::Error; the message is its
/// what() text.
inline constexpr uint32_t kIpcClientUnexpectedException = 0xAE0009;
/// A call was made without a request.
inline constexpr uint32_t kIpcClientNoRequest = 0xAE000A;
/// IPCClient_Deinit was called on a thread of the library, which it would have to join.
inline constexpr uint32_t kIpcClientDeinitOnLibraryThread = 0xAE000B;
/// A call over a connection that has already been closed.
inline constexpr uint32_t kIpcClientConnectionClosed = 0xAE000C;
/// The connection to a service program failed (it closed, broke the protocol or fell silent):
/// every call in flight over it ends with this error, and so does every later call.
inline constexpr uint32_t kIpcClientConnectionLost = 0xAE000D;
/// A service program sent nothing for longer than the client waits (the reason of a lost or
/// refused connection).
inline constexpr uint32_t kIpcClientServiceSilent = 0xAE000E;
/// A service program closed the connection, or sent a frame that has no place where it came.
inline constexpr uint32_t kIpcClientServiceHungUp = 0xAE000F;
/// A host argument that is not a host name or address with an optional port.
inline constexpr uint32_t kIpcClientBadHost = 0xAE0014;
/// The host's name cannot be resolved, or nothing answers at its port (the system's error or the
/// resolver's text is the reason).
inline constexpr uint32_t kIpcClientHostUnreachable = 0xAE0015;
/// The TLS handshake with the host failed: its certificate is not trusted or not made out to the
/// host, or it does not speak TLS 1.3 (the security library's error is the reason).
inline constexpr uint32_t kIpcClientNoSecureConnection = 0xAE0016;
/// The host refused the user name and password.
inline constexpr uint32_t kIpcClientAuthenticationFailed = 0xAE0017;
/// The host answered, over TLS, with something the service protocol does not allow.
inline constexpr uint32_t kIpcClientProtocolError = 0xAE0018;

/// Where and as whom a binder connects. Only the first three members are filled by our programs.
struct ConnectionParameters {
    std::string host;
    std::u16string user;
    std::u16string password;
};

/// The services of one host.
class ServiceBrowser : private Common::NonCopyable {
  public:
    virtual ~ServiceBrowser() = default;
    /// Connects to the service `serviceId` of the browsed host. Empty error: `accessPoint` holds
    /// the new connection. `flags` is reserved and 0.
    virtual Common::Error Connect(uint32_t serviceId, uint32_t flags,
                                  std::unique_ptr<AccessPoint>& accessPoint) = 0;
};

/// Opens connections to remote hosts.
class Binder : private Common::NonCopyable {
  public:
    virtual ~Binder() = default;
    /// Connects to `parameters.host` with the credentials. Empty error: `browser` holds the
    /// host's service browser.
    virtual Common::Error Bind(const ConnectionParameters& parameters,
                               std::unique_ptr<ServiceBrowser>& browser) = 0;
};

}  // namespace Binding

namespace IPCClient {

/// The implementation behind the IPC client functions; see the file comment. Each operation
/// returns its failure as an error and throws nothing.
class Library : private Common::NonCopyable {
  public:
    virtual ~Library() = default;
    virtual Common::Error Init() = 0;
    virtual Common::Error Deinit() = 0;
    virtual Common::Error CreateBinder(std::unique_ptr<Binding::Binder>& binder) = 0;
    virtual Common::Error GetLocalBrowser(std::unique_ptr<Binding::ServiceBrowser>& browser) = 0;
};

/// The registered library; null when none is.
std::shared_ptr<Library> GetLibrary() noexcept;

/// Registers `library` (null: none) and returns the library it replaces.
std::shared_ptr<Library> RegisterLibrary(std::shared_ptr<Library> library) noexcept;

}  // namespace IPCClient

/// Initialises the registered library. Connects to nothing.
Common::Error IPCClient_Init() noexcept;
/// Undoes one IPCClient_Init; the last one shuts the library down (see the file comment).
Common::Error IPCClient_Deinit() noexcept;
/// A binder for connections to remote hosts; `binder` is left empty on failure.
Common::Error IPCClient_CreateBinder(std::unique_ptr<Binding::Binder>& binder) noexcept;
/// The browser of this machine's services; `browser` is left empty on failure.
Common::Error IPCClient_GetLocalBrowser(std::unique_ptr<Binding::ServiceBrowser>& browser) noexcept;
