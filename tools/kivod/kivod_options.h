// kivod's command line.
//
//   kivod --store <connection string> [--services QOR,YEB,TUK,KIVO] [--socket-dir D]
//         [--local-group G] [--interface-version 1|2] [--poll-bound-ms N] [--ping-ms N]
//         [--dead-ms N] [--ready-fd N]
//         [--listen ADDR:PORT --tls-cert F --tls-key F --users F [--login-delay-ms N]
//          [--max-logging-in N]]
//   kivod passwd <users file> <user>
//   kivod --help | --version
//
// Each flag takes its value as the next argument or after "=". Services are named as kivo_dump
// names them (QOR 33, YEB 34, TUK 35, KIVO 46; default all four), case-insensitively, each at
// most once. The socket directory defaults to the one the client library uses (KIVO_SOCKET_DIR,
// else /run/kivo). The group is a name or a number. Milliseconds are decimal numbers from 1 to
// 3600000, and --dead-ms must pass --ping-ms.
//
// --listen serves other hosts over TCP as well: "host:port" or "[IPv6 address]:port", port 0
// for one the kernel chooses. It needs all of --tls-cert, --tls-key and --users (there is no
// plaintext mode), and those need --listen. --login-delay-ms (0 to 60000, default 250; 0 turns
// the delays off) is the base of the delay that answers repeated failed logins from one address;
// --max-logging-in (1 to 100000, default 64) bounds the connections not yet logged in.
//
// `passwd` adds or changes a user of a users file; it takes no flags and reads the password from
// standard input, never from the command line. Anything else is kUsage, whose message says what
// is wrong and is all that kivod prints of it.
//
// Thread-safety: pure functions (the environment and the group database are read).
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace Kivod {

/// A command line that kivod does not take.
inline constexpr uint32_t kUsage = 0xFC00A8;

/// The text of --help.
extern const char* const kUsageText;

/// What `kivod passwd` asks.
struct PasswdCommand {
    std::string usersFile;
    std::string user;
};

/// What the command line asks.
struct Options {
    bool help = false;
    bool version = false;
    std::optional<PasswdCommand> passwd;
    std::u16string store;
    std::vector<uint32_t> services{33, 34, 35, 46};
    std::string socketDirectory;
    std::optional<gid_t> group;
    uint32_t interfaceVersion = 2;
    std::chrono::milliseconds pollBound{1000};
    std::chrono::milliseconds pingAfter{1000};
    std::chrono::milliseconds deadAfter{3000};
    int readyFd = -1;
    // TCP: none without --listen.
    std::string listen;
    std::string tlsCertificate;
    std::string tlsKey;
    std::string usersFile;
    std::chrono::milliseconds loginDelay{250};
    size_t maxLoggingIn = 64;
};

/// The options of `arguments` (without the program's name). Throws Common::Error (kUsage, or
/// the store's kBadConnectionString).
[[nodiscard]] Options ParseOptions(const std::vector<std::string>& arguments);

}  // namespace Kivod
