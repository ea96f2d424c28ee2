// The change feed: what each write logs, what a view gets from it, bounded reads, retention and
// its limits, damaged entries, and waiting reads.
#include <gtest/gtest.h>
#include <poll.h>

#include <atomic>
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
using KivoStoreTest::Disk;
using KivoStoreTest::PropertyText;
using KivoStoreTest::RawDatabase;
using KivoStoreTest::TypePattern;
using Zaph::View::SharedUnitPtr;
using ZaphTest::ErrorCodeOf;
using Names = std::vector<std::string>;

std::unique_ptr<FeedSubscription> Subscribe(const std::shared_ptr<KivoStore::Store>& store,
                                            const SharedUnitPtr& pattern,
                                            std::vector<SharedUnitPtr>* snapshot = nullptr,
                                            uint64_t limit = 0) {
    return FeedSubscription::Start(store, pattern, limit, [=](const SharedUnitPtr& object) {
        if (snapshot != nullptr)
            snapshot->push_back(object);
    });
}

class FeedTest : public ::testing::Test {
  protected:
    void SetUp() override {
        KivoStore::CreateStore(folder_.WideFile("s.db"));
        store_ = KivoStore::Store::Open(folder_.WideFile("s.db"));
    }
    Names Column(const std::string& sql) { return RawDatabase(folder_.File("s.db")).Column(sql); }
    int Execute(const std::string& sql) { return RawDatabase(folder_.File("s.db")).Execute(sql); }

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
    EXPECT_EQ(ErrorCodeOf([&] {
                  store_->Apply({{OperationKind::CreateObject, Disk(9, u"x")},
                                 {OperationKind::CreateObject, Disk(9, u"x")}});
              }),
              KivoStore::kObjectExists);
    EXPECT_EQ(Column("SELECT seq || ':' || kind || ':' || (before IS NOT NULL) || (after IS NOT "
                     "NULL) || (diff IS NOT NULL) || (key IS NOT NULL) FROM changes ORDER BY seq;"),
              (Names{"1:0:0101", "2:0:0101", "3:1:1111", "4:1:1111", "5:2:1001", "6:0:0101",
                     "7:0:0101", "8:2:1001", "9:2:1001", "10:2:1001"}));
}

