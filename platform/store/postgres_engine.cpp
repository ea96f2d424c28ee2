#include "platform/store/postgres_engine.h"

#include <algorithm>
#include <atomic>
#include <charconv>
#include <chrono>
#include <cstring>
#include <string>

#include "core/common/error/error.h"
#include "core/common/text.h"
#include "platform/store/postgres_listener.h"
#include "platform/store/postgres_session.h"
#include "platform/store/store_errors.h"

namespace KivoStore {
namespace {

// The statements that bring layout `index` to layout `index + 1`.
constexpr const char* kPostgresLayoutSteps[] = {
    "CREATE TABLE kivo_store(name text PRIMARY KEY, value text NOT NULL);"
    "INSERT INTO kivo_store(name, value) VALUES ('layout', 'kivo object store'),"
    " ('pruned_below', '1'), ('retention_age_seconds', '86400'),"
    " ('retention_entries', '1000000');"
    "CREATE TABLE objects(id bytea PRIMARY KEY, body bytea NOT NULL);"
    "CREATE TABLE object_types(type text COLLATE \"C\" NOT NULL, id bytea NOT NULL,"
    " PRIMARY KEY (type, id));"
    "CREATE TABLE changes(seq bigint PRIMARY KEY, kind smallint NOT NULL, id bytea NOT NULL,"
    " key bytea, before bytea, after bytea, diff bytea, at bigint NOT NULL);",
};
static_assert(std::size(kPostgresLayoutSteps) == kPostgresLayoutVersion);

// The advisory lock that write transactions of one store take ("KIVO", the schema's hash).
constexpr const char* kTakeWriteLock =
    "SELECT pg_advisory_xact_lock(1263097423, hashtext(current_schema()))";

// Rows fetched from a cursor at a time.
constexpr int kFetchRows = 256;

int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

PgParam Id(const ObjectId& id) {
    return PgParam::Binary(id);
}

// A setting's text as a number; false when it is none.
bool ParseSetting(std::span<const uint8_t> text, int64_t& value) {
    const char* begin = reinterpret_cast<const char*>(text.data());
    const char* end = begin + text.size();
    const auto [stop, failure] = std::from_chars(begin, end, value);
    return failure == std::errc() && stop == end && begin != end;
}

// Walks the rows of a query through a server-side cursor; see the file comment of the header.
class PgRows : private Common::NonCopyable {
  public:
    PgRows(PostgresSession& session, const std::string& select,
           std::initializer_list<PgParam> params)
        : session_(session),
          name_("kivo_cursor_" + std::to_string(counter_.fetch_add(1))),
          ownTransaction_(!session.InTransaction()) {
        if (ownTransaction_)
            session_.Begin(COMMON_PLACE("KivoStore::PgRows::PgRows"),
                           "BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY");
        try {
            (void)session_.Execute(COMMON_PLACE("KivoStore::PgRows::PgRows"),
                                   ("DECLARE " + name_ + " NO SCROLL CURSOR FOR " + select).c_str(),
                                   params);
        } catch (...) {
            if (ownTransaction_)
                session_.Rollback();
            throw;
        }
        fetch_ = "FETCH FORWARD " + std::to_string(kFetchRows) + " FROM " + name_;
    }
    ~PgRows() {
        if (ownTransaction_) {
            session_.Rollback();
        } else if (PQtransactionStatus(session_.Raw()) == PQTRANS_INTRANS) {
            // In a transaction that failed, the cursor goes with it: nothing to close.
            PQclear(PQexec(session_.Raw(), ("CLOSE " + name_).c_str()));
        }
    }
    bool Next() {
        if (++row_ < rows_)
            return true;
        if (done_)
            return false;
        result_ = session_.Execute(COMMON_PLACE("KivoStore::PgRows::Next"), fetch_.c_str());
        rows_ = PQntuples(result_.get());
        row_ = 0;
        done_ = rows_ < kFetchRows;
        return rows_ > 0;
    }
    std::span<const uint8_t> Bytes(int column) const {
        return PgBytes(result_.get(), row_, column);
    }
    int64_t Integer(int column, int64_t fallback) const {
        return PgInteger(result_.get(), row_, column, fallback);
    }

