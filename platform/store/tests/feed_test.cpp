// The change feed: what each write logs, what a view gets from it, retention and its limits,
// migration to the logging layout, damaged entries, and waiting reads.
#include <gtest/gtest.h>
#include <poll.h>

#include <atomic>
#include <cstdio>
#include <thread>

#include "enterprise/common/async/error/cached_error.h"
#include "enterprise/common/kivo/interfaces/get_object_key.h"
#include "platform/store/feed_subscription.h"
#include "platform/store/store_errors.h"
#include "platform/store/tests/store_test_support.h"

namespace {

using KivoStore::FeedSubscription;
using KivoStore::Operation;
using KivoStore::OperationKind;
using KivoStoreTest::GuidObject;
using KivoStoreTest::MakeGuid;
using KivoStoreTest::PropertyText;
using KivoStoreTest::RawDatabase;
using KivoStoreTest::TypePattern;
using Zaph::View::SharedUnitPtr;

Common::Guid Numbered(uint32_t number) {
    char text[40];
    std::snprintf(text, sizeof text, "%08X-0000-0000-0000-00000000FEED", number);
    return MakeGuid(text);
}

// A disk named `name` whose Count is `count`.
SharedUnitPtr Disk(uint32_t number, std::u16string_view name, uint32_t count = 0) {
    return GuidObject(Numbered(number), u"Disk", name, count);
}

// A pattern on a property: the disks named "hot".
SharedUnitPtr HotDisks() {
    return SharedUnitPtr(Zaph::Util::FluentUnitBuilder(Zaph::Construction::DefaultUnitFactory())
                             .Composite()
                             .Trait("Is")
                             .String(u"Disk")
                             .End()
                             .Property("Name")
                             .String(u"hot")
                             .End()
                             .End()
                             .TakeResult());
}

using KivoStoreTest::FailureOf;

class FeedTest : public ::testing::Test {
  protected:
    void SetUp() override {
        KivoStore::CreateStore(folder_.WideFile("s.db"));
        store_ = KivoStore::Store::Open(folder_.WideFile("s.db"));
    }
    std::unique_ptr<FeedSubscription> Subscribe(const SharedUnitPtr& pattern,
                                                std::vector<SharedUnitPtr>* snapshot = nullptr,
                                                uint64_t limit = 0) {
        return FeedSubscription::Start(store_, pattern, limit, [&](const SharedUnitPtr& object) {
            if (snapshot != nullptr)
                snapshot->push_back(object);
        });
    }
    std::vector<std::string> Column(const std::string& sql) {
        return RawDatabase(folder_.File("s.db")).Column(sql);
    }

