// The server's listening Unix sockets and the peers that reach them (tcp_listener.h: the TCP
// listener).
//
// The socket directory is created mode 0750 when missing (an existing one is left as its owner
// made it); each socket is made mode 0660. With an allowed group both belong to that group, which
// this process's user must be a member of to hand them over. A socket file left by a process
// that has gone is replaced; one that another process still answers is refused
// (kServiceRunning), and so is a file there that is not a socket.
//
// A peer may use the service when its user (SO_PEERCRED) is this process's effective user or
// root, or when the allowed group is its primary group or one of its supplementary groups (read
// from /proc/<pid>/status).
//
// Thread-safety: functions over their arguments; a Listener belongs to one thread.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>

#include "core/common/error/error.h"

namespace KivoServer {

/// One listening socket: a Unix socket of a service, or the TCP listener.
struct Listener {
    int fd = -1;
    uint32_t service = 0;
    std::string path;
    // TCP: the address bound ("<address>:<port>"); empty for a Unix socket.
    std::string address;
    // The socket file as bound, so that only our own file is removed.
    dev_t device = 0;
    ino_t inode = 0;
};

/// The credentials of a connected peer.
struct Peer {
    pid_t pid = 0;
    uid_t uid = 0;
    gid_t gid = 0;
};

/// An error of `code` at `place` whose message is `what` and the system's text of errno.
[[nodiscard]] Common::Error SystemFailure(const Common::SourceLocation& place, uint32_t code,
                                          const std::string& what);

/// Creates `directory` when missing (see the file comment). Throws Common::Error.
void PrepareDirectory(const std::string& directory, std::optional<gid_t> group);

/// Listens (non-blocking) on the socket of `service` in `directory`. Throws Common::Error.
[[nodiscard]] Listener Listen(const std::string& directory, uint32_t service,
                              std::optional<gid_t> group);

/// Closes the socket and, for a Unix socket, removes its file when it is still the one bound.
void CloseListener(Listener& listener) noexcept;

/// The credentials of the peer of the connected socket `fd`; false when they cannot be had.
[[nodiscard]] bool ReadPeer(int fd, Peer& peer) noexcept;

/// Whether `peer` may use the service (see the file comment).
[[nodiscard]] bool PeerAllowed(const Peer& peer, std::optional<gid_t> group);

}  // namespace KivoServer
