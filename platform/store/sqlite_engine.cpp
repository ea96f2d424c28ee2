#include "platform/store/sqlite_engine.h"

#include <sqlite3.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <tuple>
#include <utility>

#include "core/common/error/error.h"
#include "core/common/text.h"
#include "platform/store/sqlite_change_log.h"
#include "platform/store/sqlite_wal_watch.h"
#include "platform/store/store_errors.h"
#include "platform/store/store_files.h"

namespace KivoStore {
namespace {

int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// The writing connection keeps 64 MiB of pages (negative: KiB), enough for large imports to spill
// rarely. Readers keep SQLite's default: a report touches each page about once, and filling a
// large cache costs more in fresh memory than it saves (a 10,000-object report of a
// million-object store runs about three times slower with it). Readers map the file instead
// (up to 256 MiB of it), so a page is read without a system call and a copy; SQLite falls back
// to reading where the file cannot be mapped.
constexpr const char* kWriterPragmas =
    "PRAGMA synchronous=NORMAL; PRAGMA cache_size=-65536; PRAGMA foreign_keys=OFF;";
constexpr const char* kReaderPragmas =
    "PRAGMA foreign_keys=OFF; PRAGMA query_only=1; PRAGMA mmap_size=268435456;";

constexpr const char* kLayoutVersion1 =
    "CREATE TABLE kivo_store(name TEXT PRIMARY KEY NOT NULL, value) WITHOUT ROWID;"
    "INSERT INTO kivo_store(name, value) VALUES('layout', 'kivo object store');"
    "CREATE TABLE objects(id BLOB PRIMARY KEY NOT NULL, body BLOB NOT NULL) WITHOUT ROWID;"
    "PRAGMA user_version=1;";

constexpr const char* kTypeTable =
    "CREATE TABLE object_types(type TEXT NOT NULL, id BLOB NOT NULL, PRIMARY KEY(type, id))"
    " WITHOUT ROWID;";

std::string ErrorText(sqlite3* db, int rc) {
    const char* message = db != nullptr ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
    return std::string(message != nullptr ? message : "unknown") + " (SQLite code " +
           std::to_string(rc) + ")";
}

// The store error for a failed SQLite call on the store `name`.
Common::Error EngineError(const Common::SourceLocation& place, sqlite3* db, int rc,
                          const std::string& name, int busyWaitMs) {
    switch (rc & 0xFF) {
        case SQLITE_BUSY:
        case SQLITE_LOCKED:
            return Common::Error(place, kStoreBusy,
                                 "KIVO: The store '" + name +
                                     "' is held by another writer; gave up after " +
                                     std::to_string(busyWaitMs) + " ms.");
        case SQLITE_READONLY:
            return Common::Error(
                place, kStoreReadOnly,
                "KIVO: The store '" + name + "' is open read-only: " + ErrorText(db, rc));
        case SQLITE_NOTADB:
            return Common::Error(place, kNotAStore,
                                 "KIVO: '" + name + "' is not a store: " + ErrorText(db, rc));
        default:
            return Common::Error(place, kStoreFailure,
                                 "KIVO: The store '" + name + "' failed: " + ErrorText(db, rc));
    }
}

// Owns a prepared statement; Reset clears the bindings' effect for the next run.
class Statement : private Common::NonCopyable {
  public:
    Statement() = default;
    ~Statement() { sqlite3_finalize(statement_); }
    void Prepare(sqlite3* db, const char* sql) {
        rc_ = sqlite3_prepare_v3(db, sql, -1, SQLITE_PREPARE_PERSISTENT, &statement_, nullptr);
    }
    int PrepareResult() const { return rc_; }
    sqlite3_stmt* Get() const { return statement_; }

  private:
    sqlite3_stmt* statement_ = nullptr;
    int rc_ = SQLITE_OK;
};

// Resets a statement when a run ends, however it ends.
class StatementRun : private Common::NonCopyable {
  public:
    explicit StatementRun(sqlite3_stmt* statement) : statement_(statement) {}
    ~StatementRun() {
        sqlite3_reset(statement_);
        sqlite3_clear_bindings(statement_);
    }

  private:
    sqlite3_stmt* statement_;
};

class SqliteEngine;

class SqliteCursor final : public ObjectCursor {
  public:
    SqliteCursor(SqliteEngine& engine, sqlite3_stmt* statement)
        : engine_(engine), statement_(statement) {}
    ~SqliteCursor() override { sqlite3_finalize(statement_); }
    bool Next() override;
    std::span<const uint8_t> Id() const override { return Column(0); }
    std::span<const uint8_t> Body() const override { return Column(1); }