    KivoStoreTest::ScratchFolder folder_;
    std::shared_ptr<KivoStore::Store> store_;
};

TEST_F(FeedTest, EveryWriteLogsItsChangeInCommitOrder) {
    store_->Apply({{OperationKind::CreateObject, Disk(1, u"a")},
                   {OperationKind::StoreOrUpdate, Disk(2, u"b")},
                   {OperationKind::UpdateObject, Disk(1, u"a", 1)},
                   {OperationKind::UpdateObject, Disk(1, u"a", 1)},  // equal: logs nothing
                   {OperationKind::StoreOrUpdate, Disk(2, u"b", 5)},
                   {OperationKind::DeleteObject, Disk(2, u"b")}});
    store_->Apply({{OperationKind::CreateObject, Disk(3, u"c")},
                   {OperationKind::CreateObject, Disk(4, u"c")},
                   {OperationKind::DeleteByPattern, TypePattern(u"Disk")}});
    // A batch that fails logs nothing.
    EXPECT_EQ(FailureOf([&] {
                  store_->Apply({{OperationKind::CreateObject, Disk(9, u"x")},
                                 {OperationKind::CreateObject, Disk(9, u"x")}});
              }),
              KivoStore::kObjectExists);
    EXPECT_EQ(
        Column("SELECT seq || ':' || kind || ':' || (before IS NOT NULL) || (after IS NOT "
               "NULL) || (diff IS NOT NULL) || (key IS NOT NULL) FROM changes ORDER BY seq;"),
        (std::vector<std::string>{"1:0:0101", "2:0:0101", "3:1:1111", "4:1:1111", "5:2:1001",
                                  "6:0:0101", "7:0:0101", "8:2:1001", "9:2:1001", "10:2:1001"}));
}

TEST_F(FeedTest, ChangesAreDecidedAgainstThePatternBeforeAndAfter) {
    store_->Apply({{OperationKind::CreateObject, Disk(1, u"hot")},
                   {OperationKind::CreateObject, Disk(2, u"cold")}});
    std::vector<SharedUnitPtr> snapshot;
    std::unique_ptr<FeedSubscription> subscription = Subscribe(HotDisks(), &snapshot);
    ASSERT_EQ(snapshot.size(), 1u);

    struct Step {
        const char* what;
        Operation operation;
        int type;           // -1: nothing delivered
        const char* count;  // the Count of the delivered object or diff, "" for none
    };
    const Step steps[] = {
        {"stays and changes", {OperationKind::UpdateObject, Disk(1, u"hot", 1)}, 1, "1"},
        {"outside before and after", {OperationKind::UpdateObject, Disk(2, u"cold", 1)}, -1, ""},
        {"enters", {OperationKind::UpdateObject, Disk(2, u"hot", 2)}, 0, "2"},
        {"leaves", {OperationKind::UpdateObject, Disk(1, u"cold", 3)}, 2, ""},
        {"created inside", {OperationKind::CreateObject, Disk(3, u"hot", 4)}, 0, "4"},
        {"created outside", {OperationKind::CreateObject, Disk(4, u"cold")}, -1, ""},
        {"deleted inside", {OperationKind::DeleteObject, Disk(2, u"hot")}, 2, ""},
        {"deleted outside", {OperationKind::DeleteObject, Disk(4, u"cold")}, -1, ""},
        {"removed by pattern", {OperationKind::DeleteByPattern, HotDisks()}, 2, ""},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.what);
        const SharedUnitPtr object = step.operation.unit;
        store_->Apply({step.operation});
        const FeedSubscription::Updates updates = subscription->ReadPending();
        if (step.type < 0) {
            EXPECT_TRUE(updates.empty());
            continue;
        }
        ASSERT_EQ(updates.size(), 1u);
        EXPECT_EQ(updates[0].Type, static_cast<uint32_t>(step.type));
        ASSERT_NE(updates[0].Key, nullptr);
        // Keys name the same object as its creation and reports do.
        if (step.operation.kind != OperationKind::DeleteByPattern) {
            EXPECT_EQ(step.type == 0 ? Kivo::GetObjectIdText(updates[0].Key)
                                     : Kivo::GetKeyIdText(*updates[0].Key),
                      Kivo::GetObjectIdText(object));
        }
        EXPECT_EQ(updates[0].PackedUpdate == nullptr, step.type == 2);
        if (updates[0].PackedUpdate != nullptr) {
            EXPECT_EQ(PropertyText(updates[0].PackedUpdate, "Count"), step.count);
        }
        if (step.type == 1) {  // a diff leaves out what did not change
            EXPECT_EQ(PropertyText(updates[0].PackedUpdate, "Name"), "");
        }
    }
    EXPECT_EQ(subscription->Position(), std::stoull(Column("SELECT max(seq) FROM changes;")[0]));
}

