// KivoStore::Store: an open object store, and the batches that write to it.
//
// Objects are Zaph units filed under their object id (object_identity.h) in their binary form.
// Writes go through a WriteBatch, one transaction: every operation of a batch takes effect at
// Commit, or none does (a batch destroyed without Commit, or a failed Commit, changes nothing,
// even when the process dies half-way). The operations are those of the data-management layer:
//
//   CreateObject      files a new object; kObjectExists when its id is stored already
//   UpdateObject      replaces a stored object; kObjectNotFound when it is not; returns the diff
//                     (diff.h), null when nothing changed (and nothing is written)
//   StoreOrUpdate     creates or updates, whichever applies
//   DeleteObject      removes the object that a unit names by its key; kObjectNotFound if none
//   DeleteByPattern   removes every object that matches a pattern; returns how many
//   BatchOperation    a list of the above (Operation), applied by Store::Apply in one batch
//
// An object without a primary key is refused with Kivo::kObjectIdentificationNotFound; one whose
// binary form exceeds kMaxObjectBytes with kObjectTooLarge.
//
// Every operation that changes an object logs the change in the same transaction (change_log.h);
// Commit prunes the log by the store's retention and then wakes the subscriptions of the store,
// in this process and in others (feed_watch.h). An update to equal content logs nothing.
//
// Report hands every object that matches a pattern (Zaph::Util::Match) to a sink, in ascending
// id order. When the pattern's root has a String "Is" trait, the candidates come from the type
// table; otherwise every object is read. A stored object that does not read back is traced
// (kCorruptedObject, level 1, its reason the reading error) and skipped.
//
// Thread-safety: a store may be used from any number of threads. Batches run one at a time
// (BeginBatch waits for the batch before it to end). Reports of a store on disk read through a
// connection of their own (kept for later reports) and see the last committed state, while
// batches go on; reports of an in-memory store wait for the running batch and hold off the next
// one, so a thread that holds a batch of an in-memory store must not report on it. A batch
// refers to its store without owning it: the store must outlive its batches.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "enterprise/common/kivo/interfaces/store_library.h"
#include "enterprise/common/zaph/view.h"
#include "platform/store/connection.h"
#include "platform/store/engine.h"

namespace KivoStore {

/// What a batch did, counted per operation (DeleteByPattern counts each object it removed).
struct BatchCounts {
    size_t created = 0;
    size_t updated = 0;
    size_t unchanged = 0;
    size_t deleted = 0;
};

/// The operations of a batch (see the file comment).
enum class OperationKind {
    CreateObject,
    UpdateObject,
    StoreOrUpdate,
    DeleteObject,
    DeleteByPattern
};

/// One operation of a BatchOperation: the object, key or pattern it applies to.
struct Operation {
    OperationKind kind;
    Zaph::View::SharedUnitPtr unit;
};

class Store;
class FeedWatch;

/// An open write transaction of a store; see the file comment.
class WriteBatch : private Common::NonCopyable {
  public:
    /// Rolls back unless committed.
    ~WriteBatch();

    void CreateObject(const Zaph::View::SharedUnitPtr& object);
    Zaph::View::SharedUnitPtr UpdateObject(const Zaph::View::SharedUnitPtr& object);
    /// True when the object was created; `diff` receives the update's diff (null otherwise).
    bool StoreOrUpdate(const Zaph::View::SharedUnitPtr& object, Zaph::View::SharedUnitPtr* diff);
    void DeleteObject(const Zaph::View::SharedUnitPtr& objectOrKey);
    size_t DeleteByPattern(const Zaph::View::SharedUnitPtr& pattern);
    /// Applies one operation of a list.
    void Apply(const Operation& operation);

    /// Makes every operation of the batch take effect. The batch is finished afterwards.
    void Commit();
    const BatchCounts& Counts() const { return counts_; }

  private:
    friend class Store;
    WriteBatch(std::unique_lock<std::mutex> lock, Store& store, Engine& engine);

    // Writes `object` under `id`, with `oldTypes` its type rows so far.
    void Write(const ObjectId& id, const Zaph::View::Unit& object,
               const std::vector<std::u16string>& oldTypes);
    // Reads the stored object `id` into before_: false when none; `old` is null when it does not
    // read back.
    bool ReadStored(const ObjectId& id, Zaph::View::SharedUnitPtr& old);
    void Check() const;
    // Logs a change of the object whose key unit is `key`.
    void Log(ChangeKind kind, const ObjectId& id, const Zaph::View::Unit& key,
             std::span<const uint8_t> before, std::span<const uint8_t> after,
             const Zaph::View::Unit* diff);

