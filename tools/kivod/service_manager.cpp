#include "tools/kivod/service_manager.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/socket_server/listeners.h"

namespace Kivod {

Common::Error NotifyServiceManager(std::string_view state) {
    const char* const path = std::getenv("NOTIFY_SOCKET");
    if (path == nullptr || path[0] == '\0')
        return {};
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const size_t length = std::strlen(path);
    if ((path[0] != '/' && path[0] != '@') || length >= sizeof address.sun_path)
        return Common::Error(COMMON_PLACE("Kivod::NotifyServiceManager"), kNotifyFailed,
                             "KIVO: NOTIFY_SOCKET names no socket: '" + std::string(path) + "'.");
    std::memcpy(address.sun_path, path, length);
    // "@name" is a socket of the abstract namespace, whose name begins with a NUL and is not
    // ended by one.
    const bool abstract = path[0] == '@';
    if (abstract)
        address.sun_path[0] = '\0';
    const auto size =
        static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length + (abstract ? 0 : 1));
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return KivoServer::SystemFailure(COMMON_PLACE("Kivod::NotifyServiceManager"), kNotifyFailed,
                                         "No socket for NOTIFY_SOCKET");
    ssize_t sent;
    do {
        sent = ::sendto(fd, state.data(), state.size(), MSG_NOSIGNAL,
                        reinterpret_cast<const sockaddr*>(&address), size);
    } while (sent < 0 && errno == EINTR);
    Common::Error failure;
    if (sent != static_cast<ssize_t>(state.size())) {
        // Appended piece by piece: GCC 12 at -O3 warns (-Wrestrict) of a chain of + on a literal.
        std::string what = "The state for the service manager cannot be sent to ";
        what += path;
        failure = KivoServer::SystemFailure(COMMON_PLACE("Kivod::NotifyServiceManager"),
                                            kNotifyFailed, what);
    }
    ::close(fd);
    return failure;
}

}  // namespace Kivod
