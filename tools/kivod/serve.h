// kivod: serves the view manager of one object store to the clients of this machine, and with
// --listen to clients of other hosts over TLS, who log in as users of a users file.
//
// Run parses the command line (kivod_options.h); `kivod passwd` changes a users file (passwd.h)
// and ends. Otherwise it: blocks SIGTERM and SIGINT for every thread and takes them through a
// signalfd, ignores SIGPIPE and SIGHUP, raises the soft limit of open descriptors to the hard
// one, opens the store; with --listen makes the TLS context of --tls-cert and --tls-key and
// reads the users file (a key or users file open to group or others is refused with
// KivoSecurity::kFileTooOpen, before anything listens); starts the view manager
// (platform/service) and the socket server (platform/socket_server) for the chosen services,
// and writes one line "unix <path>" per socket, "tcp <address>:<port>" with --listen (the port
// the kernel chose for port 0), and then "ready" to --ready-fd, which it closes; it sends READY=1
// to the service manager when NOTIFY_SOCKET is set (service_manager.h). The users file
// is read again when it changes, so users added meanwhile can log in without a restart.
// It serves until SIGTERM or SIGINT: then the server stops accepting and closes every
// connection (clients see the connection lost), the view manager stops and the store closes;
// the service manager is told STOPPING=1 first.
//
// Standard error gets one line per connection opened or closed, per login and per failure, each
// beginning "kivod: " (platform/socket_server/socket_server.h tells them; never a password), and
// one line when it is ready and when it stops. A failure prints its error text and exits with the
// status of its code (core/common/exit_status.h); a usage mistake prints only what is wrong and a
// pointer to --help, and exits with kUsageExitStatus (2).
//
// Thread-safety: called once, from the main thread, before any other thread exists.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

namespace Kivod {

/// The ready descriptor could not be written.
inline constexpr uint32_t kReadyNotWritten = 0xFC00A9;

/// Runs kivod with `arguments` (without the program's name); returns the exit status. `out`
/// receives --help and --version, `errors` the error texts.
[[nodiscard]] int Run(const std::vector<std::string>& arguments, std::ostream& out,
                      std::ostream& errors);

}  // namespace Kivod
