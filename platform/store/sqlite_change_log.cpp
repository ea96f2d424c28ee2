#include "platform/store/sqlite_change_log.h"

#include <algorithm>
#include <string>

#include "platform/store/store_errors.h"

namespace KivoStore {

const char* const kChangeLogLayout =
    "CREATE TABLE changes(seq INTEGER PRIMARY KEY NOT NULL, kind INTEGER NOT NULL,"
    " id BLOB NOT NULL, key BLOB, before BLOB, after BLOB, diff BLOB, at INTEGER NOT NULL);"
    "INSERT INTO kivo_store(name, value) VALUES('pruned_below', 1),"
    " ('retention_age_seconds', 86400), ('retention_entries', 1000000);";

namespace {

std::span<const uint8_t> Column(sqlite3_stmt* statement, int index) {
    const void* data = sqlite3_column_blob(statement, index);
    const int size = sqlite3_column_bytes(statement, index);
    if (data == nullptr || size <= 0)
        return {};
    return {static_cast<const uint8_t*>(data), static_cast<size_t>(size)};
}

class SqliteChangeCursor final : public ChangeCursor {
  public:
    SqliteChangeCursor(sqlite3_stmt* statement, SqliteChangeLog::ErrorMaker makeError)
        : statement_(statement), makeError_(std::move(makeError)) {}
    ~SqliteChangeCursor() override { sqlite3_finalize(statement_); }
    bool Next() override {
        const int rc = sqlite3_step(statement_);
        if (rc == SQLITE_ROW)
            return true;
        if (rc != SQLITE_DONE)
            throw makeError_(COMMON_PLACE("KivoStore::SqliteChangeCursor::Next"), rc);
        return false;
    }
    uint64_t Sequence() const override {
        return static_cast<uint64_t>(sqlite3_column_int64(statement_, 0));
    }
    int64_t Kind() const override {
        return sqlite3_column_type(statement_, 1) == SQLITE_INTEGER
                   ? sqlite3_column_int64(statement_, 1)
                   : -1;
    }
    std::span<const uint8_t> Id() const override { return Column(statement_, 2); }
    std::span<const uint8_t> Key() const override { return Column(statement_, 3); }
    std::span<const uint8_t> Before() const override { return Column(statement_, 4); }
    std::span<const uint8_t> After() const override { return Column(statement_, 5); }
    std::span<const uint8_t> Diff() const override { return Column(statement_, 6); }

