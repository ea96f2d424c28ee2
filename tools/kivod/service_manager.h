// Tells the service manager (systemd, for a unit of Type=notify) how kivod is doing.
//
// When the environment variable NOTIFY_SOCKET names a socket (a path, or "@name" in the abstract
// namespace), NotifyServiceManager sends it one datagram holding `state`, for example "READY=1"
// or "STOPPING=1"; when it is unset or empty nothing is sent. This is the whole of the protocol
// that kivod needs, so no library is linked for it.
//
// Thread-safety: may be called from any thread; reads the environment.
#pragma once

#include <cstdint>
#include <string_view>

#include "core/common/error/error.h"

namespace Kivod {

/// The service manager's socket could not be reached.
inline constexpr uint32_t kNotifyFailed = 0xFC00AD;

/// Sends `state` to the socket of NOTIFY_SOCKET, if set; kNotifyFailed when NOTIFY_SOCKET
/// names no socket path or the datagram cannot be sent.
[[nodiscard]] Common::Error NotifyServiceManager(std::string_view state);

}  // namespace Kivod
