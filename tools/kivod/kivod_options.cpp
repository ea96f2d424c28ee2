#include "tools/kivod/kivod_options.h"

#include <grp.h>

#include <algorithm>
#include <cctype>
#include <string_view>
#include <utility>

#include "core/common/error/error.h"
#include "platform/store/connection.h"
#include "platform/wire/socket_paths.h"

namespace Kivod {

const char* const kUsageText =
    "usage: kivod --store <connection string> [--services QOR,YEB,TUK,KIVO] [--socket-dir D]\n"
    "             [--local-group G] [--interface-version 1|2] [--poll-bound-ms N]\n"
    "             [--ping-ms N] [--dead-ms N] [--ready-fd N]\n"
    "       kivod --help | --version\n"
    "Serves the view manager of the store to clients on this machine over Unix sockets in\n"
    "the socket directory (default: $KIVO_SOCKET_DIR, else /run/kivo). With --local-group the\n"
    "members of group G may connect too (kivod's user must be in G); --ready-fd N receives one\n"
    "line \"unix <path>\" per socket, then \"ready\". SIGTERM or SIGINT ends it.\n";

namespace {

constexpr int64_t kMaxMilliseconds = 3'600'000;
constexpr std::string_view kValueFlags[] = {
    "--store",         "--services", "--socket-dir", "--local-group", "--interface-version",
    "--poll-bound-ms", "--ping-ms",  "--dead-ms",    "--ready-fd"};

Common::Error Usage(const std::string& what) {
    return Common::Error(COMMON_PLACE("Kivod::ParseOptions"), kUsage,
                         "KIVO: " + what + " (kivod --help tells the flags).");
}

// A decimal number from `low` to `high`; kUsage naming `flag` otherwise.
int64_t Number(const std::string& flag, const std::string& text, int64_t low, int64_t high) {
    int64_t value = 0;
    const bool digits =
        !text.empty() && text.size() <= 10 &&
        std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
    if (digits) {
        for (const char c : text)
            value = value * 10 + (c - '0');
    }
    if (!digits || value < low || value > high)
        throw Usage(flag + " takes a number from " + std::to_string(low) + " to " +
                    std::to_string(high) + ", not '" + text + "'");
    return value;
}

std::vector<uint32_t> Services(const std::string& text) {
    static const std::pair<const char*, uint32_t> kNames[] = {
        {"QOR", 33}, {"YEB", 34}, {"TUK", 35}, {"KIVO", 46}};
    std::vector<uint32_t> services;
    size_t start = 0;
    for (;;) {
        const size_t comma = std::min(text.find(',', start), text.size());
        std::string name = text.substr(start, comma - start);
        std::transform(name.begin(), name.end(), name.begin(),
                       [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
        const auto found = std::find_if(std::begin(kNames), std::end(kNames),
                                        [&](const auto& known) { return name == known.first; });
        if (found == std::end(kNames))
            throw Usage("--services takes QOR, YEB, TUK or KIVO separated by commas, not '" + text +
                        "'");
        if (std::find(services.begin(), services.end(), found->second) != services.end())
            throw Usage("--services names " + name + " twice");
        services.push_back(found->second);
        if (comma == text.size())
            return services;
        start = comma + 1;
    }
}

gid_t Group(const std::string& text) {
    if (!text.empty() && std::isdigit(static_cast<unsigned char>(text[0])))
        return static_cast<gid_t>(Number("--local-group", text, 0, 0x7FFFFFFF));
    std::vector<char> buffer(16384);
    group entry{};
    group* found = nullptr;
    if (::getgrnam_r(text.c_str(), &entry, buffer.data(), buffer.size(), &found) != 0 ||
        found == nullptr)
        throw Usage("--local-group names no group '" + text + "' of this machine");
    return found->gr_gid;
}

}  // namespace

Options ParseOptions(const std::vector<std::string>& arguments) {
    Options options;
    bool haveStore = false;
    for (size_t i = 0; i < arguments.size(); ++i) {
        std::string flag = arguments[i];
        if (flag == "--help" || flag == "--version") {
            (flag == "--help" ? options.help : options.version) = true;
            continue;
        }
        std::string value;
        const size_t equals = flag.find('=');
        if (equals != std::string::npos) {
            value = flag.substr(equals + 1);
            flag.resize(equals);
        }
        if (std::find(std::begin(kValueFlags), std::end(kValueFlags), flag) ==
            std::end(kValueFlags))
            throw Usage("'" + flag + "' is not a flag of kivod");
        if (equals == std::string::npos) {
            if (i + 1 == arguments.size())
                throw Usage(flag + " needs a value");
            value = arguments[++i];
        }
        if (flag == "--store") {
            options.store = KivoStore::DecodeConnectionString(value);
            haveStore = !value.empty();
        } else if (flag == "--services") {
            options.services = Services(value);
        } else if (flag == "--socket-dir") {
            if (value.empty())
                throw Usage("--socket-dir needs a directory");
            options.socketDirectory = value;
        } else if (flag == "--local-group") {
            options.group = Group(value);
        } else if (flag == "--interface-version") {
            options.interfaceVersion = static_cast<uint32_t>(Number(flag, value, 1, 2));
        } else if (flag == "--poll-bound-ms") {
            options.pollBound = std::chrono::milliseconds(Number(flag, value, 1, kMaxMilliseconds));
        } else if (flag == "--ping-ms") {
            options.pingAfter = std::chrono::milliseconds(Number(flag, value, 1, kMaxMilliseconds));
        } else if (flag == "--dead-ms") {
            options.deadAfter = std::chrono::milliseconds(Number(flag, value, 1, kMaxMilliseconds));
        } else {
            options.readyFd = static_cast<int>(Number(flag, value, 0, 0x7FFFFFFF));
        }
    }
    if (options.help || options.version)
        return options;
    if (!haveStore)
        throw Usage("--store <connection string> is needed");
    if (options.deadAfter <= options.pingAfter)
        throw Usage("--dead-ms (" + std::to_string(options.deadAfter.count()) +
                    ") must pass --ping-ms (" + std::to_string(options.pingAfter.count()) + ")");
    if (options.socketDirectory.empty())
        options.socketDirectory = KivoWire::SocketDirectory();
    return options;
}

}  // namespace Kivod
