// kivod's command line.
//
//   kivod --store <connection string> [--services QOR,YEB,TUK,KIVO] [--socket-dir D]
//         [--local-group G] [--interface-version 1|2] [--poll-bound-ms N] [--ping-ms N]
//         [--dead-ms N] [--ready-fd N]
//   kivod --help | --version
//
// Each flag takes its value as the next argument or after "=". Services are named as kivo_dump
// names them (QOR 33, YEB 34, TUK 35, KIVO 46; default all four), case-insensitively, each at
// most once. The socket directory defaults to the one the client library uses (KIVO_SOCKET_DIR,
// else /run/kivo). The group is a name or a number. Milliseconds are decimal numbers from 1 to
// 3600000, and --dead-ms must pass --ping-ms. Anything else is kUsage, naming the flag.
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

/// What the command line asks.
struct Options {
    bool help = false;
    bool version = false;
    std::u16string store;
    std::vector<uint32_t> services{33, 34, 35, 46};
    std::string socketDirectory;
    std::optional<gid_t> group;
    uint32_t interfaceVersion = 2;
    std::chrono::milliseconds pollBound{1000};
    std::chrono::milliseconds pingAfter{1000};
    std::chrono::milliseconds deadAfter{3000};
    int readyFd = -1;
};

/// The options of `arguments` (without the program's name). Throws Common::Error (kUsage, or
/// the store's kBadConnectionString).
[[nodiscard]] Options ParseOptions(const std::vector<std::string>& arguments);

}  // namespace Kivod