TEST_F(FeedTest, ReadsAreBoundedBatchesAndTheRestFollows) {
    std::unique_ptr<FeedSubscription> subscription = Subscribe(TypePattern(u""));
    std::vector<Operation> operations;
    for (uint32_t i = 0; i < 2500; ++i)
        operations.push_back({OperationKind::CreateObject, Disk(i + 1, u"n", i)});
    store_->Apply(operations);
    std::vector<size_t> sizes;
    std::string counts;
    for (FeedSubscription::Updates updates = subscription->ReadPending(); !updates.empty();
         updates = subscription->ReadPending()) {
        sizes.push_back(updates.size());
        // A batch cut short leaves the wake-up readable, so an event loop comes back.
        pollfd polled{subscription->WakeDescriptor(), POLLIN, 0};
        EXPECT_EQ(::poll(&polled, 1, 0), sizes.size() < 3 ? 1 : 0);
        counts = PropertyText(updates.back().PackedUpdate, "Count");
    }
    EXPECT_EQ(sizes, (std::vector<size_t>{1000, 1000, 500}));
    EXPECT_EQ(counts, "2499");
}

TEST_F(FeedTest, PrunedHistoryFailsTheSubscriptionThatNeedsIt) {
    KivoStore::Retention retention;
    retention.entries = 3;
    store_->SetRetention(retention);
    EXPECT_EQ(store_->GetRetention().entries, 3u);
    std::unique_ptr<FeedSubscription> behind = Subscribe(TypePattern(u""));
    for (uint32_t i = 1; i <= 5; ++i)
        store_->Apply({{OperationKind::CreateObject, Disk(i, u"n")}});
    EXPECT_EQ(Column("SELECT group_concat(seq) FROM changes;"), std::vector<std::string>{"3,4,5"});
    EXPECT_EQ(Column("SELECT value FROM kivo_store WHERE name = 'pruned_below';"),
              std::vector<std::string>{"3"});
    KivoStoreTest::TraceCollector traces;
    EXPECT_EQ(FailureOf([&] { (void)behind->ReadPending(); }), KivoStore::kHistoryLost);
    // The failure stays: the subscription never skips ahead.
    EXPECT_EQ(FailureOf([&] { (void)behind->ReadPending(); }), KivoStore::kHistoryLost);
    EXPECT_EQ(traces.errors.size(), 1u);

    // By age: entries older than the retention go at the next write, whatever their count.
    std::unique_ptr<FeedSubscription> current = Subscribe(TypePattern(u""));
    retention.entries = 1000;
    retention.age = std::chrono::seconds(60);
    store_->SetRetention(retention);
    ASSERT_EQ(RawDatabase(folder_.File("s.db")).Execute("UPDATE changes SET at = 0;"), SQLITE_OK);
    store_->Apply({{OperationKind::CreateObject, Disk(6, u"n")}});
    EXPECT_EQ(Column("SELECT group_concat(seq) FROM changes;"), std::vector<std::string>{"6"});
    // Reading up to the mark is no loss; numbers go on after a pruned log.
    EXPECT_EQ(current->ReadPending().size(), 1u);
    ASSERT_EQ(RawDatabase(folder_.File("s.db")).Execute("UPDATE changes SET at = 0;"), SQLITE_OK);
    store_->Apply({{OperationKind::UpdateObject, Disk(6, u"m")}});
    store_->Apply({{OperationKind::UpdateObject, Disk(6, u"l")}});
    EXPECT_EQ(Column("SELECT group_concat(seq) FROM changes;"), std::vector<std::string>{"7,8"});
    EXPECT_EQ(current->ReadPending().size(), 2u);

    for (const KivoStore::Retention bad :
         {KivoStore::Retention{std::chrono::seconds(0), 10}, KivoStore::Retention{{}, 0},
          KivoStore::Retention{KivoStore::kMaxRetentionAge + std::chrono::seconds(1), 10}})
        EXPECT_EQ(FailureOf([&] { store_->SetRetention(bad); }), KivoStore::kBadRetention);
    ASSERT_EQ(RawDatabase(folder_.File("s.db"))
                  .Execute("UPDATE kivo_store SET value = 'x' WHERE name = 'retention_entries';"),
              SQLITE_OK);
    EXPECT_EQ(FailureOf([&] {
                  store_->Apply({{OperationKind::DeleteObject, Disk(6, u"")}});
              }),
              KivoStore::kBadRetention);
}