  private:
    sqlite3_stmt* statement_;
    SqliteChangeLog::ErrorMaker makeError_;
};

// Resets a statement when a run ends, however it ends.
struct Resetting {
    sqlite3_stmt* statement;
    ~Resetting() {
        sqlite3_reset(statement);
        sqlite3_clear_bindings(statement);
    }
};

}  // namespace

struct SqliteChangeLog::Statements {
    sqlite3_stmt* insert = nullptr;
    sqlite3_stmt* maxSequence = nullptr;
    sqlite3_stmt* readSetting = nullptr;
    sqlite3_stmt* writeSetting = nullptr;
    sqlite3_stmt* firstYoung = nullptr;
    sqlite3_stmt* pruneBelow = nullptr;
};

SqliteChangeLog::SqliteChangeLog(sqlite3* db, ErrorMaker makeError)
    : db_(db), makeError_(std::move(makeError)), statements_(std::make_unique<Statements>()) {}

SqliteChangeLog::~SqliteChangeLog() {
    for (sqlite3_stmt* statement :
         {statements_->insert, statements_->maxSequence, statements_->readSetting,
          statements_->writeSetting, statements_->firstYoung, statements_->pruneBelow})
        sqlite3_finalize(statement);
}

// Prepared on first use: a connection to a store of an earlier layout never needs them.
sqlite3_stmt* SqliteChangeLog::Get(sqlite3_stmt*& slot, const char* sql) {
    if (slot == nullptr) {
        const int rc = sqlite3_prepare_v3(db_, sql, -1, SQLITE_PREPARE_PERSISTENT, &slot, nullptr);
        if (rc != SQLITE_OK) {
            sqlite3_finalize(slot);
            slot = nullptr;
            throw makeError_(COMMON_PLACE("KivoStore::SqliteChangeLog::Get"), rc);
        }
    }
    return slot;
}

void SqliteChangeLog::Step(const Common::SourceLocation& place, sqlite3_stmt* statement) {
    const int rc = sqlite3_step(statement);
    if (rc != SQLITE_DONE && rc != SQLITE_ROW)
        throw makeError_(place, rc);
}

bool SqliteChangeLog::ReadInteger(sqlite3_stmt* statement, int64_t& value, uint32_t code) {
    const int rc = sqlite3_step(statement);
    if (rc == SQLITE_DONE)
        return false;
    if (rc != SQLITE_ROW)
        throw makeError_(COMMON_PLACE("KivoStore::SqliteChangeLog::ReadInteger"), rc);
    if (sqlite3_column_type(statement, 0) == SQLITE_NULL)
        return false;
    if (sqlite3_column_type(statement, 0) != SQLITE_INTEGER)
        throw Common::Error(COMMON_PLACE("KivoStore::SqliteChangeLog::ReadInteger"), code,
                            "KIVO: The change log or its settings hold a value that is not a "
                            "number; the store was changed outside this library.");
    value = sqlite3_column_int64(statement, 0);
    return true;
}

int64_t SqliteChangeLog::ReadSetting(const char* name, int64_t low, int64_t high, uint32_t code) {
    sqlite3_stmt* statement =
        Get(statements_->readSetting, "SELECT value FROM kivo_store WHERE name = ?1;");
    Resetting reset{statement};
    sqlite3_bind_text(statement, 1, name, -1, SQLITE_STATIC);
    int64_t value = 0;
    if (!ReadInteger(statement, value, code) || value < low || value > high)
        throw BadSetting(COMMON_PLACE("KivoStore::SqliteChangeLog::ReadSetting"), name, low, high,
                         code);
    return value;
}

void SqliteChangeLog::WriteSetting(const char* name, int64_t value) {
    sqlite3_stmt* statement = Get(statements_->writeSetting,
                                  "INSERT OR REPLACE INTO kivo_store(name, value) VALUES(?1, ?2);");
    Resetting reset{statement};
    sqlite3_bind_text(statement, 1, name, -1, SQLITE_STATIC);
    sqlite3_bind_int64(statement, 2, value);
    Step(COMMON_PLACE("KivoStore::SqliteChangeLog::WriteSetting"), statement);
}

FeedMarks SqliteChangeLog::ReadMarks() {
    FeedMarks marks;
    marks.prunedBelow = ReadPrunedBelow(SettingsReader());
    sqlite3_stmt* statement = Get(statements_->maxSequence, "SELECT max(seq) FROM changes;");
    Resetting reset{statement};
    int64_t newest = 0;
    const bool any = ReadInteger(statement, newest, kCorruptedChange);
    if (any && (newest < 1 || newest > kMaxSequence))
        throw BadNewestSequence(COMMON_PLACE("KivoStore::SqliteChangeLog::ReadMarks"), newest);
    marks.last = std::max(any ? static_cast<uint64_t>(newest) : 0, marks.prunedBelow - 1);
    return marks;
}

void SqliteChangeLog::Append(const ChangeRecord& change, int64_t nowMs) {
    if (nextSequence_ == 0) {
        nextSequence_ = NextSequence(ReadMarks());
    }
    sqlite3_stmt* statement = Get(statements_->insert,
                                  "INSERT INTO changes(seq, kind, id, key, before, after, diff, at)"
                                  " VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8);");
    Resetting reset{statement};
    int rc = sqlite3_bind_int64(statement, 1, static_cast<int64_t>(nextSequence_));
    if (rc == SQLITE_OK)
        rc = sqlite3_bind_int(statement, 2, static_cast<int>(change.kind));
    int index = 3;
    for (const std::span<const uint8_t> blob :
         {change.id, change.key, change.before, change.after, change.diff}) {
        if (rc != SQLITE_OK)
            break;
        rc = blob.empty()
                 ? sqlite3_bind_null(statement, index)
                 : sqlite3_bind_blob64(statement, index, blob.data(), blob.size(), SQLITE_STATIC);
        ++index;
    }
    if (rc == SQLITE_OK)
        rc = sqlite3_bind_int64(statement, 8, nowMs);
    if (rc != SQLITE_OK)
        throw makeError_(COMMON_PLACE("KivoStore::SqliteChangeLog::Append"), rc);
    Step(COMMON_PLACE("KivoStore::SqliteChangeLog::Append"), statement);
    ++nextSequence_;
}

void SqliteChangeLog::Prune(int64_t nowMs) {
    const Retention retention = ReadRetention();
    const FeedMarks marks = ReadMarks();
    std::optional<uint64_t> firstYoung;
    {
        sqlite3_stmt* statement =
            Get(statements_->firstYoung,
                "SELECT seq FROM changes WHERE at >= ?1 ORDER BY seq LIMIT 1;");
        Resetting reset{statement};
        sqlite3_bind_int64(statement, 1, nowMs - retention.age.count() * 1000);
        int64_t young = 0;
        if (ReadInteger(statement, young, kCorruptedChange))
            firstYoung = static_cast<uint64_t>(young);
    }
    const uint64_t cut = PruneMark(marks, retention, firstYoung);
    if (cut <= marks.prunedBelow)
        return;
    sqlite3_stmt* statement = Get(statements_->pruneBelow, "DELETE FROM changes WHERE seq < ?1;");
    {
        Resetting reset{statement};
        sqlite3_bind_int64(statement, 1, static_cast<int64_t>(cut));
        Step(COMMON_PLACE("KivoStore::SqliteChangeLog::Prune"), statement);
    }
    WritePrunedBelow(cut, SettingsWriter());
}

Retention SqliteChangeLog::ReadRetention() {
    return ReadRetentionSettings(SettingsReader());
}

void SqliteChangeLog::WriteRetention(const Retention& retention) {
    WriteRetentionSettings(retention, SettingsWriter());
}

SettingReader SqliteChangeLog::SettingsReader() {
    return [this](const char* name, int64_t low, int64_t high, uint32_t code) {
        return ReadSetting(name, low, high, code);
    };
}

SettingWriter SqliteChangeLog::SettingsWriter() {
    return [this](const char* name, int64_t value) { WriteSetting(name, value); };
}

std::unique_ptr<ChangeCursor> SqliteChangeLog::Scan(uint64_t after) {
    sqlite3_stmt* statement = nullptr;
    const int rc = sqlite3_prepare_v2(
        db_,
        "SELECT seq, kind, id, key, before, after, diff FROM changes WHERE seq > ?1"
        " ORDER BY seq;",
        -1, &statement, nullptr);
    if (rc != SQLITE_OK) {
        sqlite3_finalize(statement);
        throw makeError_(COMMON_PLACE("KivoStore::SqliteChangeLog::Scan"), rc);
    }
    auto cursor = std::make_unique<SqliteChangeCursor>(statement, makeError_);
    const int bound = sqlite3_bind_int64(
        statement, 1, static_cast<int64_t>(std::min<uint64_t>(after, kMaxSequence)));
    if (bound != SQLITE_OK)
        throw makeError_(COMMON_PLACE("KivoStore::SqliteChangeLog::Scan"), bound);
    return cursor;
}

}  // namespace KivoStore
