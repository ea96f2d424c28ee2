#include "platform/socket_server/tcp_listener.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "platform/socket_server/socket_server.h"

namespace KivoServer {
namespace {

Common::Error BadAddress(const std::string& text, const std::string& why) {
    return Common::Error(COMMON_PLACE("KivoServer::ResolveListenAddress"), kBadListenAddress,
                         "KIVO: '" + text + "' is not an address to listen on: " + why + ".");
}

}  // namespace

Common::Error ResolveListenAddress(const std::string& text, sockaddr_storage& address,
                                   socklen_t& size) {
    const size_t colon = text.rfind(':');
    std::string host = text.substr(0, std::min(colon, text.size()));
    const std::string port = colon == std::string::npos ? "" : text.substr(colon + 1);
    const bool bracketed = host.size() >= 2 && host.front() == '[' && host.back() == ']';
    if (bracketed)
        host = host.substr(1, host.size() - 2);
    const bool portDigits =
        !port.empty() && port.size() <= 5 &&
        std::all_of(port.begin(), port.end(), [](char c) { return c >= '0' && c <= '9'; });
    if (!portDigits || std::stoul(port) > 65535)
        return BadAddress(text, "write host:port or [IPv6 address]:port, the port from 0 to 65535");
    if (host.empty() || (!bracketed && host.find_first_of(":[]") != std::string::npos))
        return BadAddress(text, "the host is missing, or an IPv6 address is not in brackets");
    addrinfo hints{};
    hints.ai_family = bracketed ? AF_INET6 : AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV | (bracketed ? AI_NUMERICHOST : 0);
    addrinfo* found = nullptr;
    const int failed = ::getaddrinfo(host.c_str(), port.c_str(), &hints, &found);
    if (failed != 0 || found == nullptr || found->ai_addrlen > sizeof address) {
        if (found != nullptr)
            ::freeaddrinfo(found);
        return BadAddress(text, std::string("the host names no address (") +
                                    (failed != 0 ? ::gai_strerror(failed) : "none") + ")");
    }
    address = sockaddr_storage{};
    std::memcpy(&address, found->ai_addr, found->ai_addrlen);
    size = found->ai_addrlen;
    ::freeaddrinfo(found);
    return Common::Error();
}

Listener ListenTcp(const std::string& text) {
    sockaddr_storage address{};
    socklen_t size = 0;
    if (Common::Error bad = ResolveListenAddress(text, address, size); !bad.IsEmpty())
        throw bad;
    Listener listener;
    listener.fd = ::socket(address.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (listener.fd < 0)
        throw SystemFailure(COMMON_PLACE("KivoServer::ListenTcp"), kServerFailure,
                            "A TCP socket cannot be made");
    const int on = 1;
    socklen_t boundSize = sizeof address;
    if (::setsockopt(listener.fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
        ::bind(listener.fd, reinterpret_cast<const sockaddr*>(&address), size) != 0 ||
        ::listen(listener.fd, SOMAXCONN) != 0 ||
        ::getsockname(listener.fd, reinterpret_cast<sockaddr*>(&address), &boundSize) != 0) {
        const Common::Error failure = SystemFailure(COMMON_PLACE("KivoServer::ListenTcp"),
                                                    kServerFailure, "'" + text + "' cannot listen");
        ::close(listener.fd);
        throw failure;
    }
    listener.address = AddressText(address);
    return listener;
}

std::string AddressText(const sockaddr_storage& address, bool withPort) {
    char text[INET6_ADDRSTRLEN] = {};
    uint16_t port = 0;
    if (address.ss_family == AF_INET) {
        const auto& inet = reinterpret_cast<const sockaddr_in&>(address);
        ::inet_ntop(AF_INET, &inet.sin_addr, text, sizeof text);
        port = ntohs(inet.sin_port);
    } else if (address.ss_family == AF_INET6) {
        const auto& inet6 = reinterpret_cast<const sockaddr_in6&>(address);
        ::inet_ntop(AF_INET6, &inet6.sin6_addr, text, sizeof text);
        port = ntohs(inet6.sin6_port);
    } else {
        return "?";
    }
    std::string written(text);
    if (!withPort)
        return written;
    if (address.ss_family == AF_INET6) {
        written.insert(written.begin(), '[');
        written.push_back(']');
    }
    written.push_back(':');
    written.append(std::to_string(port));
    return written;
}

}  // namespace KivoServer
