#include "platform/store/store.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstring>

#include "core/common/guid.h"
#include "core/common/trace.h"
#include "enterprise/common/async/error/cached_error.h"
#include "enterprise/common/kivo/interfaces/get_object_key.h"
#include "enterprise/common/zaph/binary_form.h"
#include "enterprise/common/zaph/blob_reader.h"
#include "enterprise/common/zaph/copy_unit.h"
#include "enterprise/common/zaph/match.h"
#include "enterprise/common/zaph/unit_memory.h"
#include "platform/store/diff.h"
#include "platform/store/feed_watch.h"
#include "platform/store/object_identity.h"
#include "platform/store/store_errors.h"

namespace KivoStore {
namespace {

// The trace level of a stored object that does not read back: dropped so that the rest goes on.
constexpr uint32_t kCorruptedObjectTraceLevel = 1;

// Reader connections kept between reports; more of those that subscriptions borrow for each
// read (a server's connections), so that busy listeners rarely connect anew.
constexpr size_t kIdleReaders = 2;
constexpr size_t kIdleScarceReaders = 8;

std::string IdText(std::span<const uint8_t> id) {
    if (id.size() != std::tuple_size_v<ObjectId>)
        return "(a damaged id of " + std::to_string(id.size()) + " bytes)";
    ObjectId full;
    std::memcpy(full.data(), id.data(), full.size());
    return Common::GuidToString(ToGuid(full));
}

// Reads a stored body back; traces and returns null when it does not read back.
Zaph::View::SharedUnitPtr ReadBody(std::span<const uint8_t> id, std::span<const uint8_t> body) {
    try {
        if (id.size() != std::tuple_size_v<ObjectId>)
            throw Common::Error(COMMON_PLACE("KivoStore::ReadBody"), kCorruptedObject,
                                "KIVO: The id of a stored object is damaged.");
        if (body.size() > kMaxObjectBytes)
            throw Common::Error(COMMON_PLACE("KivoStore::ReadBody"), kObjectTooLarge,
                                "KIVO: The stored object has " + std::to_string(body.size()) +
                                    " bytes, more than the " + std::to_string(kMaxObjectBytes) +
                                    " an object may have.");
        return Zaph::Detail::ShareUnit(
            Zaph::Util::ReadUnitFromBlob(body, Zaph::Construction::DefaultUnitFactory()));
    } catch (const Common::Error& error) {
        Common::Error traced(
            COMMON_PLACE("KivoStore::ReadBody"), kCorruptedObject,
            "KIVO: The stored object " + IdText(id) + " does not read back; it is skipped.");
        traced.Add(error);
        Common::TraceError(kCorruptedObjectTraceLevel, traced);
        return nullptr;
    }
}

// Calls `onMatch` with each stored object that matches `pattern`, in ascending id order, until
// it returns true.
template <class F>
void ForEachMatch(Engine& engine, const Zaph::View::Unit& pattern,
                  const std::atomic<bool>* canceled, F&& onMatch) {
    const std::u16string* type = PinnedType(pattern);
    std::unique_ptr<ObjectCursor> cursor =
        type != nullptr ? engine.ScanObjectsOfType(*type) : engine.ScanObjects();
    while (cursor->Next()) {
        if (canceled != nullptr && canceled->load(std::memory_order_relaxed))
            throw Async::CanceledError();
        Zaph::View::SharedUnitPtr object = ReadBody(cursor->Id(), cursor->Body());
        if (object == nullptr || !Zaph::Util::Match(*object, pattern))
            continue;
        ObjectId id;
        std::memcpy(id.data(), cursor->Id().data(), id.size());
        if (onMatch(id, std::move(object)))
            return;
    }
}

Common::Error NullPattern(const Common::SourceLocation& place) {
    return Common::Error(place, kNullPattern,
                         "KIVO: A pattern is required; a Nil pattern without traits "
                         "(.Nil().End()) selects every object.");
}

// The types of a stored object, none when it did not read back.
std::vector<std::u16string> TypesOrNone(const Zaph::View::SharedUnitPtr& object) {
    return object != nullptr ? TypesOf(*object) : std::vector<std::u16string>();
}

}  // namespace

WriteBatch::WriteBatch(std::unique_lock<std::mutex> lock, Store& store, Engine& engine)
    : lock_(std::move(lock)),
      store_(store),
      engine_(engine),
      transaction_(std::make_unique<WriteTransaction>(engine)) {}

WriteBatch::~WriteBatch() = default;

void WriteBatch::Check() const {
    if (transaction_ == nullptr)
        throw Common::Error(COMMON_PLACE("KivoStore::WriteBatch::Check"), kStoreFailure,
                            "KIVO: The batch was committed already.");
}

bool WriteBatch::ReadStored(const ObjectId& id, Zaph::View::SharedUnitPtr& old) {
    if (!engine_.ReadObject(id, before_))
        return false;
    old = ReadBody(id, before_);
    return true;
}

void WriteBatch::Log(ChangeKind kind, const ObjectId& id, const Zaph::View::Unit& key,
                     std::span<const uint8_t> before, std::span<const uint8_t> after,
                     const Zaph::View::Unit* diff) {
    keyScratch_.clear();
    Zaph::Util::WriteUnitToBlob(key, keyScratch_);
    diffScratch_.clear();
    if (diff != nullptr)
        Zaph::Util::WriteUnitToBlob(*diff, diffScratch_);
    engine_.AppendChange({kind, id, keyScratch_, before, after, diffScratch_});
    logged_ = true;
}

void WriteBatch::Write(const ObjectId& id, const Zaph::View::Unit& object,
                       const std::vector<std::u16string>& oldTypes) {
    scratch_.clear();
    Zaph::Util::WriteUnitToBlob(object, scratch_);
    if (scratch_.size() > kMaxObjectBytes)
        throw Common::Error(COMMON_PLACE("KivoStore::WriteBatch::Write"), kObjectTooLarge,
                            "KIVO: The object " + IdText(id) + " has " +
                                std::to_string(scratch_.size()) + " bytes, more than the " +
                                std::to_string(kMaxObjectBytes) + " an object may have.");
    engine_.WriteObject(id, scratch_);
    const std::vector<std::u16string> newTypes = TypesOf(object);
    for (const std::u16string& type : oldTypes) {
        if (std::find(newTypes.begin(), newTypes.end(), type) == newTypes.end())
            engine_.RemoveType(id, type);
    }
    for (const std::u16string& type : newTypes) {
        if (std::find(oldTypes.begin(), oldTypes.end(), type) == oldTypes.end())
            engine_.AddType(id, type);
    }
}

void WriteBatch::CreateObject(const Zaph::View::SharedUnitPtr& object) {
    Check();
    const ObjectId id = ObjectIdOf(object);
    if (engine_.ReadObject(id, scratch_))
        throw Common::Error(COMMON_PLACE("KivoStore::WriteBatch::CreateObject"), kObjectExists,
                            "KIVO: An object with the id " + IdText(id) + " is stored already.");
    Write(id, *object, {});
    Log(ChangeKind::Created, id, *Kivo::GetObjectKey(object), {}, scratch_, nullptr);
    ++counts_.created;
}

Zaph::View::SharedUnitPtr WriteBatch::UpdateObject(const Zaph::View::SharedUnitPtr& object) {
    Check();
    const ObjectId id = ObjectIdOf(object);
    Zaph::View::SharedUnitPtr old;
    if (!ReadStored(id, old))
        throw Common::Error(COMMON_PLACE("KivoStore::WriteBatch::UpdateObject"), kObjectNotFound,
                            "KIVO: No object with the id " + IdText(id) + " is stored.");
    Zaph::Construction::UnitFactory& factory = Zaph::Construction::DefaultUnitFactory();
    // A stored version that does not read back is replaced whole.
    Zaph::View::SharedUnitPtr diff(old != nullptr ? ComputeDiff(*old, *object, factory)
                                                  : Zaph::Util::CopyUnit(*object, factory));
    if (diff == nullptr) {
        ++counts_.unchanged;
        return nullptr;
    }
    Write(id, *object, TypesOrNone(old));
    // Readers never saw a stored version that does not read back (reports skip it), so
    // replacing it is to them a creation.
    if (old != nullptr)
        Log(ChangeKind::Updated, id, *Kivo::GetObjectKey(object), before_, scratch_, diff.get());
    else
        Log(ChangeKind::Created, id, *Kivo::GetObjectKey(object), {}, scratch_, nullptr);
    ++counts_.updated;
    return diff;
}

bool WriteBatch::StoreOrUpdate(const Zaph::View::SharedUnitPtr& object,
                               Zaph::View::SharedUnitPtr* diff) {
    Check();
    const ObjectId id = ObjectIdOf(object);
    if (!engine_.ReadObject(id, scratch_)) {
        Write(id, *object, {});
        Log(ChangeKind::Created, id, *Kivo::GetObjectKey(object), {}, scratch_, nullptr);
        ++counts_.created;
        return true;
    }
    Zaph::View::SharedUnitPtr changes = UpdateObject(object);
    if (diff != nullptr)
        *diff = std::move(changes);
    return false;
}

void WriteBatch::DeleteObject(const Zaph::View::SharedUnitPtr& objectOrKey) {
    Check();
    const ObjectId id = ObjectIdOf(objectOrKey);
    Zaph::View::SharedUnitPtr old;
    if (!ReadStored(id, old))
        throw Common::Error(COMMON_PLACE("KivoStore::WriteBatch::DeleteObject"), kObjectNotFound,
                            "KIVO: No object with the id " + IdText(id) + " is stored.");
    engine_.DeleteObject(id);
    for (const std::u16string& type : TypesOrNone(old))
        engine_.RemoveType(id, type);
    // A stored version that does not read back, which no reader saw, is logged without its
    // body and keyed as the caller named it.
    Log(ChangeKind::Deleted, id, *Kivo::GetObjectKey(old != nullptr ? old : objectOrKey),
        old != nullptr ? std::span<const uint8_t>(before_) : std::span<const uint8_t>(), {},
        nullptr);
    ++counts_.deleted;
}

size_t WriteBatch::DeleteByPattern(const Zaph::View::SharedUnitPtr& pattern) {
    Check();
    if (pattern == nullptr)
        throw NullPattern(COMMON_PLACE("KivoStore::WriteBatch::DeleteByPattern"));
    struct Doomed {
        ObjectId id;
        std::vector<std::u16string> types;
        Zaph::View::SharedUnitPtr key;
    };
    std::vector<Doomed> doomed;
    ForEachMatch(engine_, *pattern, nullptr,
                 [&](const ObjectId& id, const Zaph::View::SharedUnitPtr& object) {
                     doomed.push_back({id, TypesOf(*object), Kivo::GetObjectKey(object)});
                     return false;
                 });
    // The bodies are read again one at a time for the log, so that only keys are held.
    for (const Doomed& one : doomed) {
        if (!engine_.ReadObject(one.id, before_))
            continue;
        engine_.DeleteObject(one.id);
        for (const std::u16string& type : one.types)
            engine_.RemoveType(one.id, type);
        Log(ChangeKind::Deleted, one.id, *one.key, before_, {}, nullptr);
    }
    counts_.deleted += doomed.size();
    return doomed.size();
}

void WriteBatch::Apply(const Operation& operation) {
    switch (operation.kind) {
        case OperationKind::CreateObject:
            CreateObject(operation.unit);
            return;
        case OperationKind::UpdateObject:
            UpdateObject(operation.unit);
            return;
        case OperationKind::StoreOrUpdate:
            StoreOrUpdate(operation.unit, nullptr);
            return;
        case OperationKind::DeleteObject:
            DeleteObject(operation.unit);
            return;
        case OperationKind::DeleteByPattern:
            DeleteByPattern(operation.unit);
            return;
    }
}

void WriteBatch::Commit() {
    Check();
    if (logged_)
        engine_.PruneChanges(std::chrono::duration_cast<std::chrono::milliseconds>(
                                 std::chrono::system_clock::now().time_since_epoch())
                                 .count());
    transaction_->Commit();
    transaction_.reset();
    lock_.unlock();
    if (logged_)
        store_.AfterCommit();
}

std::shared_ptr<Store> Store::Open(const std::u16string& connection, const OpenOptions& options) {
    const BodyTypes typesOfBody = [](std::span<const uint8_t> body) {
        const Zaph::View::SharedUnitPtr object = ReadBody(ObjectId{}, body);
        return TypesOrNone(object);
    };
    return std::shared_ptr<Store>(
        new Store(connection, OpenEngine(connection, options, typesOfBody)));
}

Store::Store(std::u16string connection, std::unique_ptr<Engine> engine)
    : connection_(std::move(connection)),
      engine_(std::move(engine)),
      watchKey_(engine_->WatchKey()) {}

Store::~Store() = default;

std::unique_ptr<WriteBatch> Store::BeginBatch() {
    std::unique_lock<std::mutex> lock(mutex_);
    return std::unique_ptr<WriteBatch>(new WriteBatch(std::move(lock), *this, *engine_));
}

BatchCounts Store::Apply(const std::vector<Operation>& operations) {
    std::unique_ptr<WriteBatch> batch = BeginBatch();
    for (const Operation& operation : operations)
        batch->Apply(operation);
    batch->Commit();
    return batch->Counts();
}

std::unique_ptr<Engine> Store::TakeReader() {
    {
        std::lock_guard<std::mutex> guard(readersMutex_);
        if (!idleReaders_.empty()) {
            std::unique_ptr<Engine> reader = std::move(idleReaders_.back());
            idleReaders_.pop_back();
            return reader;
        }
    }
    return engine_->OpenReader();
}

void Store::ReturnReader(std::unique_ptr<Engine> reader) {
    if (reader == nullptr)
        return;
    std::lock_guard<std::mutex> guard(readersMutex_);
    if (idleReaders_.size() < (engine_->ReadersAreScarce() ? kIdleScarceReaders : kIdleReaders))
        idleReaders_.push_back(std::move(reader));
}

Store::BorrowedReader::~BorrowedReader() {
    store.ReturnReader(std::move(engine));
}

size_t Store::Report(const Zaph::View::Unit& pattern, uint64_t limit, const ObjectSink& sink,
                     const std::atomic<bool>* canceled) {
    BorrowedReader borrowed{*this, TakeReader()};
    Engine* reader = borrowed.engine.get();
    std::unique_lock<std::mutex> lock;
    if (reader == nullptr)
        lock = std::unique_lock<std::mutex>(mutex_);
    Engine& engine = reader != nullptr ? *reader : *engine_;
    size_t delivered = 0;
    ForEachMatch(engine, pattern, canceled,
                 [&](const ObjectId&, const Zaph::View::SharedUnitPtr& object) {
                     sink(object);
                     ++delivered;
                     return limit != 0 && delivered >= limit;
                 });
    return delivered;
}

}  // namespace KivoStore

