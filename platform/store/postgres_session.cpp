#include "platform/store/postgres_session.h"

#include <endian.h>
#include <poll.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <utility>

#include "platform/store/store_errors.h"

namespace KivoStore {
namespace {

constexpr std::string_view kSchemes[] = {"postgresql://", "postgres://"};

// What a session sets unless the connection string does: bounded waits, and a dead peer noticed.
constexpr std::pair<const char*, const char*> kDefaults[] = {
    {"connect_timeout", "10"},     {"keepalives", "1"},       {"keepalives_idle", "30"},
    {"keepalives_interval", "10"}, {"keepalives_count", "3"}, {"fallback_application_name", "kivo"},
};

Common::Error BadConnection(const Common::SourceLocation& place, const std::string& shown,
                            const std::string& why) {
    return Common::Error(place, kBadConnectionString,
                         "KIVO: The connection string '" + shown + "' cannot be used: " + why);
}

// The connection string without the password of its user part or of a "password" parameter.
std::string Redacted(const std::string& text) {
    std::string shown = text;
    // The user part ends at the last '@' before the parameters: a password may hold a '/' that
    // libpq would refuse, and the message of that refusal must not show it either.
    const size_t start = shown.find("://") + 3;
    const size_t end = std::min(shown.find('?', start), shown.size());
    const size_t at = shown.rfind('@', end - 1);
    if (at != std::string::npos && at >= start) {
        const size_t colon = shown.find(':', start);
        if (colon != std::string::npos && colon < at)
            shown.replace(colon, at - colon, ":***");
    }
    for (size_t found = shown.find("password="); found != std::string::npos;
         found = shown.find("password=", found + 1)) {
        if (found == 0 || (shown[found - 1] != '?' && shown[found - 1] != '&'))
            continue;
        const size_t value = found + std::strlen("password=");
        const size_t stop = std::min(shown.find('&', value), shown.size());
        shown.replace(value, stop - value, "***");
    }
    return shown;
}

// The first schema of a search_path setting, unquoted; empty when there is none.
std::string FirstSchema(std::string_view path) {
    while (!path.empty() && (path.front() == ' ' || path.front() == '\t'))
        path.remove_prefix(1);
    std::string schema;
    if (!path.empty() && path.front() == '"') {
        for (size_t i = 1; i < path.size(); ++i) {
            if (path[i] != '"') {
                schema += path[i];
            } else if (i + 1 < path.size() && path[i + 1] == '"') {
                schema += '"';
                ++i;
            } else {
                return schema;
            }
        }
        return {};
    }
    schema = std::string(path.substr(0, path.find(',')));
    while (!schema.empty() && (schema.back() == ' ' || schema.back() == '\t'))
        schema.pop_back();
    return schema;
}

// The search_path that libpq's options set, if any (the value of "-c search_path=…" up to the
// next unescaped space).
bool OptionsSearchPath(const std::string& options, std::string& path) {
    const size_t found = options.find("search_path=");
    if (found == std::string::npos)
        return false;
    path.clear();
    for (size_t i = found + std::strlen("search_path="); i < options.size(); ++i) {
        if (options[i] == '\\' && i + 1 < options.size()) {
            path += options[++i];
            continue;
        }
        if (options[i] == ' ')
            break;
        path += options[i];
    }
    return true;
}

// The arrays that libpq takes for bound parameters. A text parameter must end with a NUL for
// libpq, so text values are copied.
struct BoundParams {
    explicit BoundParams(std::initializer_list<PgParam> params) {
        texts.reserve(params.size());
        for (const PgParam& param : params) {
            if (param.text && !param.null) {
                texts.emplace_back(reinterpret_cast<const char*>(param.bytes.data()),
                                   param.bytes.size());
                values.push_back(texts.back().c_str());
            } else {
                values.push_back(param.null ? nullptr
                                            : reinterpret_cast<const char*>(param.bytes.data()));
            }
            lengths.push_back(static_cast<int>(param.bytes.size()));
            formats.push_back(param.text ? 0 : 1);
        }
    }
    int Count() const { return static_cast<int>(values.size()); }

