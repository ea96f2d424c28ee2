#include "platform/wire/socket_paths.h"

#include <sys/socket.h>

#include <cstdlib>
#include <cstring>

namespace KivoWire {

std::string SocketDirectory() {
    const char* directory = std::getenv(kSocketDirVariable);
    return directory != nullptr && directory[0] != '\0' ? directory : kDefaultSocketDir;
}

std::string_view SocketName(uint32_t serviceId) {
    switch (serviceId) {
        case 33:
            return "qor.sock";
        case 34:
            return "yeb.sock";
        case 35:
            return "tuk.sock";
        case 46:
            return "kivo.sock";
    }
    return {};
}

Common::Error SocketAddress(const std::string& directory, uint32_t serviceId, sockaddr_un& address,
                            std::string& path) {
    const std::string_view name = SocketName(serviceId);
    if (name.empty())
        return Common::Error(
            COMMON_PLACE("KivoWire::SocketAddress"), kNoSocketForService,
            "Service " + std::to_string(serviceId) + " has no socket on this machine.");
    path = directory + "/" + std::string(name);
    address = sockaddr_un{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path)
        return Common::Error(COMMON_PLACE("KivoWire::SocketAddress"), kSocketPathTooLong,
                             "The socket path " + path + " is " + std::to_string(path.size()) +
                                 " bytes long; a Unix socket path holds at most " +
                                 std::to_string(sizeof address.sun_path - 1) +
                                 ": choose a shorter socket directory.");
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return Common::Error();
}

}  // namespace KivoWire
