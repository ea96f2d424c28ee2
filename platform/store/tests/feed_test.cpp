// The change feed: what each write logs, what a view gets from it, bounded reads, retention and
// its limits, and damaged entries.
#include <gtest/gtest.h>
#include <poll.h>

#include "enterprise/common/kivo/interfaces/get_object_key.h"
#include "platform/store/store_errors.h"
#include "platform/store/tests/store_test_support.h"
#include "tests/support/trace_recorder.h"

namespace {

using namespace KivoStoreTest;
using KivoStore::FeedSubscription;
using KivoStore::Operation;
using Kind = KivoStore::OperationKind;
using ZaphTest::ErrorCodeOf;
using FeedTest = StoreFixture;

// 1 when `column` holds a value, else 0, as text for a concatenation.
std::string Present(const char* column) {
    return std::string("(CASE WHEN ") + column + " IS NULL THEN '0' ELSE '1' END)";
}
KIVO_ON_EVERY_ENGINE(FeedTest);

// Each step's change is logged (kind, and which of before, after, diff and key it holds), then
// decided against the pattern as it was before and after.
TEST_P(FeedTest, EveryWriteLogsItsChangeAndIsDecidedAgainstThePatternBeforeAndAfter) {
    store_->Apply({{Kind::CreateObject, Disk(1, u"hot")}, {Kind::CreateObject, Disk(2, u"cold")}});
    const SharedUnitPtr hotDisks(
        ZaphTest::WithTrait(ZaphTest::Composite(ZaphTest::Prop{"Name", ZaphTest::Str(u"hot")}),
                            "Is", ZaphTest::Str(u"Disk")));
    std::vector<SharedUnitPtr> snapshot;
    std::unique_ptr<FeedSubscription> subscription = Subscribe(store_, hotDisks, &snapshot);
    ASSERT_EQ(snapshot.size(), 1u);

    const struct {
        const char* what;
        Operation operation;
        const char* logged;
        int type;            // -1: nothing delivered
        const char* packed;  // "Name/Count" of the first object or diff delivered
    } steps[] = {
        {"stays and changes", {Kind::UpdateObject, Disk(1, u"hot", 1)}, "1:1111", 1, "/1"},
        {"equal", {Kind::UpdateObject, Disk(1, u"hot", 1)}, "", -1, ""},
        {"outside before and after", {Kind::StoreOrUpdate, Disk(2, u"cold", 1)}, "1:1111", -1, ""},
        {"enters", {Kind::UpdateObject, Disk(2, u"hot", 2)}, "1:1111", 0, "hot/2"},
        {"leaves", {Kind::UpdateObject, Disk(1, u"cold", 3)}, "1:1111", 2, "none"},
        {"created inside", {Kind::CreateObject, Disk(3, u"hot", 4)}, "0:0101", 0, "hot/4"},
        {"stored inside", {Kind::StoreOrUpdate, Disk(5, u"hot", 5)}, "0:0101", 0, "hot/5"},
        {"created outside", {Kind::CreateObject, Disk(4, u"cold")}, "0:0101", -1, ""},
        {"deleted inside", {Kind::DeleteObject, Disk(2, u"hot")}, "2:1001", 2, "none"},
        {"deleted outside", {Kind::DeleteObject, Disk(4, u"cold")}, "2:1001", -1, ""},
        {"removed by pattern", {Kind::DeleteByPattern, hotDisks}, "2:1001 2:1001", 2, "none"},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.what);
        const std::string last = std::to_string(subscription->Position());
        store_->Apply({step.operation});
        EXPECT_EQ(
            place_.Joined("SELECT kind || ':' || " + Present("before") + " || " + Present("after") +
                              " || " + Present("diff") + " || " + Present("key") +
                              " FROM changes WHERE seq > " + last + " ORDER BY seq;",
                          " "),
            step.logged);
        const FeedSubscription::Updates updates = subscription->ReadPending();
        const size_t logged = std::string(step.logged).size() / 7 + (*step.logged != 0);
        ASSERT_EQ(updates.size(), step.type < 0 ? 0u : logged);
        if (step.type < 0)
            continue;
        EXPECT_EQ(updates[0].Type, static_cast<uint32_t>(step.type));
        ASSERT_NE(updates[0].Key, nullptr);
        // Keys name the same object as its creation and reports do.
        if (step.operation.kind != Kind::DeleteByPattern) {
            EXPECT_EQ(step.type == 0 ? Kivo::GetObjectIdText(updates[0].Key)
                                     : Kivo::GetKeyIdText(*updates[0].Key),
                      Kivo::GetObjectIdText(step.operation.unit));
        }
        // A diff leaves out what did not change; a deletion has no body.
        const SharedUnitPtr& packed = updates[0].PackedUpdate;
        EXPECT_EQ(
            packed ? PropertyText(packed, "Name") + "/" + PropertyText(packed, "Count") : "none",
            step.packed);
    }
    // A batch that fails logs nothing; the numbers follow the commits without a gap.
    EXPECT_EQ(
        ApplyFailure({{Kind::CreateObject, Disk(9, u"x")}, {Kind::CreateObject, Disk(9, u"x")}}),
        KivoStore::kObjectExists);
    EXPECT_EQ(Joined("SELECT seq FROM changes ORDER BY seq;"), "1,2,3,4,5,6,7,8,9,10,11,12,13");
    EXPECT_EQ(subscription->Position(), 13u);
}