namespace KivoStore {

void Store::AfterCommit() noexcept {
    FeedWatch::NotifyLocal(watchKey_);
}

Retention Store::GetRetention() {
    std::lock_guard<std::mutex> lock(mutex_);
    return engine_->ReadRetention();
}

void Store::SetRetention(const Retention& retention) {
    std::unique_ptr<WriteBatch> batch = BeginBatch();
    engine_->WriteRetention(retention);
    batch->Commit();
}

std::unique_ptr<Engine> Store::OpenFeedReader() {
    return engine_->ReadersAreScarce() ? nullptr : engine_->OpenReader();
}

std::shared_ptr<FeedWatch> Store::Watch() {
    return FeedWatch::Acquire(watchKey_, [this] { return engine_->OpenChangeSource(); });
}

void Store::InReadTransaction(Engine* reader, const std::function<void(Engine&)>& body) {
    BorrowedReader borrowed{
        *this, reader == nullptr && engine_->ReadersAreScarce() ? TakeReader() : nullptr};
    if (reader == nullptr)
        reader = borrowed.engine.get();
    std::unique_lock<std::mutex> lock;
    if (reader == nullptr)
        lock = std::unique_lock<std::mutex>(mutex_);
    Engine& engine = reader != nullptr ? *reader : *engine_;
    engine.BeginRead();
    struct Ending {
        Engine& engine;
        ~Ending() { engine.EndRead(); }
    } ending{engine};
    body(engine);
}

uint64_t Store::Snapshot(Engine* reader, const Zaph::View::Unit& pattern, uint64_t limit,
                         const ObjectSink& sink, const std::atomic<bool>* canceled) {
    uint64_t last = 0;
    InReadTransaction(reader, [&](Engine& engine) {
        uint64_t delivered = 0;
        ForEachMatch(engine, pattern, canceled,
                     [&](const ObjectId&, const Zaph::View::SharedUnitPtr& object) {
                         sink(object);
                         ++delivered;
                         return limit != 0 && delivered >= limit;
                     });
        last = engine.ReadFeedMarks().last;
    });
    return last;
}

void Store::ReadChanges(Engine* reader, uint64_t after,
                        const std::function<bool(const ChangeCursor& change)>& onChange) {
    InReadTransaction(reader, [&](Engine& engine) {
        const FeedMarks marks = engine.ReadFeedMarks();
        if (after + 1 < marks.prunedBelow)
            throw Common::Error(COMMON_PLACE("KivoStore::Store::ReadChanges"), kHistoryLost,
                                "KIVO: The changes after " + std::to_string(after) +
                                    " were pruned from the store's change log (it keeps from " +
                                    std::to_string(marks.prunedBelow) +
                                    "); subscribe again to start from the present state.");
        if (after >= marks.last)
            return;
        std::unique_ptr<ChangeCursor> cursor = engine.ScanChanges(after);
        while (cursor->Next()) {
            if (!onChange(*cursor))
                return;
        }
    });
}

}  // namespace KivoStore
