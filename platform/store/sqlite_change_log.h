// The change log of the SQLite engine (change_log.h): its tables and statements.
//
// Layout 3 adds to the store
//   changes(seq, kind, id, key, before, after, diff, at)   seq INTEGER PRIMARY KEY (the rowid),
//                                                          at the commit time in ms since epoch
//   kivo_store rows 'pruned_below', 'retention_age_seconds', 'retention_entries'
// Sequence numbers are handed out from the larger of the newest entry + 1 and the pruned-below
// mark, inside the write transaction, so they follow commit order and never repeat. Values read
// back (settings, marks) are checked against their bounds: a store damaged outside this library
// fails with kBadRetention or kCorruptedChange instead of misleading its readers.
//
// Thread-safety: as the connection's (one thread at a time).
#pragma once

#include <sqlite3.h>

#include <functional>
#include <memory>
#include <string>

#include "core/common/error/error.h"
#include "platform/store/change_log.h"

namespace KivoStore {

/// The statements that bring a layout-2 store to layout 3 (inside the caller's transaction).
extern const char* const kChangeLogLayout;

/// The log of one connection; see the file comment.
class SqliteChangeLog : private Common::NonCopyable {
  public:
    /// Makes the error of a failed SQLite call (the engine's, so that codes match).
    using ErrorMaker = std::function<Common::Error(const Common::SourceLocation&, int rc)>;

    SqliteChangeLog(sqlite3* db, ErrorMaker makeError);
    ~SqliteChangeLog();

    /// Forgets the numbering of the previous transaction; call at each BEGIN.
    void BeginTransaction() noexcept { nextSequence_ = 0; }
    void Append(const ChangeRecord& change, int64_t nowMs);
    void Prune(int64_t nowMs);
    [[nodiscard]] Retention ReadRetention();
    void WriteRetention(const Retention& retention);
    [[nodiscard]] FeedMarks ReadMarks();
    [[nodiscard]] std::unique_ptr<ChangeCursor> Scan(uint64_t after);

  private:
    struct Statements;

    sqlite3_stmt* Get(sqlite3_stmt*& slot, const char* sql);
    [[nodiscard]] int64_t ReadSetting(const char* name, int64_t low, int64_t high, uint32_t code);
    void WriteSetting(const char* name, int64_t value);
    [[nodiscard]] SettingReader SettingsReader();
    [[nodiscard]] SettingWriter SettingsWriter();
    [[nodiscard]] bool ReadInteger(sqlite3_stmt* statement, int64_t& value, uint32_t code);
    void Step(const Common::SourceLocation& place, sqlite3_stmt* statement);

    sqlite3* db_;
    ErrorMaker makeError_;
    std::unique_ptr<Statements> statements_;
    uint64_t nextSequence_ = 0;
};

}  // namespace KivoStore
