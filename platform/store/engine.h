// The SQL engine under the store: the few things the store asks of a database.
//
// The store keeps two tables: the objects, keyed by their 16-byte id and holding each object's
// binary form (enterprise/common/zaph/binary_form.h), and the types, one (type, id) row per
// String "Is" trait of an object, for finding the objects of one type without reading the rest.
// Ids are kept in the order of their GUID text, so every scan yields objects in ascending id
// order. An engine answers in that order and knows nothing of units.
//
// Two engines answer: SQLite (sqlite_engine.h), embedded, and PostgreSQL (postgres_engine.h), a
// server that several processes and machines share. Opening picks the engine by the connection
// string (connection.h).
//
// Writes happen inside a write transaction (WriteTransaction below); an engine refuses writes
// outside one. The change log (change_log.h) is written in the same transactions as the objects;
// readers walk it inside a read transaction (BeginRead), which sees one committed state.
//
// Thread-safety: an engine and its cursors belong to one thread at a time; the store serialises
// access to its engines.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/common/noncopyable.h"
#include "platform/store/change_log.h"
#include "platform/store/feed_watch.h"

namespace KivoStore {

/// The id of a stored object: the bytes of its GUID in text order (see object_identity.h).
using ObjectId = std::array<uint8_t, 16>;

/// Walks rows of the object table in ascending id order.
class ObjectCursor : private Common::NonCopyable {
  public:
    virtual ~ObjectCursor() = default;
    /// Moves to the next row; false at the end. The id and body stay valid until the next call.
    virtual bool Next() = 0;
    /// The stored id: 16 bytes unless the row was damaged outside this library.
    virtual std::span<const uint8_t> Id() const = 0;
    virtual std::span<const uint8_t> Body() const = 0;
};

/// The String "Is" traits of a stored object, for an engine that rebuilds its type table from
/// the objects while it brings an old store up to date. Never throws: a body that does not read
/// back has no types.
using BodyTypes = std::function<std::vector<std::u16string>(std::span<const uint8_t> body)>;

/// See the file comment.
class Engine : private Common::NonCopyable {
  public:
    virtual ~Engine() = default;

    /// Starts a write transaction, waiting a bounded time for another writer to finish.
    virtual void BeginWrite() = 0;
    virtual void Commit() = 0;
    /// Undoes the open write transaction, if any. Never throws.
    virtual void Rollback() noexcept = 0;

    /// Object table. ReadObject replaces `body` and returns true when the id is stored.
    virtual bool ReadObject(const ObjectId& id, std::vector<uint8_t>& body) = 0;
    /// Inserts or replaces the row of `id`.
    virtual void WriteObject(const ObjectId& id, std::span<const uint8_t> body) = 0;
    /// Removes the row of `id`; false when there was none.
    virtual bool DeleteObject(const ObjectId& id) = 0;
    /// Every object.
    virtual std::unique_ptr<ObjectCursor> ScanObjects() = 0;
    /// The objects that the type table lists under `type`.
    virtual std::unique_ptr<ObjectCursor> ScanObjectsOfType(std::u16string_view type) = 0;

    /// Type table: lists `id` under `type` (again is harmless), or no longer.
    virtual void AddType(const ObjectId& id, std::u16string_view type) = 0;
    virtual void RemoveType(const ObjectId& id, std::u16string_view type) = 0;

    /// Change log: appends an entry to the open write transaction, numbering it.
    virtual void AppendChange(const ChangeRecord& change) = 0;
    /// Prunes the log by the store's retention, as of `nowMs` (milliseconds since the epoch),
    /// inside the open write transaction.
    virtual void PruneChanges(int64_t nowMs) = 0;
    /// The store's retention; WriteRetention needs an open write transaction.
    [[nodiscard]] virtual Retention ReadRetention() = 0;
    virtual void WriteRetention(const Retention& retention) = 0;
    [[nodiscard]] virtual FeedMarks ReadFeedMarks() = 0;
    /// The entries numbered above `after`, in order.
    [[nodiscard]] virtual std::unique_ptr<ChangeCursor> ScanChanges(uint64_t after) = 0;

    /// Holds one committed state for the reads until EndRead (never throws).
    virtual void BeginRead() = 0;
    virtual void EndRead() noexcept = 0;
    /// The store's name for its feed watch (feed_watch.h): the same for every engine of one
    /// store in this process, whatever connection string named it.
    [[nodiscard]] virtual std::string WatchKey() const = 0;
    /// What tells the feed watch that another process committed; null when no other process
    /// can (an in-memory store).
    [[nodiscard]] virtual std::unique_ptr<ChangeSource> OpenChangeSource() = 0;

    /// A second engine over the same store for reading beside this one (a report that runs
    /// while writes go on); null when the store cannot be shared (an in-memory store), and reads
    /// then go through this engine.
    virtual std::unique_ptr<Engine> OpenReader() = 0;
    /// True when a reader costs a server connection: subscriptions then borrow one of the
    /// store's readers for each read instead of holding one of their own.
    [[nodiscard]] virtual bool ReadersAreScarce() const = 0;
};

/// Holds a write transaction open: commits on Commit, rolls back on destruction otherwise.
class WriteTransaction : private Common::NonCopyable {
  public:
    explicit WriteTransaction(Engine& engine) : engine_(engine) { engine_.BeginWrite(); }
    ~WriteTransaction() {
        if (!done_)
            engine_.Rollback();
    }
    void Commit() {
        engine_.Commit();
        done_ = true;
    }

  private:
    Engine& engine_;
    bool done_ = false;
};

}  // namespace KivoStore