TEST_F(FeedTest, ChangesAreDecidedAgainstThePatternBeforeAndAfter) {
    store_->Apply({{OperationKind::CreateObject, Disk(1, u"hot")},
                   {OperationKind::CreateObject, Disk(2, u"cold")}});
    const SharedUnitPtr hotDisks(
        ZaphTest::WithTrait(ZaphTest::Composite(ZaphTest::Prop{"Name", ZaphTest::Str(u"hot")}),
                            "Is", ZaphTest::Str(u"Disk")));
    std::vector<SharedUnitPtr> snapshot;
    std::unique_ptr<FeedSubscription> subscription = Subscribe(store_, hotDisks, &snapshot);
    ASSERT_EQ(snapshot.size(), 1u);

    const struct {
        const char* what;
        Operation operation;
        int type;           // -1: nothing delivered
        const char* count;  // the Count of the delivered object or diff, "" for none
    } steps[] = {
        {"stays and changes", {OperationKind::UpdateObject, Disk(1, u"hot", 1)}, 1, "1"},
        {"outside before and after", {OperationKind::UpdateObject, Disk(2, u"cold", 1)}, -1, ""},
        {"enters", {OperationKind::UpdateObject, Disk(2, u"hot", 2)}, 0, "2"},
        {"leaves", {OperationKind::UpdateObject, Disk(1, u"cold", 3)}, 2, ""},
        {"created inside", {OperationKind::CreateObject, Disk(3, u"hot", 4)}, 0, "4"},
        {"created outside", {OperationKind::CreateObject, Disk(4, u"cold")}, -1, ""},
        {"deleted inside", {OperationKind::DeleteObject, Disk(2, u"hot")}, 2, ""},
        {"deleted outside", {OperationKind::DeleteObject, Disk(4, u"cold")}, -1, ""},
        {"removed by pattern", {OperationKind::DeleteByPattern, hotDisks}, 2, ""},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.what);
        store_->Apply({step.operation});
        const FeedSubscription::Updates updates = subscription->ReadPending();
        ASSERT_EQ(updates.size(), step.type < 0 ? 0u : 1u);
        if (step.type < 0)
            continue;
        EXPECT_EQ(updates[0].Type, static_cast<uint32_t>(step.type));
        ASSERT_NE(updates[0].Key, nullptr);
        // Keys name the same object as its creation and reports do.
        if (step.operation.kind != OperationKind::DeleteByPattern) {
            EXPECT_EQ(step.type == 0 ? Kivo::GetObjectIdText(updates[0].Key)
                                     : Kivo::GetKeyIdText(*updates[0].Key),
                      Kivo::GetObjectIdText(step.operation.unit));
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

// A read returns at most 1000 updates and 8 MiB of bodies (one body at least); a read cut short
// leaves the wake-up readable, so that an event loop comes back for the rest.
TEST_F(FeedTest, ReadsAreBoundedBatchesAndTheRestFollows) {
    std::unique_ptr<FeedSubscription> subscription = Subscribe(store_, TypePattern(u""));
    const auto sizes = [&] {
        std::vector<size_t> sizes;
        bool readable = true;
        for (FeedSubscription::Updates updates = subscription->ReadPending(); !updates.empty();
             updates = subscription->ReadPending()) {
            EXPECT_TRUE(readable) << "a cut-short read left the wake-up empty";
            sizes.push_back(updates.size());
            pollfd polled{subscription->WakeDescriptor(), POLLIN, 0};
            readable = ::poll(&polled, 1, 0) == 1;
        }
        return sizes;
    };
    std::vector<Operation> operations;
    for (uint32_t i = 1; i <= 2001; ++i)
        operations.push_back({OperationKind::CreateObject, Disk(i, u"n", i)});
    store_->Apply(operations);
    EXPECT_EQ(sizes(), (std::vector<size_t>{1000, 1000, 1}));

    const std::u16string big(3 << 19, u'x');  // 3 MiB
    store_->Apply({{OperationKind::CreateObject, Disk(5001, big)},
                   {OperationKind::CreateObject, Disk(5002, big)},
                   {OperationKind::CreateObject, Disk(5003, big)}});
    EXPECT_EQ(sizes(), (std::vector<size_t>{2, 1}));
}

// Retention keeps the newest `entries` changes, and those younger than its age; a subscription
// whose next change was pruned fails, and stays failed.
TEST_F(FeedTest, PrunedHistoryFailsTheSubscriptionThatNeedsIt) {
    KivoStore::Retention retention;
    retention.entries = 3;
    store_->SetRetention(retention);
    EXPECT_EQ(store_->GetRetention().entries, 3u);
    std::vector<std::unique_ptr<FeedSubscription>> at;  // at[n]: subscribed after n changes
    for (uint32_t i = 1; i <= 5; ++i) {
        at.push_back(Subscribe(store_, TypePattern(u"")));
        store_->Apply({{OperationKind::CreateObject, Disk(i, u"n")}});
    }
    EXPECT_EQ(Column("SELECT group_concat(seq) FROM changes;"), Names{"3,4,5"});
    EXPECT_EQ(Column("SELECT value FROM kivo_store WHERE name = 'pruned_below';"), Names{"3"});
    KivoStoreTest::TraceCollector traces;
    EXPECT_EQ(ErrorCodeOf([&] { (void)at[1]->ReadPending(); }), KivoStore::kHistoryLost);
    EXPECT_EQ(ErrorCodeOf([&] { (void)at[1]->ReadPending(); }), KivoStore::kHistoryLost);
    EXPECT_EQ(traces.errors.size(), 1u);
    EXPECT_EQ(at[2]->ReadPending().size(), 3u);

    // By age: entries older than the retention go at the next write, whatever their count.
    retention.entries = 1000;
    retention.age = std::chrono::seconds(60);
    store_->SetRetention(retention);
    ASSERT_EQ(Execute("UPDATE changes SET at = 0;"), SQLITE_OK);
    store_->Apply({{OperationKind::CreateObject, Disk(6, u"n")}});
    EXPECT_EQ(Column("SELECT group_concat(seq) FROM changes;"), Names{"6"});
    // Reading up to the mark is no loss; numbers go on after a pruned log.
    EXPECT_EQ(at[2]->ReadPending().size(), 1u);
    ASSERT_EQ(Execute("UPDATE changes SET at = 0;"), SQLITE_OK);
    store_->Apply({{OperationKind::UpdateObject, Disk(6, u"m")}});
    store_->Apply({{OperationKind::UpdateObject, Disk(6, u"l")}});
    EXPECT_EQ(Column("SELECT group_concat(seq) FROM changes;"), Names{"7,8"});
    EXPECT_EQ(at[2]->ReadPending().size(), 2u);

    for (const KivoStore::Retention bad :
         {KivoStore::Retention{std::chrono::seconds(0), 10}, KivoStore::Retention{{}, 0},
          KivoStore::Retention{KivoStore::kMaxRetentionAge + std::chrono::seconds(1), 10}})
        EXPECT_EQ(ErrorCodeOf([&] { store_->SetRetention(bad); }), KivoStore::kBadRetention);
    ASSERT_EQ(Execute("UPDATE kivo_store SET value = 'x' WHERE name = 'retention_entries';"),
              SQLITE_OK);
    EXPECT_EQ(ErrorCodeOf([&] {
                  store_->Apply({{OperationKind::DeleteObject, Disk(6, u"")}});
              }),
              KivoStore::kBadRetention);
}

TEST_F(FeedTest, DamagedEntryFailsOnlyTheSubscriptionThatReadsIt) {
    for (const char* damage :
         {"UPDATE changes SET after = x'0102' WHERE seq = 1;",
          "UPDATE changes SET kind = 7 WHERE seq = 1;",
          "UPDATE changes SET id = x'01' WHERE seq = 1;",
          "UPDATE changes SET after = NULL WHERE seq = 1;",
          "UPDATE changes SET after = x'ff' || zeroblob(16777216) WHERE seq = 1;"}) {
        SCOPED_TRACE(damage);
        KivoStoreTest::ScratchFolder folder;
        KivoStore::CreateStore(folder.WideFile("d.db"));
        auto store = KivoStore::Store::Open(folder.WideFile("d.db"));
        auto victim = Subscribe(store, TypePattern(u"Disk"));
        store->Apply({{OperationKind::CreateObject, Disk(1, u"a")}});
        ASSERT_EQ(RawDatabase(folder.File("d.db")).Execute(damage), SQLITE_OK);
        auto later = Subscribe(store, TypePattern(u"Disk"));
        KivoStoreTest::TraceCollector traces;
        EXPECT_EQ(ErrorCodeOf([&] { (void)victim->ReadPending(); }), KivoStore::kCorruptedChange);
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
    ASSERT_EQ(Execute("UPDATE objects SET body = substr(body, 1, 20);"), SQLITE_OK);
    KivoStoreTest::TraceCollector traces;
    std::vector<SharedUnitPtr> snapshot;
    std::unique_ptr<FeedSubscription> subscription = Subscribe(store_, TypePattern(u""), &snapshot);
    EXPECT_TRUE(snapshot.empty());
    // Mending one is its creation to the view; deleting the other delivers nothing.
    store_->Apply({{OperationKind::StoreOrUpdate, Disk(1, u"mended")},
                   {OperationKind::DeleteObject, Disk(2, u"")}});
    const FeedSubscription::Updates updates = subscription->ReadPending();
    ASSERT_EQ(updates.size(), 1u);
    EXPECT_EQ(updates[0].Type, 0u);
    EXPECT_EQ(PropertyText(updates[0].Key, "Name"), "mended");
}

TEST_F(FeedTest, WaitingReadEndsWhenCanceledOrWhenAnotherConnectionCommits) {
    std::unique_ptr<FeedSubscription> subscription = Subscribe(store_, TypePattern(u""));
    std::atomic<bool> canceled{false};
    uint32_t code = 0;
    std::thread reader([&] { code = ErrorCodeOf([&] { (void)subscription->Read(canceled); }); });
    canceled = true;
    subscription->Interrupt();
    reader.join();
    EXPECT_EQ(code, Async::CanceledError().Code());

    // Still usable, and a read-only open subscribes and sees this writer's commits.
    const std::string uri = "file:" + folder_.File("s.db") + "?mode=ro";
    std::vector<SharedUnitPtr> snapshot;
    auto readOnly =
        Subscribe(KivoStore::Store::Open(KivoStoreTest::Wide(uri)), TypePattern(u""), &snapshot);
    store_->Apply({{OperationKind::CreateObject, Disk(1, u"a")}});
    std::atomic<bool> notCanceled{false};
    EXPECT_EQ(subscription->Read(notCanceled).size(), 1u);
    const FeedSubscription::Updates updates = readOnly->Read(notCanceled);
    ASSERT_EQ(updates.size(), 1u);
    EXPECT_EQ(updates[0].Type, 0u);
    EXPECT_TRUE(snapshot.empty());
}

TEST(InMemoryStoreTest, EachOpenIsAStoreOfItsOwnWithAFeed) {
    auto store = KivoStore::Store::Open(u":memory:");
    store->Apply({{OperationKind::CreateObject, Disk(1, u"a")}});
    EXPECT_TRUE(KivoStoreTest::ReportNames(*KivoStore::Store::Open(u"file::memory:"), u"").empty());
    std::vector<SharedUnitPtr> snapshot;
    auto subscription = Subscribe(store, TypePattern(u"Disk"), &snapshot, 1);
    EXPECT_EQ(snapshot.size(), 1u);
    std::atomic<bool> canceled{false};
    std::thread writer([&] { store->Apply({{OperationKind::CreateObject, Disk(2, u"b")}}); });
    EXPECT_EQ(subscription->Read(canceled).size(), 1u);
    writer.join();
}

}  // namespace
