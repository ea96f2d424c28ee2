// One libpq connection to a PostgreSQL store, and what every statement of the engine needs of it.
//
// Connection strings are libpq's URIs, "postgresql://…" or "postgres://…" (ParsePostgresTarget).
// The store lives in one schema, the first of the search_path: "kivo" unless the connection
// string sets one through libpq's options ("options=-csearch_path%3Dother"). Unless the string
// says otherwise, a session waits at most 10 s to connect and keeps TCP connections alive (a
// peer gone without a word is noticed within about a minute). Messages name the store by its
// connection string without its password.
//
// Every statement binds its values (PQexecParams or prepared statements) and asks for binary
// results, so that bodies arrive as their bytes. A failed statement throws the store error of
// its SQLSTATE (kStoreBusy for a lock not had in time, kStoreReadOnly for a write refused as
// read-only, kStoreFailure otherwise, libpq's message as reason).
//
// Connection faults: a statement on a broken connection fails with kStoreFailure saying so; the
// next statement outside a transaction connects again (and prepares the statements again), as
// does one whose idle connection the server ended meanwhile, so a server restart costs the calls
// that were in flight, not the session.
//
// The session's states:
//
//   Connect ---> READY --Begin--> IN TRANSACTION --Commit / Rollback--> READY
//                  ^                    |  connection lost: the call throws
//                  |                    v
//                  +---- next call outside a transaction: PQreset, re-prepare --- BROKEN
//   A BROKEN session inside a transaction fails every statement until Rollback, which ends the
//   transaction it lost. Inside a transaction, writes may be sent ahead (Send): the connection
//   is then in pipeline mode until the next call that waits reads every result back.
//
// Thread-safety: one thread at a time.
#pragma once

#include <libpq-fe.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/common/error/error.h"
#include "core/common/noncopyable.h"

namespace KivoStore {

/// The schema of a store whose connection string names none.
inline constexpr const char* kDefaultPostgresSchema = "kivo";

/// True when `connection` (UTF-8) is a PostgreSQL connection string.
[[nodiscard]] bool IsPostgresConnection(std::string_view connection);

/// What a PostgreSQL connection string names, ready for libpq.
struct PostgresTarget {
    /// libpq's keywords and values, the defaults of this library added.
    std::vector<std::string> keywords;
    std::vector<std::string> values;
    /// The connection string without its password, for messages.
    std::string displayName;
    /// The store's schema (the first of the search_path), unquoted.
    std::string schema;
};

/// Reads a PostgreSQL connection string; kBadConnectionString when libpq cannot read it or its
/// search_path names no schema.
[[nodiscard]] PostgresTarget ParsePostgresTarget(const std::string& connection);

/// A result of libpq, freed when it goes.
using PgResult = std::unique_ptr<PGresult, decltype(&PQclear)>;

/// One bound parameter: binary unless `text` (a text parameter is sent as its UTF-8 bytes).
struct PgParam {
    std::span<const uint8_t> bytes;
    bool text = false;
    bool null = false;

    static PgParam Text(std::string_view value) {
        return {{reinterpret_cast<const uint8_t*>(value.data()), value.size()}, true, false};
    }
    static PgParam Binary(std::span<const uint8_t> value) { return {value, false, value.empty()}; }
};

/// A binary int8 parameter's bytes (network order).
struct PgInt8 {
    explicit PgInt8(int64_t value);
    PgParam Param() const { return {bytes, false, false}; }
    uint8_t bytes[8];
};

/// See the file comment.
class PostgresSession : private Common::NonCopyable {
  public:
    /// Prepares the session's named statements after each (re)connection.
    using Preparer = std::function<void(PostgresSession&)>;

    /// Connects; kStoreFailure with libpq's message when it cannot.
    PostgresSession(PostgresTarget target, std::chrono::milliseconds busyWait, bool readOnly,
                    Preparer prepare);
    ~PostgresSession();

    const PostgresTarget& Target() const { return target_; }
    PGconn* Raw() const { return conn_; }

    /// Runs `sql` with `params`, rows in binary. Throws the store error of a failure.
    PgResult Execute(const Common::SourceLocation& place, const char* sql,
                     std::initializer_list<PgParam> params = {});
    /// Runs `sql`, which may hold several statements and binds nothing (layout scripts).
    void ExecuteScript(const Common::SourceLocation& place, const char* sql);
    /// Runs the prepared statement `name`.
    PgResult ExecutePrepared(const Common::SourceLocation& place, const char* name,
                             std::initializer_list<PgParam> params = {});
    /// Sends the prepared statement `name` without waiting for its result: a write that only
    /// its transaction needs to see succeed. The statements sent go out in one pipeline with
    /// the next call that waits for an answer, so a batch of writes costs about one round trip
    /// per read; the first of their failures is thrown by that call.
    void Send(const Common::SourceLocation& place, const char* name,
              std::initializer_list<PgParam> params);
    /// Prepares `sql` as `name` (from the Preparer).
    void Prepare(const char* name, const char* sql, int paramCount);

    /// Transactions: Begin runs `begin` (BEGIN with its mode); End commits or rolls back.
    void Begin(const Common::SourceLocation& place, const char* begin);
    void Commit(const Common::SourceLocation& place);
    /// Ends the open transaction, if any, without keeping it. Never throws.
    void Rollback() noexcept;
    [[nodiscard]] bool InTransaction() const { return inTransaction_; }

    /// The store error for `message` (libpq's) of SQLSTATE `state` (may be null).
    [[nodiscard]] Common::Error StoreError(const Common::SourceLocation& place, const char* state,
                                           const std::string& message) const;

  private:
    void Connect(const Common::SourceLocation& place);
    // Connects again when the connection broke outside a transaction.
    void Heal(const Common::SourceLocation& place);
    PgResult Check(const Common::SourceLocation& place, PGresult* result);
    // Ends the pipeline of the statements sent: reads their results and throws the first
    // failure; returns the last statement's result (null when none was sent).
    PgResult Settle(const Common::SourceLocation& place);
    // Ends the pipeline, dropping its results. Never throws.
    void Discard() noexcept;

    PostgresTarget target_;
    std::chrono::milliseconds busyWait_;
    bool readOnly_;
    Preparer prepare_;
    PGconn* conn_ = nullptr;
    bool inTransaction_ = false;
    // Statements sent whose results are not read yet (the connection is in pipeline mode).
    size_t pending_ = 0;
};

/// A binary int8 column of `row`, or `fallback` when it is null.
[[nodiscard]] int64_t PgInteger(const PGresult* result, int row, int column, int64_t fallback);
/// A binary column's bytes (empty when null).
[[nodiscard]] std::span<const uint8_t> PgBytes(const PGresult* result, int row, int column);

}  // namespace KivoStore