  private:
    std::span<const uint8_t> Column(int index) const {
        const void* data = sqlite3_column_blob(statement_, index);
        const int size = sqlite3_column_bytes(statement_, index);
        if (data == nullptr || size <= 0)
            return {};
        return {static_cast<const uint8_t*>(data), static_cast<size_t>(size)};
    }

    SqliteEngine& engine_;
    sqlite3_stmt* statement_;
};

class SqliteEngine final : public Engine {
  public:
    SqliteEngine(const ConnectionTarget& target, const OpenOptions& options)
        : target_(target), options_(options) {}
    ~SqliteEngine() override {
        statements_.reset();
        log_.reset();
        sqlite3_close_v2(db_);
    }

    // Opens the connection; `create` allows SQLite to make the file.
    void Connect(bool create) {
        int flags = (target_.readOnly ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE) |
                    SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_PRIVATECACHE;
        if (create)
            flags |= SQLITE_OPEN_CREATE;
        if (target_.isUri)
            flags |= SQLITE_OPEN_URI;
        const int rc = sqlite3_open_v2(target_.engineName.c_str(), &db_, flags, nullptr);
        if (rc != SQLITE_OK)
            Fail(COMMON_PLACE("KivoStore::SqliteEngine::Connect"), rc);
        sqlite3_extended_result_codes(db_, 1);
        watchKey_ = NameForWatch();
        sqlite3_busy_timeout(db_, static_cast<int>(options_.busyWait.count()));
        log_ = std::make_unique<SqliteChangeLog>(
            db_, [this](const Common::SourceLocation& place, int failed) {
                return EngineError(place, db_, failed, target_.engineName,
                                   static_cast<int>(options_.busyWait.count()));
            });
    }

    // Checks the layout, brings an old one up to date and prepares the statements. Nothing is
    // written to a file before it is known to be a store.
    void Attach(const BodyTypes& typesOf) {
        if (target_.inMemory)
            Execute(COMMON_PLACE("KivoStore::SqliteEngine::Attach"), kLayoutVersion1);
        const int version = ReadVersion();
        if (version > kSchemaVersion)
            throw Common::Error(COMMON_PLACE("KivoStore::SqliteEngine::Attach"), kStoreTooNew,
                                "KIVO: The store '" + target_.engineName + "' has layout " +
                                    std::to_string(version) + "; this program knows up to " +
                                    std::to_string(kSchemaVersion) + ".");
        // Reports need layout 2; only the change feed needs layout 3, so a read-only open of
        // layout 2 still reports, and its feed asks for the migration (RequireChangeLog).
        if (version < kSchemaVersion && target_.readOnly && version < 2)
            throw Common::Error(
                COMMON_PLACE("KivoStore::SqliteEngine::Attach"), kStoreNeedsMigration,
                "KIVO: The store '" + target_.engineName + "' has the earlier layout " +
                    std::to_string(version) + " and needs migrating to layout " +
                    std::to_string(kSchemaVersion) + "; open it read-write once.");
        if (!target_.inMemory && !target_.readOnly)
            Execute(COMMON_PLACE("KivoStore::SqliteEngine::Attach"), "PRAGMA journal_mode=WAL;");
        Execute(COMMON_PLACE("KivoStore::SqliteEngine::Attach"),
                target_.readOnly ? kReaderPragmas : kWriterPragmas);
        layout_ = target_.readOnly ? version : kSchemaVersion;
        if (version < kSchemaVersion && !target_.readOnly)
            Migrate(version, typesOf);
        Prepare();
    }

    // A connection used only for a store being created: the first layout, then migrations.
    void Initialise(const Retention& retention) {
        Execute(COMMON_PLACE("KivoStore::SqliteEngine::Initialise"), "PRAGMA journal_mode=WAL;");
        Execute(COMMON_PLACE("KivoStore::SqliteEngine::Initialise"), kLayoutVersion1);
        Migrate(1, [](std::span<const uint8_t>) { return std::vector<std::u16string>(); });
        Execute(COMMON_PLACE("KivoStore::SqliteEngine::Initialise"), "BEGIN IMMEDIATE;");
        log_->WriteRetention(retention);
        Execute(COMMON_PLACE("KivoStore::SqliteEngine::Initialise"), "COMMIT;");
    }

