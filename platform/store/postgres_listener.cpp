#include "platform/store/postgres_listener.h"

#include <poll.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/store/store_errors.h"

namespace KivoStore {
namespace {

class PostgresListener final : public ChangeSource {
  public:
    explicit PostgresListener(const PostgresTarget& target)
        : session_(target, std::chrono::milliseconds(0), true, nullptr) {
        const std::string channel = ChangeChannel(target.schema);
        char* quoted = PQescapeIdentifier(session_.Raw(), channel.data(), channel.size());
        if (quoted == nullptr)
            throw Broken(COMMON_PLACE("KivoStore::ListenForChanges"));
        const std::string listen = std::string("LISTEN ") + quoted;
        PQfreemem(quoted);
        (void)session_.Execute(COMMON_PLACE("KivoStore::ListenForChanges"), listen.c_str());
    }

    void Run(int stopFd, const std::function<void()>& changed) override {
        PGconn* conn = session_.Raw();
        pollfd polled[] = {{stopFd, POLLIN, 0}, {PQsocket(conn), POLLIN, 0}};
        for (;;) {
            if (::poll(polled, 2, -1) < 0) {
                if (errno == EINTR)
                    continue;
                throw Common::Error(COMMON_PLACE("KivoStore::PostgresListener::Run"), kStoreFailure,
                                    std::string("KIVO: The change feed cannot wait for changes: ") +
                                        std::strerror(errno));
            }
            if (polled[0].revents != 0)
                return;
            if (polled[1].revents == 0)
                continue;
            if (PQconsumeInput(conn) == 0 || PQstatus(conn) != CONNECTION_OK)
                throw Broken(COMMON_PLACE("KivoStore::PostgresListener::Run"));
            bool any = false;
            while (PGnotify* notification = PQnotifies(conn)) {
                PQfreemem(notification);
                any = true;
            }
            if (any)
                changed();
        }
    }

  private:
    Common::Error Broken(const Common::SourceLocation& place) const {
        std::string why = PQerrorMessage(session_.Raw());
        while (!why.empty() && (why.back() == '\n' || why.back() == ' '))
            why.pop_back();
        return Common::Error(place, kStoreFailure,
                             "KIVO: The change feed lost its connection to the store '" +
                                 session_.Target().displayName +
                                 "', so changes could go unheard: " +
                                 (why.empty() ? std::string("the server closed it") : why));
    }

    PostgresSession session_;
};

}  // namespace

std::string ChangeChannel(const std::string& schema) {
    // A channel name is an identifier of at most 63 bytes: the schema's FNV-1a hash keeps it
    // short and equal in every process.
    uint64_t hash = 0xcbf29ce484222325ULL;
    for (const char c : schema) {
        hash ^= static_cast<uint8_t>(c);
        hash *= 0x100000001b3ULL;
    }
    char text[32];
    std::snprintf(text, sizeof text, "kivo_changes_%016llx", static_cast<unsigned long long>(hash));
    return text;
}

std::unique_ptr<ChangeSource> ListenForChanges(const PostgresTarget& target) {
    return std::make_unique<PostgresListener>(target);
}

}  // namespace KivoStore
