// IPCClient::ParseHost: the host argument of a binder (Binding::ConnectionParameters::host), read
// into a name or address and a TCP port.
//
//   host            a DNS name or an IPv4 address; port kDefaultPort (7446)
//   host:port       the same with a port
//   [addr]          an IPv6 address
//   [addr]:port     the same with a port
//   addr            an IPv6 address without brackets, taken whole when the text has more than
//                   one ':' (so it carries no port)
//
// A port is 1 to 5 decimal digits of a value from 1 to 65535. A name is 1 to 253 letters, digits,
// '-', '_' and '.'; an IPv6 address is one that inet_pton reads (no zone suffix). Anything else
// (an empty text, spaces, an empty name or port, brackets around something that is not an IPv6
// address, text after the closing bracket other than ":port") fails with kIpcClientBadHost,
// whose message quotes the text.
//
// The name is what the resolver is asked for and what the server's certificate must name: the
// host as written, without brackets or port.
//
// Thread-safety: pure functions.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "core/common/error/error.h"

namespace IPCClient {

/// The port of a host written without one.
inline constexpr uint16_t kDefaultPort = 7446;

/// A host argument read by ParseHost.
struct HostAddress {
    std::string name;  // without brackets
    uint16_t port = kDefaultPort;

    /// "name:port", the name of an IPv6 address in brackets: how errors name the host.
    [[nodiscard]] std::string Display() const;
};

/// See the file comment.
[[nodiscard]] Common::Error ParseHost(std::string_view text, HostAddress& address);

}  // namespace IPCClient