TEST_F(FeedTest, DamagedEntryFailsOnlyTheSubscriptionThatReadsIt) {
    const struct {
        const char* damage;
    } damages[] = {{"UPDATE changes SET after = x'0102' WHERE seq = 1;"},
                   {"UPDATE changes SET kind = 7 WHERE seq = 1;"},
                   {"UPDATE changes SET id = x'01' WHERE seq = 1;"},
                   {"UPDATE changes SET after = NULL WHERE seq = 1;"},
                   {"UPDATE changes SET after = x'ff' || zeroblob(16777216) WHERE seq = 1;"}};
    for (const auto& damage : damages) {
        SCOPED_TRACE(damage.damage);
        KivoStoreTest::ScratchFolder folder;
        KivoStore::CreateStore(folder.WideFile("d.db"));
        auto store = KivoStore::Store::Open(folder.WideFile("d.db"));
        auto victim =
            FeedSubscription::Start(store, TypePattern(u"Disk"), 0, [](const SharedUnitPtr&) {});
        store->Apply({{OperationKind::CreateObject, Disk(1, u"a")}});
        ASSERT_EQ(RawDatabase(folder.File("d.db")).Execute(damage.damage), SQLITE_OK);
        auto later =
            FeedSubscription::Start(store, TypePattern(u"Disk"), 0, [](const SharedUnitPtr&) {});
        KivoStoreTest::TraceCollector traces;
        EXPECT_EQ(FailureOf([&] { (void)victim->ReadPending(); }), KivoStore::kCorruptedChange);
        ASSERT_EQ(traces.errors.size(), 1u);
        EXPECT_EQ(traces.errors[0].Code(), KivoStore::kCorruptedChange);
        // Writers and the subscriptions past the entry go on.
        store->Apply({{OperationKind::CreateObject, Disk(2, u"b")}});
        EXPECT_EQ(later->ReadPending().size(), 1u);
    }
}

TEST_F(FeedTest, StoredObjectThatDoesNotReadBackIsInNoView) {
    store_->Apply({{OperationKind::CreateObject, Disk(1, u"a")},
                   {OperationKind::CreateObject, Disk(2, u"b")}});
    const char* damage = "UPDATE objects SET body = substr(body, 1, 20);";
    ASSERT_EQ(RawDatabase(folder_.File("s.db")).Execute(damage), SQLITE_OK);
    KivoStoreTest::TraceCollector traces;
    std::vector<SharedUnitPtr> snapshot;
    std::unique_ptr<FeedSubscription> subscription = Subscribe(TypePattern(u""), &snapshot);
    EXPECT_TRUE(snapshot.empty());
    // Mending one is its creation to the view; deleting the other delivers nothing.
    store_->Apply({{OperationKind::StoreOrUpdate, Disk(1, u"mended")},
                   {OperationKind::DeleteObject, Disk(2, u"")}});
    const FeedSubscription::Updates updates = subscription->ReadPending();
    ASSERT_EQ(updates.size(), 1u);
    EXPECT_EQ(updates[0].Type, 0u);
    EXPECT_EQ(PropertyText(updates[0].Key, "Name"), "mended");
}

TEST_F(FeedTest, WaitingReadEndsAtOnceWhenCanceled) {
    std::unique_ptr<FeedSubscription> subscription = Subscribe(TypePattern(u""));
    std::atomic<bool> canceled{false};
    uint32_t code = 0;
    std::thread reader([&] { code = FailureOf([&] { (void)subscription->Read(canceled); }); });
    canceled = true;
    subscription->Interrupt();
    reader.join();
    EXPECT_EQ(code, Async::CanceledError().Code());
    // The subscription is still usable: the next read gets the next change.
    store_->Apply({{OperationKind::CreateObject, Disk(1, u"a")}});
    std::atomic<bool> notCanceled{false};
    EXPECT_EQ(subscription->Read(notCanceled).size(), 1u);
}