  private:
    static inline std::atomic<uint64_t> counter_{0};
    PostgresSession& session_;
    const std::string name_;
    const bool ownTransaction_;
    std::string fetch_;
    PgResult result_{nullptr, &PQclear};
    int rows_ = 0;
    int row_ = 0;
    bool done_ = false;
};

class PgObjectCursor final : public ObjectCursor {
  public:
    PgObjectCursor(PostgresSession& session, const std::string& select,
                   std::initializer_list<PgParam> params)
        : rows_(session, select, params) {}
    bool Next() override { return rows_.Next(); }
    std::span<const uint8_t> Id() const override { return rows_.Bytes(0); }
    std::span<const uint8_t> Body() const override { return rows_.Bytes(1); }

  private:
    PgRows rows_;
};

class PgChangeCursor final : public ChangeCursor {
  public:
    PgChangeCursor(PostgresSession& session, uint64_t after)
        : after_(static_cast<int64_t>(std::min<uint64_t>(after, kMaxSequence))),
          rows_(session,
                "SELECT seq, kind::int8, id, key, before, after, diff FROM changes"
                " WHERE seq > $1 ORDER BY seq",
                {after_.Param()}) {}
    bool Next() override { return rows_.Next(); }
    uint64_t Sequence() const override { return static_cast<uint64_t>(rows_.Integer(0, 0)); }
    int64_t Kind() const override { return rows_.Integer(1, -1); }
    std::span<const uint8_t> Id() const override { return rows_.Bytes(2); }
    std::span<const uint8_t> Key() const override { return rows_.Bytes(3); }
    std::span<const uint8_t> Before() const override { return rows_.Bytes(4); }
    std::span<const uint8_t> After() const override { return rows_.Bytes(5); }
    std::span<const uint8_t> Diff() const override { return rows_.Bytes(6); }

  private:
    PgInt8 after_;
    PgRows rows_;
};

// The engine's named statements and their parameter counts.
constexpr struct {
    const char* name;
    const char* sql;
    int parameters;
} kStatements[] = {
    {"kivo_read_object", "SELECT body FROM objects WHERE id = $1", 1},
    {"kivo_write_object",
     "INSERT INTO objects(id, body) VALUES ($1, $2)"
     " ON CONFLICT (id) DO UPDATE SET body = EXCLUDED.body",
     2},
    {"kivo_delete_object", "DELETE FROM objects WHERE id = $1", 1},
    {"kivo_add_type", "INSERT INTO object_types(type, id) VALUES ($1, $2) ON CONFLICT DO NOTHING",
     2},
    {"kivo_remove_type", "DELETE FROM object_types WHERE type = $1 AND id = $2", 2},
    {"kivo_append_change",
     "INSERT INTO changes(seq, kind, id, key, before, after, diff, at)"
     " VALUES ($1, $2::int8, $3, $4, $5, $6, $7, $8)",
     8},
    {"kivo_read_setting", "SELECT value FROM kivo_store WHERE name = $1", 1},
    {"kivo_newest_change", "SELECT max(seq) FROM changes", 0},
};

void PrepareStatements(PostgresSession& session) {
    for (const auto& statement : kStatements)
        session.Prepare(statement.name, statement.sql, statement.parameters);
}

class PostgresEngine final : public Engine {
  public:
    PostgresEngine(const PostgresTarget& target, const OpenOptions& options)
        : options_(options),
          session_(target, options.busyWait, options.readOnly, [this](PostgresSession& session) {
              if (prepared_)
                  PrepareStatements(session);
          }) {}

    PostgresSession& Session() { return session_; }

