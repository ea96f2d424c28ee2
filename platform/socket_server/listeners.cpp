#include "platform/socket_server/listeners.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

#include "platform/socket_server/socket_server.h"
#include "platform/wire/socket_paths.h"

namespace KivoServer {
namespace {

// Whether a process answers on the socket at `address`.
bool Answers(const sockaddr_un& address) {
    const int probe = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (probe < 0)
        return false;
    const bool answered =
        ::connect(probe, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    ::close(probe);
    return answered;
}

// Removes a socket file that nobody answers; refuses a live socket or a file of another kind.
void ClearStale(const sockaddr_un& address, const std::string& path) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0)
        return;
    if (!S_ISSOCK(info.st_mode))
        throw Common::Error(COMMON_PLACE("KivoServer::Listen"), kServiceRunning,
                            "KIVO: '" + path + "' exists and is not a socket; it is left alone.");
    if (Answers(address))
        throw Common::Error(COMMON_PLACE("KivoServer::Listen"), kServiceRunning,
                            "KIVO: Another service already answers on '" + path + "'.");
    if (::unlink(path.c_str()) != 0 && errno != ENOENT)
        throw SystemFailure(COMMON_PLACE("KivoServer::Listen"), kServerFailure,
                            "The stale socket '" + path + "' cannot be removed");
}

// Gives `path` the mode and, with one, the group.
void Own(const std::string& path, mode_t mode, std::optional<gid_t> group) {
    if (group && ::chown(path.c_str(), static_cast<uid_t>(-1), *group) != 0)
        throw SystemFailure(COMMON_PLACE("KivoServer::Listen"), kServerFailure,
                            "'" + path + "' cannot be given to group " + std::to_string(*group) +
                                " (this user must be a member of it)");
    if (::chmod(path.c_str(), mode) != 0)
        throw SystemFailure(COMMON_PLACE("KivoServer::Listen"), kServerFailure,
                            "The mode of '" + path + "' cannot be set");
}

// Whether the "Groups:" line of /proc/<pid>/status names `group`.
bool InSupplementaryGroups(pid_t pid, gid_t group) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("Groups:", 0) != 0)
            continue;
        std::istringstream groups(line.substr(7));
        groups.imbue(std::locale::classic());
        unsigned long member = 0;
        while (groups >> member) {
            if (member == group)
                return true;
        }
        return false;
    }
    return false;
}

}  // namespace

Common::Error SystemFailure(const Common::SourceLocation& place, uint32_t code,
                            const std::string& what) {
    return Common::Error(place, code, "KIVO: " + what + ": " + std::strerror(errno) + ".");
}

void PrepareDirectory(const std::string& directory, std::optional<gid_t> group) {
    if (::mkdir(directory.c_str(), 0750) == 0) {
        Own(directory, 0750, group);
        return;
    }
    struct stat info {};
    if (errno != EEXIST || ::stat(directory.c_str(), &info) != 0 || !S_ISDIR(info.st_mode))
        throw SystemFailure(COMMON_PLACE("KivoServer::PrepareDirectory"), kServerFailure,
                            "The socket directory '" + directory + "' cannot be made");
}

Listener Listen(const std::string& directory, uint32_t service, std::optional<gid_t> group) {
    Listener listener;
    listener.service = service;
    sockaddr_un address{};
    const Common::Error refused =
        KivoWire::SocketAddress(directory, service, address, listener.path);
    if (!refused.IsEmpty())
        throw refused;
    ClearStale(address, listener.path);
    listener.fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (listener.fd < 0)
        throw SystemFailure(COMMON_PLACE("KivoServer::Listen"), kServerFailure,
                            "A socket cannot be made");
    struct stat info {};
    if (::bind(listener.fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::stat(listener.path.c_str(), &info) != 0) {
        const Common::Error failure =
            SystemFailure(COMMON_PLACE("KivoServer::Listen"), kServerFailure,
                          "The socket '" + listener.path + "' cannot be bound");
        ::close(listener.fd);
        throw failure;
    }
    listener.device = info.st_dev;
    listener.inode = info.st_ino;
    try {
        Own(listener.path, 0660, group);
        if (::listen(listener.fd, SOMAXCONN) != 0)
            throw SystemFailure(COMMON_PLACE("KivoServer::Listen"), kServerFailure,
                                "The socket '" + listener.path + "' cannot listen");
    } catch (const Common::Error&) {
        CloseListener(listener);
        throw;
    }
    return listener;
}

void CloseListener(Listener& listener) noexcept {
    if (listener.fd < 0)
        return;
    ::close(listener.fd);
    listener.fd = -1;
    if (!listener.address.empty())
        return;
    struct stat info {};
    if (::lstat(listener.path.c_str(), &info) == 0 && info.st_dev == listener.device &&
        info.st_ino == listener.inode)
        ::unlink(listener.path.c_str());
}

bool ReadPeer(int fd, Peer& peer) noexcept {
    ucred credentials{};
    socklen_t size = sizeof credentials;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &size) != 0)
        return false;
    peer.pid = credentials.pid;
    peer.uid = credentials.uid;
    peer.gid = credentials.gid;
    return true;
}

bool PeerAllowed(const Peer& peer, std::optional<gid_t> group) {
    if (peer.uid == ::geteuid() || peer.uid == 0)
        return true;
    if (!group)
        return false;
    return peer.gid == *group || (peer.pid > 0 && InSupplementaryGroups(peer.pid, *group));
}

}  // namespace KivoServer