TEST_F(FeedTest, ReadOnlyOpenSubscribesAndSeesAnotherWritersCommits) {
    store_->Apply({{OperationKind::CreateObject, Disk(1, u"a")}});
    const std::string uri = "file:" + folder_.File("s.db") + "?mode=ro";
    auto readOnly = KivoStore::Store::Open(std::u16string(uri.begin(), uri.end()));
    std::vector<SharedUnitPtr> snapshot;
    auto subscription = FeedSubscription::Start(
        readOnly, TypePattern(u""), 0, [&](const SharedUnitPtr& o) { snapshot.push_back(o); });
    EXPECT_EQ(snapshot.size(), 1u);
    store_->Apply({{OperationKind::UpdateObject, Disk(1, u"b")}});
    std::atomic<bool> canceled{false};
    const FeedSubscription::Updates updates = subscription->Read(canceled);
    ASSERT_EQ(updates.size(), 1u);
    EXPECT_EQ(updates[0].Type, 1u);
}

TEST(FeedMigrationTest, LayoutTwoGainsAnEmptyLogAndKeepsItsObjects) {
    KivoStoreTest::ScratchFolder folder;
    KivoStore::CreateStore(folder.WideFile("old.db"));
    KivoStore::Store::Open(folder.WideFile("old.db"))
        ->Apply({{OperationKind::CreateObject, Disk(1, u"kept")}});
    ASSERT_EQ(RawDatabase(folder.File("old.db"))
                  .Execute("DROP TABLE changes; DELETE FROM kivo_store WHERE name <> 'layout';"
                           "PRAGMA user_version=2;"),
              SQLITE_OK);
    // Read-only, it still reports; only its feed needs the migration, and nothing is written.
    const std::string uri = "file:" + folder.File("old.db") + "?mode=ro";
    auto readOnly = KivoStore::Store::Open(std::u16string(uri.begin(), uri.end()));
    size_t reported = 0;
    readOnly->Report(*TypePattern(u""), 0, [&](const SharedUnitPtr&) { ++reported; });
    EXPECT_EQ(reported, 1u);
    EXPECT_EQ(FailureOf([&] {
                  (void)FeedSubscription::Start(readOnly, TypePattern(u""), 0,
                                                [](const SharedUnitPtr&) {});
              }),
              KivoStore::kStoreNeedsMigration);
    readOnly.reset();
    EXPECT_EQ(RawDatabase(folder.File("old.db")).Column("PRAGMA user_version;"),
              std::vector<std::string>{"2"});

    auto store = KivoStore::Store::Open(folder.WideFile("old.db"));
    EXPECT_EQ(RawDatabase(folder.File("old.db")).Column("PRAGMA user_version;"),
              std::vector<std::string>{"3"});
    EXPECT_EQ(store->GetRetention().entries, 1'000'000u);
    std::vector<SharedUnitPtr> snapshot;
    auto subscription = FeedSubscription::Start(
        store, TypePattern(u""), 0, [&](const SharedUnitPtr& o) { snapshot.push_back(o); });
    ASSERT_EQ(snapshot.size(), 1u);
    EXPECT_EQ(PropertyText(snapshot[0], "Name"), "kept");
    store->Apply({{OperationKind::DeleteObject, Disk(1, u"")}});
    EXPECT_EQ(subscription->ReadPending().size(), 1u);
}

TEST(InMemoryFeedTest, SubscribesThroughTheStoresOwnEngine) {
    auto store = KivoStore::Store::Open(u":memory:");
    store->Apply({{OperationKind::CreateObject, Disk(1, u"a")}});
    std::vector<SharedUnitPtr> snapshot;
    auto subscription = FeedSubscription::Start(
        store, TypePattern(u""), 1, [&](const SharedUnitPtr& o) { snapshot.push_back(o); });
    EXPECT_EQ(snapshot.size(), 1u);
    std::atomic<bool> canceled{false};
    std::thread writer([&] { store->Apply({{OperationKind::CreateObject, Disk(2, u"b")}}); });
    EXPECT_EQ(subscription->Read(canceled).size(), 1u);
    writer.join();
}

}  // namespace