    // Checks that the schema holds a store of a layout this library reads; brings an earlier
    // one up to date (read-write); prepares the statements.
    void Attach() {
        CheckIsStore(COMMON_PLACE("KivoStore::PostgresEngine::Attach"), session_);
        const int version = LayoutVersion(session_);
        if (version > kPostgresLayoutVersion)
            throw Common::Error(COMMON_PLACE("KivoStore::PostgresEngine::Attach"), kStoreTooNew,
                                "KIVO: The store '" + Name() + "' has layout " +
                                    std::to_string(version) + "; this program knows up to " +
                                    std::to_string(kPostgresLayoutVersion) + ".");
        if (version < kPostgresLayoutVersion) {
            if (options_.readOnly)
                throw Common::Error(
                    COMMON_PLACE("KivoStore::PostgresEngine::Attach"), kStoreNeedsMigration,
                    "KIVO: The store '" + Name() + "' has the earlier layout " +
                        std::to_string(version) + " and needs migrating to layout " +
                        std::to_string(kPostgresLayoutVersion) + "; open it read-write once.");
            session_.Begin(COMMON_PLACE("KivoStore::PostgresEngine::Attach"), "BEGIN");
            (void)session_.Execute(COMMON_PLACE("KivoStore::PostgresEngine::Attach"),
                                   kTakeWriteLock);
            // Another process may have migrated it while this one waited for the lock.
            ApplyLayout(session_, LayoutVersion(session_));
            session_.Commit(COMMON_PLACE("KivoStore::PostgresEngine::Attach"));
        }
        prepared_ = true;
        PrepareStatements(session_);
    }

    // The store's schema: its existence, then its marker table.
    static void CheckIsStore(const Common::SourceLocation& place, PostgresSession& session) {
        const std::string& schema = session.Target().schema;
        PgResult found = session.Execute(
            place,
            "SELECT (SELECT count(*) FROM pg_namespace WHERE nspname = $1),"
            " (SELECT count(*) FROM pg_tables WHERE schemaname = $1 AND tablename = 'kivo_store'),"
            " (SELECT count(*) FROM pg_class c JOIN pg_namespace n ON n.oid = c.relnamespace"
            "  WHERE n.nspname = $1)",
            {PgParam::Text(schema)});
        const bool schemaExists = PgInteger(found.get(), 0, 0, 0) > 0;
        const bool marked = PgInteger(found.get(), 0, 1, 0) > 0;
        const bool empty = PgInteger(found.get(), 0, 2, 0) == 0;
        if (marked)
            return;
        if (schemaExists && !empty)
            throw Common::Error(place, kNotAStore,
                                "KIVO: '" + session.Target().displayName +
                                    "' is not a store: its "
                                    "schema '" +
                                    schema + "' holds tables of something else.");
        throw Common::Error(place, kStoreMissing,
                            "KIVO: The store '" + session.Target().displayName +
                                "' does not exist (no store in the schema '" + schema +
                                "'); kivo_store <connection> create makes one.");
    }

    // The layout version (0 for a schema being created).
    static int LayoutVersion(PostgresSession& session) {
        PgResult marker =
            session.Execute(COMMON_PLACE("KivoStore::PostgresEngine::LayoutVersion"),
                            "SELECT count(*) FROM pg_tables WHERE schemaname = current_schema()"
                            " AND tablename = 'kivo_store'");
        if (PgInteger(marker.get(), 0, 0, 0) == 0)
            return 0;
        PgResult result = session.Execute(
            COMMON_PLACE("KivoStore::PostgresEngine::LayoutVersion"),
            "SELECT coalesce((SELECT value FROM kivo_store WHERE name = 'layout_version'), '0')");
        int64_t version = 0;
        if (!ParseSetting(PgBytes(result.get(), 0, 0), version))
            throw Common::Error(COMMON_PLACE("KivoStore::PostgresEngine::LayoutVersion"),
                                kNotAStore,
                                "KIVO: '" + session.Target().displayName +
                                    "' is not a store: its layout version is not a number.");
        return static_cast<int>(std::clamp<int64_t>(version, 0, INT32_MAX));
    }

