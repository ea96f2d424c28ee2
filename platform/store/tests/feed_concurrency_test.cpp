// The change feed under concurrency: subscriptions made while a writer commits see every change
// exactly once; a commit of another thread or process wakes a waiting read.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <map>
#include <thread>

#include "enterprise/common/kivo/interfaces/get_object_key.h"
#include "platform/store/tests/store_test_support.h"

namespace {

using namespace KivoStoreTest;
using KivoStore::FeedSubscription;
using KivoStore::OperationKind;
using View = std::map<std::u16string, unsigned long>;  // object id: Count
using FeedConcurrencyTest = StoreFixture;
KIVO_ON_EVERY_ENGINE(FeedConcurrencyTest);

// A subscriber's view of the disks, kept from the snapshot and the updates; the first fault (a
// change seen twice or out of order, or one missed) is remembered.
struct Follower {
    View view;  // made before the feed, whose snapshot fills it
    std::string fault;
    explicit Follower(const std::shared_ptr<KivoStore::Store>& store)
        : feed(FeedSubscription::Start(
              store, TypePattern(u"Disk"), 0, [this](const SharedUnitPtr& object) {
                  view[Kivo::GetObjectIdText(object)] = std::stoul(PropertyText(object, "Count"));
              })) {}
    void ReadPending() {
        for (const auto& update : feed->ReadPending()) {
            const std::u16string id = update.Type == 0 ? Kivo::GetObjectIdText(update.Key)
                                                       : Kivo::GetKeyIdText(*update.Key);
            const bool known = view.count(id) != 0;
            const unsigned long count =
                update.Type == 2 ? 0 : std::stoul(PropertyText(update.PackedUpdate, "Count"));
            if (known == (update.Type == 0) || (update.Type == 1 && count <= view[id]))
                fault = "change " + std::to_string(count) + " seen twice, out of order or unknown";
            if (update.Type == 2)
                view.erase(id);
            else
                view[id] = count;
        }
    }
    std::unique_ptr<FeedSubscription> feed;
};

// Followers subscribe one after another (each new one reading what is pending on all) while a
// writer commits; then each reads to the log's end and must hold what the store holds. The writer
// is another connection, so that the followers' snapshots and reads see its commits as another
// process's would.
TEST_P(FeedConcurrencyTest, SubscriptionsMadeDuringWritesSeeEveryChangeOnce) {
    // Commit i creates, updates (Count = i) or deletes disk i % 16.
    std::thread writer([&] {
        auto store = KivoStore::Store::Open(Connection());
        std::vector<bool> stored(16, false);
        for (uint32_t i = 1; i <= 600; ++i) {
            const uint32_t disk = i % 16;
            OperationKind kind = OperationKind::CreateObject;
            if (stored[disk])
                kind = i % 5 == 0 ? OperationKind::DeleteObject : OperationKind::UpdateObject;
            store->Apply({{kind, Disk(disk, u"n", i)}});
            stored[disk] = kind != OperationKind::DeleteObject;
        }
    });
    std::vector<std::unique_ptr<Follower>> followers;
    for (int i = 0; i < 8; ++i) {
        followers.push_back(std::make_unique<Follower>(store_));
        for (auto& follower : followers)
            follower->ReadPending();
    }
    writer.join();
    const uint64_t last = std::stoull(Column("SELECT max(seq) FROM changes;").at(0));
    View current;
    store_->Report(*TypePattern(u"Disk"), 0, [&](const SharedUnitPtr& object) {
        current[Kivo::GetObjectIdText(object)] = std::stoul(PropertyText(object, "Count"));
    });
    for (auto& follower : followers) {
        while (follower->feed->Position() < last)
            follower->ReadPending();
        EXPECT_EQ(follower->fault, "");
        EXPECT_TRUE(follower->view == current);
    }
}

// In memory, where there is no file to watch; well inside the one-second tick that would catch a
// missed wake-up. (Canceling a waiting read: the post office tests.)
TEST(FeedWakeUpTest, CommitOfAnotherThreadWakesAWaitingRead) {
    auto memory = KivoStore::Store::Open(u":memory:");
    auto subscription = Subscribe(memory);
    std::atomic<bool> canceled{false};
    std::promise<void> woken;
    const auto start = std::chrono::steady_clock::now();
    // The writer cancels a read still waiting after 5 s, so that a missed wake-up fails, not hangs.
    std::thread writer([&] {
        memory->Apply({{OperationKind::CreateObject, Disk(2, u"b")}});
        if (woken.get_future().wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
            canceled = true;
            subscription->Interrupt();
        }
    });
    EXPECT_EQ(ZaphTest::ErrorCodeOf([&] { EXPECT_EQ(subscription->Read(canceled).size(), 1u); }),
              0u);
    woken.set_value();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(800));
    writer.join();
}

TEST(FeedWakeUpTest, AnotherProcessesCommitWakesAWaitingRead) {
    // Well inside the one-second tick that would catch a missed wake-up; without inotify, the
    // 50 ms look does it.
    for (const bool polling : {false, true}) {
        SCOPED_TRACE(polling ? "polling" : "inotify");
        if (polling)
            ::setenv("KIVO_STORE_POLL", "1", 1);
        TemporaryFolder folder;
        const std::u16string connection = folder.WideFile("s.db");
        KivoStore::CreateStore(connection);
        ChildProcess child([&](int fromParent, int) {
            if (!ChildProcess::HeardOn(fromParent))
                return 3;
            KivoStore::Store::Open(connection)
                ->Apply({{OperationKind::CreateObject, Disk(1, u"n")}});
            return 0;
        });
        auto subscription = Subscribe(KivoStore::Store::Open(connection));
        std::atomic<bool> canceled{false};
        const auto start = std::chrono::steady_clock::now();
        EXPECT_TRUE(child.Tell());
        EXPECT_EQ(subscription->Read(canceled).size(), 1u);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(800));
        EXPECT_EQ(child.Status(), 0);
    }
    ::unsetenv("KIVO_STORE_POLL");
}

}  // namespace