    void BeginWrite() override {
        log_->BeginTransaction();
        logged_ = false;
        Run(COMMON_PLACE("KivoStore::SqliteEngine::BeginWrite"), statements_->begin.Get());
    }
    void Commit() override {
        Run(COMMON_PLACE("KivoStore::SqliteEngine::Commit"), statements_->commit.Get());
        // Wakes the feed watches of other processes (sqlite_wal_watch.h).
        if (logged_ && !target_.inMemory)
            TouchWal(watchKey_ + "-wal");
    }
    void Rollback() noexcept override {
        if (sqlite3_get_autocommit(db_) == 0)
            sqlite3_exec(db_, "ROLLBACK;", nullptr, nullptr, nullptr);
    }

    bool ReadObject(const ObjectId& id, std::vector<uint8_t>& body) override {
        sqlite3_stmt* statement = statements_->selectObject.Get();
        StatementRun run(statement);
        BindId(statement, 1, id);
        const int rc = sqlite3_step(statement);
        if (rc == SQLITE_DONE)
            return false;
        if (rc != SQLITE_ROW)
            Fail(COMMON_PLACE("KivoStore::SqliteEngine::ReadObject"), rc);
        const auto* data = static_cast<const uint8_t*>(sqlite3_column_blob(statement, 0));
        body.assign(data, data + sqlite3_column_bytes(statement, 0));
        return true;
    }

    void WriteObject(const ObjectId& id, std::span<const uint8_t> body) override {
        sqlite3_stmt* statement = statements_->writeObject.Get();
        StatementRun run(statement);
        BindId(statement, 1, id);
        Bound(COMMON_PLACE("KivoStore::SqliteEngine::WriteObject"),
              sqlite3_bind_blob64(statement, 2, body.data(), body.size(), SQLITE_STATIC));
        Run(COMMON_PLACE("KivoStore::SqliteEngine::WriteObject"), statement);
    }

    bool DeleteObject(const ObjectId& id) override {
        sqlite3_stmt* statement = statements_->deleteObject.Get();
        StatementRun run(statement);
        BindId(statement, 1, id);
        Run(COMMON_PLACE("KivoStore::SqliteEngine::DeleteObject"), statement);
        return sqlite3_changes(db_) > 0;
    }

    std::unique_ptr<ObjectCursor> ScanObjects() override {
        return std::make_unique<SqliteCursor>(
            *this, PrepareOnce(COMMON_PLACE("KivoStore::SqliteEngine::ScanObjects"),
                               "SELECT id, body FROM objects ORDER BY id;"));
    }

    std::unique_ptr<ObjectCursor> ScanObjectsOfType(std::u16string_view type) override {
        sqlite3_stmt* statement =
            PrepareOnce(COMMON_PLACE("KivoStore::SqliteEngine::ScanObjectsOfType"),
                        "SELECT o.id, o.body FROM object_types t JOIN objects o ON o.id = t.id"
                        " WHERE t.type = ?1 ORDER BY t.id;");
        auto cursor = std::make_unique<SqliteCursor>(*this, statement);
        const std::string text = Common::ToUtf8(type);
        Bound(COMMON_PLACE("KivoStore::SqliteEngine::ScanObjectsOfType"),
              sqlite3_bind_text64(statement, 1, text.data(), text.size(), SQLITE_TRANSIENT,
                                  SQLITE_UTF8));
        return cursor;
    }

    void AddType(const ObjectId& id, std::u16string_view type) override {
        TypeRow(COMMON_PLACE("KivoStore::SqliteEngine::AddType"), statements_->addType.Get(), id,
                type);
    }
    void RemoveType(const ObjectId& id, std::u16string_view type) override {
        TypeRow(COMMON_PLACE("KivoStore::SqliteEngine::RemoveType"), statements_->removeType.Get(),
                id, type);
    }

    void AppendChange(const ChangeRecord& change) override {
        log_->Append(change, NowMs());
        logged_ = true;
    }
    void PruneChanges(int64_t nowMs) override { log_->Prune(nowMs); }
    Retention ReadRetention() override {
        RequireChangeLog();
        return log_->ReadRetention();
    }
    void WriteRetention(const Retention& retention) override { log_->WriteRetention(retention); }
    FeedMarks ReadFeedMarks() override {
        RequireChangeLog();
        return log_->ReadMarks();
    }
    std::unique_ptr<ChangeCursor> ScanChanges(uint64_t after) override {
        RequireChangeLog();
        return log_->Scan(after);
    }