    // Runs the layout steps from `from` on, inside the caller's transaction.
    static void ApplyLayout(PostgresSession& session, int from) {
        for (int step = from; step < kPostgresLayoutVersion; ++step)
            session.ExecuteScript(COMMON_PLACE("KivoStore::PostgresEngine::ApplyLayout"),
                                  kPostgresLayoutSteps[step]);
        const std::string version = std::to_string(kPostgresLayoutVersion);
        (void)session.Execute(COMMON_PLACE("KivoStore::PostgresEngine::ApplyLayout"),
                              "INSERT INTO kivo_store(name, value) VALUES ('layout_version', $1)"
                              " ON CONFLICT (name) DO UPDATE SET value = EXCLUDED.value",
                              {PgParam::Text(version)});
    }

    void BeginWrite() override {
        nextSequence_ = 0;
        logged_ = false;
        session_.Begin(COMMON_PLACE("KivoStore::PostgresEngine::BeginWrite"), "BEGIN");
        try {
            (void)session_.Execute(COMMON_PLACE("KivoStore::PostgresEngine::BeginWrite"),
                                   kTakeWriteLock);
        } catch (...) {
            session_.Rollback();
            throw;
        }
    }
    void Commit() override {
        if (logged_) {
            const std::string channel = ChangeChannel(session_.Target().schema);
            (void)session_.Execute(COMMON_PLACE("KivoStore::PostgresEngine::Commit"),
                                   "SELECT pg_notify($1, '')", {PgParam::Text(channel)});
        }
        session_.Commit(COMMON_PLACE("KivoStore::PostgresEngine::Commit"));
    }
    void Rollback() noexcept override { session_.Rollback(); }

    bool ReadObject(const ObjectId& id, std::vector<uint8_t>& body) override {
        PgResult result = session_.ExecutePrepared(
            COMMON_PLACE("KivoStore::PostgresEngine::ReadObject"), "kivo_read_object", {Id(id)});
        if (PQntuples(result.get()) == 0)
            return false;
        const std::span<const uint8_t> bytes = PgBytes(result.get(), 0, 0);
        body.assign(bytes.begin(), bytes.end());
        return true;
    }
    void WriteObject(const ObjectId& id, std::span<const uint8_t> body) override {
        session_.Send(COMMON_PLACE("KivoStore::PostgresEngine::WriteObject"), "kivo_write_object",
                      {Id(id), PgParam{body, false, false}});
    }
    bool DeleteObject(const ObjectId& id) override {
        PgResult result =
            session_.ExecutePrepared(COMMON_PLACE("KivoStore::PostgresEngine::DeleteObject"),
                                     "kivo_delete_object", {Id(id)});
        return std::strcmp(PQcmdTuples(result.get()), "0") != 0;
    }
    std::unique_ptr<ObjectCursor> ScanObjects() override {
        return std::make_unique<PgObjectCursor>(
            session_, "SELECT id, body FROM objects ORDER BY id", std::initializer_list<PgParam>{});
    }
    std::unique_ptr<ObjectCursor> ScanObjectsOfType(std::u16string_view type) override {
        const std::string text = Common::ToUtf8(type);
        return std::make_unique<PgObjectCursor>(
            session_,
            "SELECT o.id, o.body FROM object_types t JOIN objects o ON o.id = t.id"
            " WHERE t.type = $1 ORDER BY t.id",
            std::initializer_list<PgParam>{PgParam::Text(text)});
    }
    void AddType(const ObjectId& id, std::u16string_view type) override {
        const std::string text = Common::ToUtf8(type);
        session_.Send(COMMON_PLACE("KivoStore::PostgresEngine::AddType"), "kivo_add_type",
                      {PgParam::Text(text), Id(id)});
    }
    void RemoveType(const ObjectId& id, std::u16string_view type) override {
        const std::string text = Common::ToUtf8(type);
        session_.Send(COMMON_PLACE("KivoStore::PostgresEngine::RemoveType"), "kivo_remove_type",
                      {PgParam::Text(text), Id(id)});
    }

