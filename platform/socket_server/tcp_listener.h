// The server's TCP listener and the text of network addresses.
//
// A listen address is "<host>:<port>" or "[<IPv6 address>]:<port>": the host a name or an IPv4
// address literal (the first address the resolver gives is taken), the port a decimal number from
// 0 to 65535, where 0 lets the kernel choose one. The listener reuses the address of connections
// in TIME_WAIT, so that a restarted service can listen at once. An IPv6 wildcard listens on IPv4
// too where the system allows it (its peers then show as ::ffff:a.b.c.d).
//
// Addresses are written "<address>:<port>", an IPv6 address in brackets ("[::1]:7446").
//
// Thread-safety: functions over their arguments.
#pragma once

#include <sys/socket.h>

#include <string>

#include "core/common/error/error.h"
#include "platform/socket_server/listeners.h"

namespace KivoServer {

/// The address at `text`, in `address` and `size`; kBadListenAddress when the text is not a
/// listen address (see the file comment) or its host names no address.
[[nodiscard]] Common::Error ResolveListenAddress(const std::string& text, sockaddr_storage& address,
                                                 socklen_t& size);

/// Listens (non-blocking) on TCP at `text`; the listener's `address` is the one bound, with the
/// port the kernel chose. Throws Common::Error: kBadListenAddress, kServerFailure.
[[nodiscard]] Listener ListenTcp(const std::string& text);

/// The text of an IPv4 or IPv6 socket address: "<address>:<port>", or the address alone when
/// `withPort` is false; "?" for another family.
[[nodiscard]] std::string AddressText(const sockaddr_storage& address, bool withPort = true);

}  // namespace KivoServer
