// Where the local services listen: one Unix socket per service identifier in one directory that
// the client library and kivod agree on.
//
//   directory   $KIVO_SOCKET_DIR when set and not empty, else /run/kivo
//   sockets     qor.sock (33), yeb.sock (34), tuk.sock (35), kivo.sock (46)
//
// A path longer than a Unix socket address holds (107 bytes) is refused with kSocketPathTooLong,
// on both sides, rather than cut.
//
// Thread-safety: pure functions (the environment is read at each call).
#pragma once

#include <sys/un.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "core/common/error/error.h"

namespace KivoWire {

/// The environment variable that moves the socket directory.
inline constexpr const char* kSocketDirVariable = "KIVO_SOCKET_DIR";
/// The socket directory when the variable is not set.
inline constexpr const char* kDefaultSocketDir = "/run/kivo";
/// A socket path that does not fit a Unix socket address.
inline constexpr uint32_t kSocketPathTooLong = 0xAE0011;
/// A service identifier that has no local socket.
inline constexpr uint32_t kNoSocketForService = 0xAE0012;

/// The socket directory in force (see the file comment).
[[nodiscard]] std::string SocketDirectory();
/// The file name of the socket of `serviceId`, or empty when it has none.
[[nodiscard]] std::string_view SocketName(uint32_t serviceId);
/// The address of the socket of `serviceId` in `directory`; an error when the service has no
/// socket or the path does not fit.
[[nodiscard]] Common::Error SocketAddress(const std::string& directory, uint32_t serviceId,
                                          sockaddr_un& address, std::string& path);

}  // namespace KivoWire