    void BeginRead() override {
        Execute(COMMON_PLACE("KivoStore::SqliteEngine::BeginRead"), "BEGIN;");
    }
    void EndRead() noexcept override {
        // A read transaction has nothing to keep: ending it cannot lose anything.
        if (sqlite3_get_autocommit(db_) == 0)
            sqlite3_exec(db_, "ROLLBACK;", nullptr, nullptr, nullptr);
    }
    std::string WatchKey() const override { return watchKey_; }

    std::unique_ptr<ChangeSource> OpenChangeSource() override {
        if (target_.inMemory)
            return nullptr;
        std::shared_ptr<SqliteEngine> connection(OpenSqliteReader());
        // A first read opens the -wal, so that there is a file to watch.
        (void)connection->ReadFeedMarks();
        return WatchWal(watchKey_ + "-wal", [connection] { return connection->DataVersion(); });
    }

    // A number that changes when another connection commits to the store.
    uint64_t DataVersion() {
        sqlite3_stmt* pragma = PrepareOnce(COMMON_PLACE("KivoStore::SqliteEngine::DataVersion"),
                                           "PRAGMA data_version;");
        const int rc = sqlite3_step(pragma);
        const int64_t version = rc == SQLITE_ROW ? sqlite3_column_int64(pragma, 0) : 0;
        sqlite3_finalize(pragma);
        if (rc != SQLITE_ROW)
            Fail(COMMON_PLACE("KivoStore::SqliteEngine::DataVersion"), rc);
        return static_cast<uint64_t>(version);
    }

    std::unique_ptr<Engine> OpenReader() override {
        if (target_.inMemory)
            return nullptr;
        return OpenSqliteReader();
    }
    bool ReadersAreScarce() const override { return false; }

    // Throws the store error of `rc`. SQLite's words for a file it may not open or write are
    // vague, so a permission problem of the store's files, looked for now, goes first.
    [[noreturn]] void Fail(const Common::SourceLocation& place, int rc) const {
        Common::Error error = EngineError(place, db_, rc, target_.engineName,
                                          static_cast<int>(options_.busyWait.count()));
        const int primary = rc & 0xFF;
        if (primary == SQLITE_READONLY || primary == SQLITE_CANTOPEN || primary == SQLITE_PERM) {
            Common::Error access = StoreAccessProblem(target_);
            if (!access.IsEmpty())
                throw access.Add(error);
        }
        throw error;
    }

  private:
    // One watch per file, whatever path or URI named it; one per in-memory store.
    std::string NameForWatch() const {
        if (target_.inMemory)
            return "memory:" + std::to_string(reinterpret_cast<uintptr_t>(this));
        char* canonical = ::realpath(target_.filePath.c_str(), nullptr);
        std::string key = canonical != nullptr ? canonical : target_.filePath;
        ::free(canonical);
        return key;
    }

    std::unique_ptr<SqliteEngine> OpenSqliteReader() {
        auto reader = std::make_unique<SqliteEngine>(target_, options_);
        reader->layout_ = layout_;
        reader->Connect(false);
        reader->Execute(COMMON_PLACE("KivoStore::SqliteEngine::OpenReader"), kReaderPragmas);
        reader->Prepare();
        return reader;
    }

    void RequireChangeLog() const {
        if (layout_ < 3)
            throw Common::Error(COMMON_PLACE("KivoStore::SqliteEngine::RequireChangeLog"),
                                kStoreNeedsMigration,
                                "KIVO: The store '" + target_.engineName + "' has the layout " +
                                    std::to_string(layout_) +
                                    ", without the change log that subscriptions read; open it "
                                    "read-write once (kivo_store) to migrate it.");
    }

    struct Statements {
        Statement begin, commit, selectObject, writeObject, deleteObject, addType, removeType;
    };