    void AppendChange(const ChangeRecord& change) override {
        if (nextSequence_ == 0)
            nextSequence_ = NextSequence(ReadFeedMarks());
        const PgInt8 sequence(static_cast<int64_t>(nextSequence_));
        const PgInt8 kind(static_cast<int64_t>(change.kind));
        const PgInt8 at(NowMs());
        session_.Send(COMMON_PLACE("KivoStore::PostgresEngine::AppendChange"), "kivo_append_change",
                      {sequence.Param(), kind.Param(), PgParam::Binary(change.id),
                       PgParam::Binary(change.key), PgParam::Binary(change.before),
                       PgParam::Binary(change.after), PgParam::Binary(change.diff), at.Param()});
        ++nextSequence_;
        logged_ = true;
    }
    void PruneChanges(int64_t nowMs) override {
        const Retention retention = ReadRetention();
        const FeedMarks marks = ReadFeedMarks();
        const PgInt8 youngFrom(nowMs - retention.age.count() * 1000);
        PgResult young = session_.Execute(
            COMMON_PLACE("KivoStore::PostgresEngine::PruneChanges"),
            "SELECT seq FROM changes WHERE at >= $1 ORDER BY seq LIMIT 1", {youngFrom.Param()});
        std::optional<uint64_t> firstYoung;
        if (PQntuples(young.get()) == 1)
            firstYoung = static_cast<uint64_t>(PgInteger(young.get(), 0, 0, 0));
        const uint64_t cut = PruneMark(marks, retention, firstYoung);
        if (cut <= marks.prunedBelow)
            return;
        const PgInt8 below(static_cast<int64_t>(cut));
        (void)session_.Execute(COMMON_PLACE("KivoStore::PostgresEngine::PruneChanges"),
                               "DELETE FROM changes WHERE seq < $1", {below.Param()});
        WritePrunedBelow(cut, SettingsWriter());
    }
    Retention ReadRetention() override { return ReadRetentionSettings(SettingsReader()); }
    void WriteRetention(const Retention& retention) override {
        WriteRetentionSettings(retention, SettingsWriter());
    }
    FeedMarks ReadFeedMarks() override {
        FeedMarks marks;
        marks.prunedBelow = ReadPrunedBelow(SettingsReader());
        PgResult result = session_.ExecutePrepared(
            COMMON_PLACE("KivoStore::PostgresEngine::ReadFeedMarks"), "kivo_newest_change");
        const int64_t newest = PgInteger(result.get(), 0, 0, 0);
        if (!PQgetisnull(result.get(), 0, 0) && (newest < 1 || newest > kMaxSequence))
            throw BadNewestSequence(COMMON_PLACE("KivoStore::PostgresEngine::ReadFeedMarks"),
                                    newest);
        marks.last = std::max(static_cast<uint64_t>(newest), marks.prunedBelow - 1);
        return marks;
    }
    std::unique_ptr<ChangeCursor> ScanChanges(uint64_t after) override {
        return std::make_unique<PgChangeCursor>(session_, after);
    }

    void BeginRead() override {
        session_.Begin(COMMON_PLACE("KivoStore::PostgresEngine::BeginRead"),
                       "BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY");
    }
    void EndRead() noexcept override { session_.Rollback(); }

