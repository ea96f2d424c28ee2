#include "tools/kivod/serve.h"

#include <signal.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <optional>

#include "core/common/error/error.h"
#include "core/common/exit_status.h"
#include "core/common/text.h"
#include "core/common/version.h"
#include "platform/security/tls.h"
#include "platform/security/users_file.h"
#include "platform/service/view_manager_service.h"
#include "platform/socket_server/listeners.h"
#include "platform/socket_server/socket_server.h"
#include "platform/store/connection.h"
#include "platform/store/store.h"
#include "platform/wire/frame.h"
#include "tools/kivod/kivod_options.h"
#include "tools/kivod/passwd.h"
#include "tools/kivod/service_manager.h"

namespace Kivod {
namespace {

// One line on standard error in one write, so that threads do not mix their lines.
void Log(const std::string& line) {
    const std::string text = "kivod: " + line + "\n";
    [[maybe_unused]] const ssize_t written = ::write(STDERR_FILENO, text.data(), text.size());
}

void LogFailure(const Common::Error& failure) {
    if (!failure.IsEmpty())
        Log(Common::ToUtf8(failure.Message()));
}

// Blocks SIGTERM and SIGINT for this thread and every thread it starts; they are read from the
// returned signalfd. SIGPIPE and SIGHUP are ignored.
int TakeSignals() {
    ::signal(SIGPIPE, SIG_IGN);
    ::signal(SIGHUP, SIG_IGN);
    sigset_t stops;
    sigemptyset(&stops);
    sigaddset(&stops, SIGTERM);
    sigaddset(&stops, SIGINT);
    const int fd = ::pthread_sigmask(SIG_BLOCK, &stops, nullptr) == 0
                       ? ::signalfd(-1, &stops, SFD_CLOEXEC)
                       : -1;
    if (fd < 0)
        throw KivoServer::SystemFailure(COMMON_PLACE("Kivod::Serve"), KivoServer::kServerFailure,
                                        "The stop signals cannot be taken");
    return fd;
}

// Room for the connections: the soft limit of open descriptors goes up to the hard one.
void RaiseDescriptorLimit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        if (::setrlimit(RLIMIT_NOFILE, &limit) != 0)
            Log("the descriptor limit stays where it is: " + std::string(std::strerror(errno)));
    }
}

// Writes the sockets, the TCP address and "ready" to `fd`, then closes it.
void Announce(int fd, const KivoServer::SocketServer& server) {
    std::string text;
    for (const std::string& path : server.Paths())
        text += "unix " + path + "\n";
    if (!server.RemoteAddress().empty())
        text += "tcp " + server.RemoteAddress() + "\n";
    text += "ready\n";
    size_t sent = 0;
    while (sent < text.size()) {
        const ssize_t written = ::write(fd, text.data() + sent, text.size() - sent);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0) {
            const Common::Error failure = KivoServer::SystemFailure(
                COMMON_PLACE("Kivod::Serve"), kReadyNotWritten,
                "The ready descriptor " + std::to_string(fd) + " cannot be written");
            ::close(fd);
            throw failure;
        }
        sent += static_cast<size_t>(written);
    }
    ::close(fd);
}

// The signal that ended the wait on `signals`.
int AwaitStop(int signals) {
    signalfd_siginfo info{};
    for (;;) {
        const ssize_t got = ::read(signals, &info, sizeof info);
        if (got == static_cast<ssize_t>(sizeof info))
            return static_cast<int>(info.ssi_signo);
        if (got < 0 && errno != EINTR)
            throw KivoServer::SystemFailure(COMMON_PLACE("Kivod::Serve"),
                                            KivoServer::kServerFailure,
                                            "The stop signals cannot be read");
    }
}

// The TCP part of the server's options: the TLS context and the users, checked before anything
// listens.
KivoServer::RemoteOptions Remote(const Options& options) {
    KivoServer::RemoteOptions remote;
    remote.listen = options.listen;
    if (Common::Error failed =
            KivoSecurity::MakeServerContext(options.tlsCertificate, options.tlsKey, remote.tls);
        !failed.IsEmpty())
        throw failed;
    remote.verifier = std::make_shared<KivoSecurity::PasswordVerifier>(options.usersFile);
    if (Common::Error failed = remote.verifier->Load(); !failed.IsEmpty())
        throw failed;
    remote.maxLoggingIn = options.maxLoggingIn;
    remote.loginFailureDelay = options.loginDelay;
    return remote;
}

void Serve(const Options& options) {
    const int signals = TakeSignals();
    RaiseDescriptorLimit();
    std::optional<KivoServer::RemoteOptions> remote;
    if (!options.listen.empty())
        remote = Remote(options);
    std::shared_ptr<KivoStore::Store> store = KivoStore::Store::Open(options.store);
    KivoService::ServiceOptions serviceOptions;
    serviceOptions.interfaceVersion = options.interfaceVersion;
    serviceOptions.pollBound = options.pollBound;
    serviceOptions.replyLimit = KivoWire::kMaxPayloadBytes;
    std::shared_ptr<KivoService::ViewManagerService> service =
        KivoService::ViewManagerService::Start(store, serviceOptions);

    KivoServer::ServerOptions serverOptions;
    serverOptions.directory = options.socketDirectory;
    serverOptions.services = options.services;
    serverOptions.group = options.group;
    serverOptions.pingAfter = options.pingAfter;
    serverOptions.deadAfter = options.deadAfter;
    serverOptions.log = Log;
    serverOptions.remote = std::move(remote);
    std::unique_ptr<KivoServer::SocketServer> server =
        KivoServer::SocketServer::Start({service}, serverOptions);
    if (options.readyFd >= 0)
        Announce(options.readyFd, *server);
    // Shown without a password that the connection string may hold.
    std::string serving = "serving ";
    serving += KivoStore::ConnectionDisplayName(options.store);
    serving += " in ";
    serving += options.socketDirectory;
    if (!server->RemoteAddress().empty()) {
        serving += " and on ";
        serving += server->RemoteAddress();
    }
    Log("ready: " + serving);
    // A service manager that waits for READY=1 and never gets it stops the service at its start
    // timeout, so a failure to tell it is logged, not fatal.
    LogFailure(NotifyServiceManager("READY=1\nSTATUS=" + serving));

    const int signal = AwaitStop(signals);
    Log(std::string("stopping on ") + (signal == SIGINT ? "SIGINT" : "SIGTERM"));
    LogFailure(NotifyServiceManager("STOPPING=1"));
    // The connections close before the view manager stops: a client sees its connection lost,
    // never an answer of the stopping service.
    server->Stop();
    service->Stop();
    server.reset();
    service.reset();
    store.reset();
    ::close(signals);
}

}  // namespace

int Run(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& errors) {
    try {
        const Options options = ParseOptions(arguments);
        if (options.help) {
            out << kUsageText << std::flush;
            return 0;
        }
        if (options.passwd) {
            ChangePassword(*options.passwd, out);
            return 0;
        }
        if (options.version) {
            out << "kivod " << Common::kVersion << ", service protocol "
                << KivoWire::kProtocolVersion << std::endl;
            return 0;
        }
        Serve(options);
        return 0;
    } catch (const Common::Error& error) {
        if (error.Code() == kUsage) {
            errors << "kivod: " << Common::ToUtf8(error.Message())
                   << "\nTry 'kivod --help' for more information." << std::endl;
            return Common::kUsageExitStatus;
        }
        errors << "kivod: " << Common::ToUtf8(error.ToText()) << std::endl;
        return Common::ExitStatusOf(error.Code());
    }
}

}  // namespace Kivod