    void Prepare() {
        statements_ = std::make_unique<Statements>();
        const std::pair<Statement*, const char*> all[] = {
            {&statements_->begin, "BEGIN IMMEDIATE;"},
            {&statements_->commit, "COMMIT;"},
            {&statements_->selectObject, "SELECT body FROM objects WHERE id = ?1;"},
            {&statements_->writeObject, "INSERT OR REPLACE INTO objects(id, body) VALUES(?1, ?2);"},
            {&statements_->deleteObject, "DELETE FROM objects WHERE id = ?1;"},
            {&statements_->addType, "INSERT OR IGNORE INTO object_types(type, id) VALUES(?1, ?2);"},
            {&statements_->removeType, "DELETE FROM object_types WHERE type = ?1 AND id = ?2;"},
        };
        for (const auto& [statement, sql] : all) {
            statement->Prepare(db_, sql);
            if (statement->PrepareResult() != SQLITE_OK)
                Fail(COMMON_PLACE("KivoStore::SqliteEngine::Prepare"), statement->PrepareResult());
        }
    }

    sqlite3_stmt* PrepareOnce(const Common::SourceLocation& place, const char* sql) {
        sqlite3_stmt* statement = nullptr;
        const int rc = sqlite3_prepare_v2(db_, sql, -1, &statement, nullptr);
        if (rc != SQLITE_OK) {
            sqlite3_finalize(statement);
            Fail(place, rc);
        }
        return statement;
    }

    void Execute(const Common::SourceLocation& place, const char* sql) {
        const int rc = sqlite3_exec(db_, sql, nullptr, nullptr, nullptr);
        if (rc != SQLITE_OK)
            Fail(place, rc);
    }

    // Steps a statement that yields no rows.
    void Run(const Common::SourceLocation& place, sqlite3_stmt* statement) {
        const int rc = sqlite3_step(statement);
        if (rc != SQLITE_DONE && rc != SQLITE_ROW) {
            sqlite3_reset(statement);
            Fail(place, rc);
        }
        sqlite3_reset(statement);
    }

    void TypeRow(const Common::SourceLocation& place, sqlite3_stmt* statement, const ObjectId& id,
                 std::u16string_view type) {
        StatementRun run(statement);
        const std::string text = Common::ToUtf8(type);
        Bound(place, sqlite3_bind_text64(statement, 1, text.data(), text.size(), SQLITE_STATIC,
                                         SQLITE_UTF8));
        BindId(statement, 2, id);
        Run(place, statement);
    }

    void BindId(sqlite3_stmt* statement, int index, const ObjectId& id) const {
        Bound(COMMON_PLACE("KivoStore::SqliteEngine::BindId"),
              sqlite3_bind_blob(statement, index, id.data(), static_cast<int>(id.size()),
                                SQLITE_STATIC));
    }

    // A parameter that cannot be bound (out of memory, too big) fails the statement; run
    // unbound, it would quietly select or write nothing.
    void Bound(const Common::SourceLocation& place, int rc) const {
        if (rc != SQLITE_OK)
            Fail(place, rc);
    }

    // The layout version; a file without the store's marker table is no store.
    int ReadVersion() {
        sqlite3_stmt* marker =
            PrepareOnce(COMMON_PLACE("KivoStore::SqliteEngine::ReadVersion"),
                        "SELECT count(*) FROM sqlite_master WHERE type = 'table' AND "
                        "name = 'kivo_store';");
        const int markerRc = sqlite3_step(marker);
        const bool isStore = markerRc == SQLITE_ROW && sqlite3_column_int(marker, 0) == 1;
        sqlite3_finalize(marker);
        if (markerRc != SQLITE_ROW)
            Fail(COMMON_PLACE("KivoStore::SqliteEngine::ReadVersion"), markerRc);
        if (!isStore)
            throw Common::Error(
                COMMON_PLACE("KivoStore::SqliteEngine::ReadVersion"), kNotAStore,
                "KIVO: '" + target_.engineName + "' is an SQLite database but not a store.");
        sqlite3_stmt* pragma = PrepareOnce(COMMON_PLACE("KivoStore::SqliteEngine::ReadVersion"),
                                           "PRAGMA user_version;");
        const int rc = sqlite3_step(pragma);
        const int version = rc == SQLITE_ROW ? sqlite3_column_int(pragma, 0) : 0;
        sqlite3_finalize(pragma);
        if (rc != SQLITE_ROW)
            Fail(COMMON_PLACE("KivoStore::SqliteEngine::ReadVersion"), rc);
        return version;
    }