    std::string WatchKey() const override {
        PGconn* conn = session_.Raw();
        std::string key = "postgresql:";
        for (const char* part : std::initializer_list<const char*>{PQhost(conn), ":", PQport(conn),
                                                                   "/", PQdb(conn), "/"})
            key += part != nullptr ? part : "";
        return key + session_.Target().schema;
    }
    std::unique_ptr<ChangeSource> OpenChangeSource() override {
        return ListenForChanges(session_.Target());
    }
    std::unique_ptr<Engine> OpenReader() override {
        auto reader = std::make_unique<PostgresEngine>(session_.Target(), options_);
        reader->prepared_ = true;
        PrepareStatements(reader->session_);
        return reader;
    }

    bool ReadersAreScarce() const override { return true; }

  private:
    std::string Name() const { return session_.Target().displayName; }

    int64_t ReadSetting(const char* name, int64_t low, int64_t high, uint32_t code) {
        PgResult result =
            session_.ExecutePrepared(COMMON_PLACE("KivoStore::PostgresEngine::ReadSetting"),
                                     "kivo_read_setting", {PgParam::Text(name)});
        int64_t value = 0;
        if (PQntuples(result.get()) != 1 || !ParseSetting(PgBytes(result.get(), 0, 0), value) ||
            value < low || value > high)
            throw BadSetting(COMMON_PLACE("KivoStore::PostgresEngine::ReadSetting"), name, low,
                             high, code);
        return value;
    }
    SettingReader SettingsReader() {
        return [this](const char* name, int64_t low, int64_t high, uint32_t code) {
            return ReadSetting(name, low, high, code);
        };
    }
    SettingWriter SettingsWriter() {
        return [this](const char* name, int64_t value) { WriteSetting(name, value); };
    }
    void WriteSetting(const char* name, int64_t value) {
        const std::string text = std::to_string(value);
        (void)session_.Execute(COMMON_PLACE("KivoStore::PostgresEngine::WriteSetting"),
                               "UPDATE kivo_store SET value = $2 WHERE name = $1",
                               {PgParam::Text(name), PgParam::Text(text)});
    }

    OpenOptions options_;
    // Statements are prepared (again after each reconnection) once the layout is known.
    bool prepared_ = false;
    PostgresSession session_;
    uint64_t nextSequence_ = 0;
    bool logged_ = false;
};

}  // namespace

std::unique_ptr<Engine> OpenPostgresEngine(const std::string& connection,
                                           const OpenOptions& options) {
    auto engine = std::make_unique<PostgresEngine>(ParsePostgresTarget(connection), options);
    engine->Attach();
    return engine;
}

void CreatePostgresStore(const std::string& connection, const Retention& retention) {
    const PostgresTarget target = ParsePostgresTarget(connection);
    PostgresEngine engine(target, OpenOptions{});
    PostgresSession& session = engine.Session();
    session.Begin(COMMON_PLACE("KivoStore::CreatePostgresStore"), "BEGIN");
    try {
        char* quoted =
            PQescapeIdentifier(session.Raw(), target.schema.data(), target.schema.size());
        if (quoted == nullptr)
            throw session.StoreError(COMMON_PLACE("KivoStore::CreatePostgresStore"), nullptr,
                                     PQerrorMessage(session.Raw()));
        const std::string create = std::string("CREATE SCHEMA IF NOT EXISTS ") + quoted;
        PQfreemem(quoted);
        (void)session.Execute(COMMON_PLACE("KivoStore::CreatePostgresStore"), create.c_str());
        (void)session.Execute(COMMON_PLACE("KivoStore::CreatePostgresStore"), kTakeWriteLock);
        if (PostgresEngine::LayoutVersion(session) != 0)
            throw Common::Error(COMMON_PLACE("KivoStore::CreatePostgresStore"), kStoreExists,
                                "KIVO: Cannot create the store '" + target.displayName +
                                    "': the schema '" + target.schema + "' holds one already.");
        PostgresEngine::ApplyLayout(session, 0);
        engine.WriteRetention(retention);
        session.Commit(COMMON_PLACE("KivoStore::CreatePostgresStore"));
    } catch (...) {
        session.Rollback();
        throw;
    }
}

}  // namespace KivoStore