    std::unique_lock<std::mutex> lock_;
    Store& store_;
    Engine& engine_;
    bool logged_ = false;
    std::vector<uint8_t> before_;
    std::vector<uint8_t> keyScratch_;
    std::vector<uint8_t> diffScratch_;
    std::unique_ptr<WriteTransaction> transaction_;
    BatchCounts counts_;
    std::vector<uint8_t> scratch_;
};

/// See the file comment.
class Store final : public Kivo::CustomizableStore {
  public:
    /// Receives the objects of a report.
    using ObjectSink = std::function<void(const Zaph::View::SharedUnitPtr& object)>;

    /// Opens the store of `connection` (connection.h).
    static std::shared_ptr<Store> Open(const std::u16string& connection,
                                       const OpenOptions& options = {});
    ~Store() override;

    const std::u16string& GetConnectionString() const { return connection_; }

    /// Starts a batch, after the running one (if any) ended.
    std::unique_ptr<WriteBatch> BeginBatch();
    /// Applies `operations` in order in one batch (a BatchOperation) and commits it.
    BatchCounts Apply(const std::vector<Operation>& operations);

    /// Gives the objects that match `pattern` to `sink` in ascending id order, at most `limit`
    /// of them (0: no limit), and returns how many. Between objects, a set `canceled` ends the
    /// report with the canceled error (Async::CanceledError). Errors of the sink propagate.
    size_t Report(const Zaph::View::Unit& pattern, uint64_t limit, const ObjectSink& sink,
                  const std::atomic<bool>* canceled = nullptr);

    /// The change log's retention (change_log.h); SetRetention writes it in a batch of its own
    /// (kBadRetention out of bounds).
    [[nodiscard]] Retention GetRetention();
    void SetRetention(const Retention& retention);

    // The change feed (feed_subscription.h) reads through these.

    /// A connection of the feed's own; null for an in-memory store, whose feed reads through
    /// the store's engine between batches, and where readers are scarce (a server's
    /// connections), whose feed borrows one of the store's readers for each read.
    [[nodiscard]] std::unique_ptr<Engine> OpenFeedReader();
    /// Reports as Report does, through `reader` (or the store's engine when null), and returns
    /// the log's last sequence number of the same committed state.
    uint64_t Snapshot(Engine* reader, const Zaph::View::Unit& pattern, uint64_t limit,
                      const ObjectSink& sink, const std::atomic<bool>* canceled);
    /// Walks the log entries after `after` in one committed state, while `onChange` returns
    /// true; kHistoryLost when the entry after `after` was pruned.
    void ReadChanges(Engine* reader, uint64_t after,
                     const std::function<bool(const ChangeCursor& change)>& onChange);
    /// The wake-ups of this store's subscriptions in this process.
    [[nodiscard]] std::shared_ptr<FeedWatch> Watch();

  private:
    friend class WriteBatch;
    Store(std::u16string connection, std::unique_ptr<Engine> engine);
    // Runs `body` in one read transaction of `reader`, or of the store's engine (under its
    // lock) when `reader` is null.
    void InReadTransaction(Engine* reader, const std::function<void(Engine&)>& body);
    // Wakes the subscriptions after a batch that logged changes was committed.
    void AfterCommit() noexcept;

    // A reader engine for one report: an idle one, or a new one (null: use the main engine).
    std::unique_ptr<Engine> TakeReader();
    // A reader taken for one read, given back when it goes.
    struct BorrowedReader {
        Store& store;
        std::unique_ptr<Engine> engine;
        ~BorrowedReader();
    };
    // Keeps a reader for the next report, up to kIdleReaders.
    void ReturnReader(std::unique_ptr<Engine> reader);

    const std::u16string connection_;
    std::mutex mutex_;
    std::unique_ptr<Engine> engine_;
    // The name of the store's feed watch.
    const std::string watchKey_;
    // Readers of finished reports, kept with their page caches warm.
    std::mutex readersMutex_;
    std::vector<std::unique_ptr<Engine>> idleReaders_;
};

}  // namespace KivoStore