    // Brings layout `from` up to kSchemaVersion in one transaction.
    void Migrate(int from, const BodyTypes& typesOf) {
        Execute(COMMON_PLACE("KivoStore::SqliteEngine::Migrate"), "BEGIN IMMEDIATE;");
        try {
            if (from < 2)
                AddTypeTable(typesOf);
            if (from < 3)
                Execute(COMMON_PLACE("KivoStore::SqliteEngine::Migrate"), kChangeLogLayout);
            const std::string setVersion =
                "PRAGMA user_version=" + std::to_string(kSchemaVersion) + ";";
            Execute(COMMON_PLACE("KivoStore::SqliteEngine::Migrate"), setVersion.c_str());
            Execute(COMMON_PLACE("KivoStore::SqliteEngine::Migrate"), "COMMIT;");
        } catch (...) {
            Rollback();
            throw;
        }
    }

    // Layout 2: the type table, filled from the stored objects.
    void AddTypeTable(const BodyTypes& typesOf) {
        Execute(COMMON_PLACE("KivoStore::SqliteEngine::AddTypeTable"), kTypeTable);
        Prepare();
        SqliteCursor cursor(*this,
                            PrepareOnce(COMMON_PLACE("KivoStore::SqliteEngine::AddTypeTable"),
                                        "SELECT id, body FROM objects ORDER BY id;"));
        while (cursor.Next()) {
            if (cursor.Id().size() != std::tuple_size_v<ObjectId>)
                continue;
            ObjectId id;
            std::memcpy(id.data(), cursor.Id().data(), id.size());
            for (const std::u16string& type : typesOf(cursor.Body()))
                AddType(id, type);
        }
    }

    ConnectionTarget target_;
    OpenOptions options_;
    sqlite3* db_ = nullptr;
    std::unique_ptr<Statements> statements_;
    std::unique_ptr<SqliteChangeLog> log_;
    // The open write transaction logged a change.
    bool logged_ = false;
    // WatchKey(), worked out once the file is open.
    std::string watchKey_;
    // The layout of the store as this connection sees it (earlier than kSchemaVersion only
    // when opened read-only).
    int layout_ = kSchemaVersion;
};

bool SqliteCursor::Next() {
    const int rc = sqlite3_step(statement_);
    if (rc == SQLITE_ROW)
        return true;
    if (rc != SQLITE_DONE)
        engine_.Fail(COMMON_PLACE("KivoStore::SqliteCursor::Next"), rc);
    return false;
}

// Tells a missing folder from a missing file, before SQLite is asked to open anything.
void CheckFileExists(const ConnectionTarget& target, bool wanted) {
    struct stat info {};
    const bool exists = ::stat(target.filePath.c_str(), &info) == 0;
    if (exists && wanted && S_ISDIR(info.st_mode))
        throw Common::Error(COMMON_PLACE("KivoStore::CheckFileExists"), kNotAStore,
                            "KIVO: '" + target.engineName + "' is a folder, not a store.");
    if (exists && !wanted)
        throw Common::Error(
            COMMON_PLACE("KivoStore::CheckFileExists"), kStoreExists,
            "KIVO: Cannot create the store '" + target.filePath + "': the file exists already.");
    if (exists)
        return;
    const size_t slash = target.filePath.find_last_of('/');
    const std::string folder =
        slash == std::string::npos ? "." : target.filePath.substr(0, slash + 1);
    if (::stat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode))
        throw Common::Error(COMMON_PLACE("KivoStore::CheckFileExists"), kStoreDirectoryMissing,
                            "KIVO: The folder '" + folder + "' of the store '" + target.engineName +
                                "' does not exist.");
    if (!wanted)
        return;
    throw Common::Error(COMMON_PLACE("KivoStore::CheckFileExists"), kStoreMissing,
                        "KIVO: The store '" + target.engineName +
                            "' does not exist; kivo_store <connection> create makes one.");
}

}  // namespace

std::unique_ptr<Engine> OpenSqliteEngine(const ConnectionTarget& target, const OpenOptions& options,
                                         const BodyTypes& typesOf) {
    if (!target.inMemory) {
        CheckFileExists(target, true);
        CheckStoreAccess(target);
    }
    auto engine = std::make_unique<SqliteEngine>(target, options);
    engine->Connect(false);
    engine->Attach(typesOf);
    return engine;
}

void CreateSqliteStore(const ConnectionTarget& target, const Retention& retention) {
    CheckFileExists(target, false);
    SqliteEngine engine(target, OpenOptions{});
    engine.Connect(true);
    try {
        engine.Initialise(retention);
    } catch (...) {
        for (const char* suffix : {"", "-wal", "-shm"})
            ::unlink((target.filePath + suffix).c_str());
        throw;
    }
}

}  // namespace KivoStore