// A read returns at most 1000 updates and 8 MiB of bodies (one body at least); a read cut short
// leaves the wake-up readable, so that an event loop comes back for the rest.
TEST_P(FeedTest, ReadsAreBoundedBatchesAndTheRestFollows) {
    std::unique_ptr<FeedSubscription> subscription = Subscribe(store_);
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
        operations.push_back({Kind::CreateObject, Disk(i, u"n", i)});
    store_->Apply(operations);
    EXPECT_EQ(sizes(), (std::vector<size_t>{1000, 1000, 1}));

    const std::u16string big(3 << 19, u'x');  // 3 MiB
    store_->Apply({{Kind::CreateObject, Disk(5001, big)},
                   {Kind::CreateObject, Disk(5002, big)},
                   {Kind::CreateObject, Disk(5003, big)}});
    EXPECT_EQ(sizes(), (std::vector<size_t>{2, 1}));
}

// Retention keeps the newest `entries` changes, and those younger than its age; a subscription
// whose next change was pruned fails, and stays failed.
TEST_P(FeedTest, PrunedHistoryFailsTheSubscriptionThatNeedsIt) {
    KivoStore::Retention retention;
    retention.entries = 3;
    store_->SetRetention(retention);
    EXPECT_EQ(store_->GetRetention().entries, 3u);
    std::vector<std::unique_ptr<FeedSubscription>> at;  // at[n]: subscribed after n changes
    for (uint32_t i = 1; i <= 5; ++i) {
        at.push_back(Subscribe(store_));
        store_->Apply({{Kind::CreateObject, Disk(i, u"n")}});
    }
    EXPECT_EQ(Joined("SELECT seq FROM changes ORDER BY seq;"), "3,4,5");
    EXPECT_EQ(Column("SELECT value FROM kivo_store WHERE name = 'pruned_below';"), Names{"3"});
    KivoTestSupport::TraceRecorder traces;
    EXPECT_EQ(ErrorCodeOf([&] { (void)at[1]->ReadPending(); }), KivoStore::kHistoryLost);
    EXPECT_EQ(ErrorCodeOf([&] { (void)at[1]->ReadPending(); }), KivoStore::kHistoryLost);
    EXPECT_EQ(traces.Errors().size(), 1u);
    EXPECT_EQ(at[2]->ReadPending().size(), 3u);

    // By age: entries older than the retention go at the next write, whatever their count.
    retention.entries = 1000;
    retention.age = std::chrono::seconds(60);
    store_->SetRetention(retention);
    ASSERT_TRUE(Execute("UPDATE changes SET at = 0;"));
    store_->Apply({{Kind::CreateObject, Disk(6, u"n")}});
    EXPECT_EQ(Joined("SELECT seq FROM changes ORDER BY seq;"), "6");
    // Reading up to the mark is no loss; numbers go on after a pruned log.
    EXPECT_EQ(at[2]->ReadPending().size(), 1u);
    ASSERT_TRUE(Execute("UPDATE changes SET at = 0;"));
    store_->Apply({{Kind::UpdateObject, Disk(6, u"m")}});
    store_->Apply({{Kind::UpdateObject, Disk(6, u"l")}});
    EXPECT_EQ(Joined("SELECT seq FROM changes ORDER BY seq;"), "7,8");
    EXPECT_EQ(at[2]->ReadPending().size(), 2u);

    for (const KivoStore::Retention bad :
         {KivoStore::Retention{std::chrono::seconds(0), 10}, KivoStore::Retention{{}, 0},
          KivoStore::Retention{KivoStore::kMaxRetentionAge + std::chrono::seconds(1), 10}})
        EXPECT_EQ(ErrorCodeOf([&] { store_->SetRetention(bad); }), KivoStore::kBadRetention);
    ASSERT_TRUE(Execute("UPDATE kivo_store SET value = 'x' WHERE name = 'retention_entries';"));
    EXPECT_EQ(ApplyFailure({{Kind::DeleteObject, Disk(6, u"")}}), KivoStore::kBadRetention);
}

// Subscription n reads change n + 1 first, damaged by damages[n].
TEST_P(FeedTest, DamagedEntryFailsOnlyTheSubscriptionThatReadsIt) {
    const std::string damages[] = {
        "after = " + place_.Blob("0102"), "kind = 7", "id = " + place_.Blob("01"), "after = NULL",
        "after = " + place_.Blob("FF") + " || " +
            (GetParam() == EngineKind::Sqlite ? "zeroblob(16777216)"
                                              : "decode(repeat('00', 16777216), 'hex')")};
    std::vector<std::unique_ptr<FeedSubscription>> victims;
    for (uint32_t n = 0; n < 5; ++n) {
        victims.push_back(Subscribe(store_, TypePattern(u"Disk")));
        store_->Apply({{Kind::CreateObject, Disk(n, u"a")}});
        ASSERT_TRUE(Execute("UPDATE changes SET " + damages[n] +
                            " WHERE seq = " + std::to_string(n + 1) + ";"));
    }
    auto later = Subscribe(store_, TypePattern(u"Disk"));
    for (uint32_t n = 0; n < 5; ++n) {
        SCOPED_TRACE(damages[n]);
        KivoTestSupport::TraceRecorder traces;
        EXPECT_EQ(ErrorCodeOf([&] { (void)victims[n]->ReadPending(); }),
                  KivoStore::kCorruptedChange);
        ASSERT_EQ(traces.Errors().size(), 1u);
        EXPECT_EQ(traces.Errors()[0].second.Code(), KivoStore::kCorruptedChange);
    }
    // Writers and the subscriptions past the entries go on.
    store_->Apply({{Kind::CreateObject, Disk(9, u"b")}});
    EXPECT_EQ(later->ReadPending().size(), 1u);
}

}  // namespace