    std::vector<const char*> values;
    std::vector<int> lengths;
    std::vector<int> formats;
    std::vector<std::string> texts;
};

}  // namespace

bool IsPostgresConnection(std::string_view connection) {
    for (const std::string_view scheme : kSchemes) {
        if (connection.starts_with(scheme))
            return true;
    }
    return false;
}

PostgresTarget ParsePostgresTarget(const std::string& connection) {
    PostgresTarget target;
    target.displayName = Redacted(connection);
    char* failure = nullptr;
    PQconninfoOption* options = PQconninfoParse(connection.c_str(), &failure);
    if (options == nullptr) {
        std::string why = failure != nullptr ? failure : "libpq cannot read it";
        PQfreemem(failure);
        while (!why.empty() && why.back() == '\n')
            why.pop_back();
        throw BadConnection(COMMON_PLACE("KivoStore::ParsePostgresTarget"), target.displayName,
                            why);
    }
    std::string optionsValue;
    for (const PQconninfoOption* option = options; option->keyword != nullptr; ++option) {
        if (option->val == nullptr)
            continue;
        if (std::strcmp(option->keyword, "options") == 0) {
            optionsValue = option->val;
            continue;
        }
        target.keywords.emplace_back(option->keyword);
        target.values.emplace_back(option->val);
    }
    PQconninfoFree(options);
    for (const auto& [keyword, value] : kDefaults) {
        bool given = false;
        for (const std::string& known : target.keywords)
            given = given || known == keyword;
        if (!given) {
            target.keywords.emplace_back(keyword);
            target.values.emplace_back(value);
        }
    }
    std::string path;
    if (!OptionsSearchPath(optionsValue, path)) {
        path = kDefaultPostgresSchema;
        optionsValue += optionsValue.empty() ? "" : " ";
        optionsValue += "-csearch_path=";
        optionsValue += kDefaultPostgresSchema;
    }
    target.schema = FirstSchema(path);
    if (target.schema.empty() || target.schema.starts_with('$'))
        throw BadConnection(COMMON_PLACE("KivoStore::ParsePostgresTarget"), target.displayName,
                            "its search_path '" + path + "' names no schema for the store");
    target.keywords.emplace_back("options");
    target.values.push_back(optionsValue);
    return target;
}

PgInt8::PgInt8(int64_t value) {
    const uint64_t big = htobe64(static_cast<uint64_t>(value));
    std::memcpy(bytes, &big, sizeof bytes);
}

int64_t PgInteger(const PGresult* result, int row, int column, int64_t fallback) {
    if (PQgetisnull(result, row, column) || PQgetlength(result, row, column) != 8)
        return fallback;
    uint64_t big = 0;
    std::memcpy(&big, PQgetvalue(result, row, column), sizeof big);
    return static_cast<int64_t>(be64toh(big));
}

std::span<const uint8_t> PgBytes(const PGresult* result, int row, int column) {
    if (PQgetisnull(result, row, column))
        return {};
    return {reinterpret_cast<const uint8_t*>(PQgetvalue(result, row, column)),
            static_cast<size_t>(PQgetlength(result, row, column))};
}

PostgresSession::PostgresSession(PostgresTarget target, std::chrono::milliseconds busyWait,
                                 bool readOnly, Preparer prepare)
    : target_(std::move(target)),
      busyWait_(busyWait),
      readOnly_(readOnly),
      prepare_(std::move(prepare)) {
    try {
        Connect(COMMON_PLACE("KivoStore::PostgresSession::PostgresSession"));
    } catch (...) {
        // No destructor runs for a constructor that throws.
        PQfinish(std::exchange(conn_, nullptr));
        throw;
    }
}

PostgresSession::~PostgresSession() {
    PQfinish(conn_);
}

void PostgresSession::Connect(const Common::SourceLocation& place) {
    PQfinish(std::exchange(conn_, nullptr));
    std::vector<const char*> keywords;
    std::vector<const char*> values;
    for (size_t i = 0; i < target_.keywords.size(); ++i) {
        keywords.push_back(target_.keywords[i].c_str());
        values.push_back(target_.values[i].c_str());
    }
    keywords.push_back(nullptr);
    values.push_back(nullptr);
    pending_ = 0;
    conn_ = PQconnectdbParams(keywords.data(), values.data(), 0);
    if (conn_ == nullptr || PQstatus(conn_) != CONNECTION_OK) {
        std::string why = conn_ != nullptr ? PQerrorMessage(conn_) : "out of memory";
        while (!why.empty() && (why.back() == '\n' || why.back() == ' '))
            why.pop_back();
        throw Common::Error(
            place, kStoreFailure,
            "KIVO: Cannot connect to the store '" + target_.displayName + "': " + why);
    }
    // Notices ("schema exists, skipping") are for people at a prompt, not for our output.
    PQsetNoticeProcessor(
        conn_, [](void*, const char*) {}, nullptr);
    // Every write waits at most busyWait for another writer's lock.
    const std::string setup = "SET lock_timeout = " + std::to_string(busyWait_.count()) +
                              (readOnly_ ? "; SET default_transaction_read_only = on" : "");
    Check(place, PQexec(conn_, setup.c_str()));
    inTransaction_ = false;
    if (prepare_)
        prepare_(*this);
}

void PostgresSession::Heal(const Common::SourceLocation& place) {
    // Between transactions the server has nothing to say to this session (it listens to no
    // channel) unless it ended the connection while it was idle (a restart): then its last
    // words wait on the socket, and the call connects again instead of failing. One poll.
    if (!inTransaction_ && PQstatus(conn_) == CONNECTION_OK) {
        pollfd polled{PQsocket(conn_), POLLIN, 0};
        if (::poll(&polled, 1, 0) != 1)
            return;
    } else if (PQstatus(conn_) == CONNECTION_OK) {
        return;
    }
    if (inTransaction_)
        throw Common::Error(place, kStoreFailure,
                            "KIVO: The connection to the store '" + target_.displayName +
                                "' broke during a transaction, which is lost.");
    Connect(place);
}

Common::Error PostgresSession::StoreError(const Common::SourceLocation& place, const char* state,
                                          const std::string& message) const {
    const std::string code = state != nullptr ? state : "";
    std::string why = message;
    while (!why.empty() && (why.back() == '\n' || why.back() == ' '))
        why.pop_back();
    if (code == "55P03" || code == "40P01")
        return Common::Error(place, kStoreBusy,
                             "KIVO: The store '" + target_.displayName +
                                 "' is held by another writer; gave up after " +
                                 std::to_string(busyWait_.count()) + " ms.");
    if (code == "25006")
        return Common::Error(
            place, kStoreReadOnly,
            "KIVO: The store '" + target_.displayName + "' is open read-only: " + why);
    // 08: connection exceptions; 57P: the server ended the session (shutdown, restart).
    if (PQstatus(conn_) != CONNECTION_OK || code.starts_with("08") || code.starts_with("57P"))
        return Common::Error(place, kStoreFailure,
                             "KIVO: The connection to the store '" + target_.displayName +
                                 "' broke: " + why + "; the next call connects again.");
    return Common::Error(place, kStoreFailure,
                         "KIVO: The store '" + target_.displayName + "' failed: " + why +
                             (code.empty() ? std::string() : " (SQLSTATE " + code + ")"));
}

PgResult PostgresSession::Check(const Common::SourceLocation& place, PGresult* raw) {
    PgResult result(raw, &PQclear);
    const ExecStatusType status =
        result != nullptr ? PQresultStatus(result.get()) : PGRES_FATAL_ERROR;
    if (status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK)
        return result;
    const char* state =
        result != nullptr ? PQresultErrorField(result.get(), PG_DIAG_SQLSTATE) : nullptr;
    throw StoreError(
        place, state,
        result != nullptr ? PQresultErrorMessage(result.get()) : PQerrorMessage(conn_));
}

PgResult PostgresSession::Execute(const Common::SourceLocation& place, const char* sql,
                                  std::initializer_list<PgParam> params) {
    Heal(place);
    (void)Settle(place);
    const BoundParams bound(params);
    return Check(place, PQexecParams(conn_, sql, bound.Count(), nullptr, bound.values.data(),
                                     bound.lengths.data(), bound.formats.data(), 1));
}

void PostgresSession::ExecuteScript(const Common::SourceLocation& place, const char* sql) {
    Heal(place);
    (void)Settle(place);
    (void)Check(place, PQexec(conn_, sql));
}

PgResult PostgresSession::ExecutePrepared(const Common::SourceLocation& place, const char* name,
                                          std::initializer_list<PgParam> params) {
    Heal(place);
    if (pending_ > 0) {
        // The writes sent before it and this read share one round trip.
        Send(place, name, params);
        return Settle(place);
    }
    const BoundParams bound(params);
    return Check(place, PQexecPrepared(conn_, name, bound.Count(), bound.values.data(),
                                       bound.lengths.data(), bound.formats.data(), 1));
}

void PostgresSession::Send(const Common::SourceLocation& place, const char* name,
                           std::initializer_list<PgParam> params) {
    Heal(place);
    if (pending_ == 0 && PQenterPipelineMode(conn_) != 1)
        throw StoreError(place, nullptr, PQerrorMessage(conn_));
    const BoundParams bound(params);
    // libpq copies the values into its output buffer here.
    if (PQsendQueryPrepared(conn_, name, bound.Count(), bound.values.data(), bound.lengths.data(),
                            bound.formats.data(), 1) != 1) {
        Discard();
        throw StoreError(place, nullptr, PQerrorMessage(conn_));
    }
    ++pending_;
}

PgResult PostgresSession::Settle(const Common::SourceLocation& place) {
    PgResult last(nullptr, &PQclear);
    if (pending_ == 0)
        return last;
    pending_ = 0;
    if (PQpipelineSync(conn_) != 1) {
        Discard();
        throw StoreError(place, nullptr, PQerrorMessage(conn_));
    }
    std::optional<Common::Error> failure;
    // Each statement's results end with a null; the sync's result ends the pipeline. Two nulls
    // in a row mean the connection has nothing more to give.
    bool afterNull = false;
    for (;;) {
        PGresult* raw = PQgetResult(conn_);
        if (raw == nullptr) {
            if (afterNull || PQstatus(conn_) != CONNECTION_OK)
                break;
            afterNull = true;
            continue;
        }
        afterNull = false;
        PgResult result(raw, &PQclear);
        const ExecStatusType status = PQresultStatus(raw);
        if (status == PGRES_PIPELINE_SYNC)
            break;
        if (status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK) {
            last = std::move(result);
        } else if (!failure && status != PGRES_PIPELINE_ABORTED) {
            failure = StoreError(place, PQresultErrorField(raw, PG_DIAG_SQLSTATE),
                                 PQresultErrorMessage(raw));
        }
    }
    if (PQstatus(conn_) != CONNECTION_OK || PQexitPipelineMode(conn_) != 1) {
        if (!failure)
            failure = StoreError(place, nullptr, PQerrorMessage(conn_));
    }
    if (failure)
        throw *failure;
    return last;
}

void PostgresSession::Discard() noexcept {
    if (pending_ == 0 && PQpipelineStatus(conn_) == PQ_PIPELINE_OFF)
        return;
    pending_ = 0;
    if (PQstatus(conn_) != CONNECTION_OK)
        return;
    if (PQpipelineSync(conn_) == 1) {
        bool afterNull = false;
        while (PQstatus(conn_) == CONNECTION_OK) {
            PGresult* raw = PQgetResult(conn_);
            if (raw == nullptr) {
                if (afterNull)
                    break;
                afterNull = true;
                continue;
            }
            afterNull = false;
            const bool synced = PQresultStatus(raw) == PGRES_PIPELINE_SYNC;
            PQclear(raw);
            if (synced)
                break;
        }
    }
    (void)PQexitPipelineMode(conn_);
}

void PostgresSession::Prepare(const char* name, const char* sql, int paramCount) {
    Check(COMMON_PLACE("KivoStore::PostgresSession::Prepare"),
          PQprepare(conn_, name, sql, paramCount, nullptr));
}

void PostgresSession::Begin(const Common::SourceLocation& place, const char* begin) {
    Heal(place);
    (void)Settle(place);
    Check(place, PQexec(conn_, begin));
    inTransaction_ = true;
}

void PostgresSession::Commit(const Common::SourceLocation& place) {
    (void)Settle(place);
    PgResult result = Check(place, PQexec(conn_, "COMMIT"));
    inTransaction_ = false;
    // A COMMIT of a failed transaction answers ROLLBACK: nothing was kept.
    if (std::strcmp(PQcmdStatus(result.get()), "ROLLBACK") == 0)
        throw Common::Error(place, kStoreFailure,
                            "KIVO: The store '" + target_.displayName +
                                "' rolled the transaction back instead of committing it.");
}

void PostgresSession::Rollback() noexcept {
    Discard();
    if (!inTransaction_)
        return;
    inTransaction_ = false;
    if (PQstatus(conn_) == CONNECTION_OK)
        PQclear(PQexec(conn_, "ROLLBACK"));
}

}  // namespace KivoStore
