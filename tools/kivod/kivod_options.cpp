#include "tools/kivod/kivod_options.h"

#include <grp.h>

#include <algorithm>
#include <cctype>
#include <string_view>
#include <utility>

#include "core/common/error/error.h"
#include "platform/socket_server/tcp_listener.h"
#include "platform/store/connection.h"
#include "platform/wire/socket_paths.h"

namespace Kivod {

const char* const kUsageText =
    "usage: kivod --store <connection string> [--services QOR,YEB,TUK,KIVO] [--socket-dir D]\n"
    "             [--local-group G] [--interface-version 1|2] [--poll-bound-ms N]\n"
    "             [--ping-ms N] [--dead-ms N] [--ready-fd N]\n"
    "             [--listen ADDR:PORT --tls-cert F --tls-key F --users F\n"
    "              [--login-delay-ms N] [--max-logging-in N]]\n"
    "       kivod passwd <users file> <user>\n"
    "       kivod --help | --version\n"
    "Serves the view manager of the store to clients on this machine over Unix sockets in\n"
    "the socket directory (default: $KIVO_SOCKET_DIR, else /run/kivo). With --local-group the\n"
    "members of group G may connect too (kivod's user must be in G); --ready-fd N receives one\n"
    "line \"unix <path>\" per socket, then \"tcp <address>:<port>\" with --listen, then\n"
    "\"ready\". When NOTIFY_SOCKET is set (systemd's Type=notify) it sends READY=1 there as\n"
    "well. SIGTERM or SIGINT ends it.\n"
    "With --listen it serves other hosts over TCP (ADDR:PORT, [IPv6]:PORT; port 0: any),\n"
    "always in TLS 1.3 with the certificate chain and key of --tls-cert and --tls-key, to the\n"
    "users of the users file --users, who log in with their password. The key and users files\n"
    "must not be open to group or others. Repeated failed logins from one address are answered\n"
    "after a delay growing from --login-delay-ms (default 250; 0: none); --max-logging-in\n"
    "(default 64) bounds the connections that have not logged in yet.\n"
    "kivod passwd adds or changes a user of the users file (made mode 0600 when missing),\n"
    "reading the password as one line of standard input.\n";

namespace {

constexpr int64_t kMaxMilliseconds = 3'600'000;
constexpr std::string_view kValueFlags[] = {
    "--store",         "--services", "--socket-dir", "--local-group",    "--interface-version",
    "--poll-bound-ms", "--ping-ms",  "--dead-ms",    "--ready-fd",       "--listen",
    "--tls-cert",      "--tls-key",  "--users",      "--login-delay-ms", "--max-logging-in"};

Common::Error Usage(const std::string& what) {
    return Common::Error(COMMON_PLACE("Kivod::ParseOptions"), kUsage, what);
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

// The TCP flags come all together or not at all.
void CheckRemote(const Options& options) {
    const std::pair<const char*, const std::string*> needed[] = {
        {"--tls-cert", &options.tlsCertificate},
        {"--tls-key", &options.tlsKey},
        {"--users", &options.usersFile}};
    std::string missing;
    for (const auto& [flag, value] : needed) {
        if (!options.listen.empty() && value->empty())
            missing += std::string(missing.empty() ? "" : ", ") + flag;
        if (options.listen.empty() && !value->empty())
            throw Usage(std::string(flag) + " is only for --listen");
    }
    if (!missing.empty())
        throw Usage("--listen needs " + missing + " as well: there is no plaintext mode");
    if (options.listen.empty())
        return;
    sockaddr_storage address{};
    socklen_t size = 0;
    if (!KivoServer::ResolveListenAddress(options.listen, address, size).IsEmpty())
        throw Usage(
            "--listen takes host:port or [IPv6 address]:port, a port from 0 to 65535 "
            "and a host that has an address, not '" +
            options.listen + "'");
}

}  // namespace

Options ParseOptions(const std::vector<std::string>& arguments) {
    Options options;
    if (!arguments.empty() && arguments[0] == "passwd") {
        if (arguments.size() != 3 || arguments[1].empty() || arguments[2].empty())
            throw Usage(
                "kivod passwd takes a users file and a user, and reads the password "
                "from standard input");
        options.passwd = PasswdCommand{arguments[1], arguments[2]};
        return options;
    }
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
        } else if (flag == "--listen" || flag == "--tls-cert" || flag == "--tls-key" ||
                   flag == "--users") {
            if (value.empty())
                throw Usage(flag + " needs a value");
            (flag == "--listen"     ? options.listen
             : flag == "--tls-cert" ? options.tlsCertificate
             : flag == "--tls-key"  ? options.tlsKey
                                    : options.usersFile) = value;
        } else if (flag == "--login-delay-ms") {
            options.loginDelay = std::chrono::milliseconds(Number(flag, value, 0, 60000));
        } else if (flag == "--max-logging-in") {
            options.maxLoggingIn = static_cast<size_t>(Number(flag, value, 1, 100000));
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
    CheckRemote(options);
    if (options.socketDirectory.empty())
        options.socketDirectory = KivoWire::SocketDirectory();
    return options;
}

}  // namespace Kivod
