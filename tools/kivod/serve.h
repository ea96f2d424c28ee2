// kivod: serves the view manager of one object store to the clients of this machine.
//
// Run parses the command line (kivod_options.h), then: blocks SIGTERM and SIGINT for every
// thread and takes them through a signalfd, ignores SIGPIPE and SIGHUP, raises the soft limit
// of open descriptors to the hard one, opens the store, starts the view manager
// (platform/service) and the socket server (platform/socket_server) for the chosen services,
// and writes one line "unix <path>" per socket and then "ready" to --ready-fd, which it closes.
// It serves until SIGTERM or SIGINT: then the server stops accepting and closes every
// connection (clients see the connection lost), the view manager stops and the store closes.
//
// Standard error gets one line per connection opened or closed and per failure, each beginning
// "kivod: " (platform/socket_server/socket_server.h tells them), and one line when it is ready
// and when it stops. A failure prints its error text and exits with the status of its code
// (core/common/exit_status.h).
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
