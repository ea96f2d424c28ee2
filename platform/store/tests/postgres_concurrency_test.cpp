// The PostgreSQL engine's change feed between writers and processes: overlapping writers are
// logged in commit order, a commit of another process wakes a waiting read, and a subscription
// whose listening connection broke fails rather than going quiet.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

#include "core/common/text.h"
#include "platform/store/store_errors.h"
#include "platform/store/tests/store_test_support.h"

namespace {

using namespace KivoStoreTest;
using Kind = KivoStore::OperationKind;
using KivoTestSupport::PostgresSchema;

// A store in a schema of its own whose connections carry the schema's name as their
// application_name, so that the test can find them on the server.
class PostgresFeedTest : public ::testing::Test {
  protected:
    void SetUp() override {
        KIVO_NEED_POSTGRES();
        KivoStore::CreateStore(connection_);
        store_ = KivoStore::Store::Open(connection_);
    }
    // Whether a backend of the store waits for a lock, looked at until `deadline`.
    bool WriterWaits(std::chrono::steady_clock::time_point deadline) {
        while (std::chrono::steady_clock::now() < deadline) {
            if (schema_.Column("SELECT count(*) FROM pg_stat_activity WHERE application_name = '" +
                               schema_.Name() + "' AND wait_event_type = 'Lock'") == Names{"1"})
                return true;
        }
        return false;
    }

    PostgresSchema schema_;
    const std::u16string connection_ =
        Wide(schema_.Connection() + "&application_name=" + schema_.Name());
    std::shared_ptr<KivoStore::Store> store_;
};

// A read that waits, canceled by another thread after 5 s so that a missed wake-up fails the
// test instead of hanging it; returns the error code of the read (0 when it returned updates).
uint32_t WaitingRead(KivoStore::FeedSubscription& subscription, size_t expected,
                     const std::function<void()>& meanwhile) {
    std::atomic<bool> canceled{false};
    std::promise<void> woken;
    std::thread other([&] {
        meanwhile();
        if (woken.get_future().wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
            canceled = true;
            subscription.Interrupt();
        }
    });
    const uint32_t code =
        ZaphTest::ErrorCodeOf([&] { EXPECT_EQ(subscription.Read(canceled).size(), expected); });
    woken.set_value();
    other.join();
    return code;
}

// The first writer holds the log; the second waits for it (seen on the server) and is logged
// after it, and a subscription sees both in that order.
TEST_F(PostgresFeedTest, OverlappingWritersAreLoggedInCommitOrder) {
    auto subscription = Subscribe(store_);
    std::unique_ptr<KivoStore::WriteBatch> first = store_->BeginBatch();
    first->CreateObject(Disk(1, u"first"));
    uint32_t secondFailure = 0;
    std::thread second([&] {
        secondFailure = ZaphTest::ErrorCodeOf([&] {
            KivoStore::Store::Open(connection_)->Apply({{Kind::CreateObject, Disk(2, u"second")}});
        });
    });
    EXPECT_TRUE(WriterWaits(std::chrono::steady_clock::now() + std::chrono::seconds(10)));
    first->Commit();
    second.join();
    EXPECT_EQ(secondFailure, 0u);

    std::vector<std::string> seen;
    while (seen.size() < 2) {
        const auto updates = subscription->ReadPending();
        ASSERT_FALSE(updates.empty());
        for (const auto& update : updates)
            seen.push_back(PropertyText(update.Key, "Name"));
    }
    EXPECT_EQ(seen, (Names{"first", "second"}));
}

TEST_F(PostgresFeedTest, AnotherProcessesCommitWakesAWaitingRead) {
    auto subscription = Subscribe(store_);
    ChildProcess child([&](int fromParent, int) {
        if (!ChildProcess::HeardOn(fromParent))
            return 3;
        KivoStore::Store::Open(connection_)->Apply({{Kind::CreateObject, Disk(1, u"n")}});
        return 0;
    });
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(WaitingRead(*subscription, 1, [&] { EXPECT_TRUE(child.Tell()); }), 0u);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(800));
    EXPECT_EQ(child.Status(), 0);
}

// The server ends the listening connection (the store's others stay): a waiting read fails at
// once with a reason, and a new subscription listens again.
TEST_F(PostgresFeedTest, SubscriptionWhoseListenerBrokeFails) {
    auto subscription = Subscribe(store_);
    const uint32_t code = WaitingRead(*subscription, 0, [&] {
        EXPECT_EQ(schema_.Column("SELECT count(pg_terminate_backend(pid, 10000)) FROM "
                                 "pg_stat_activity WHERE application_name = '" +
                                 schema_.Name() + "' AND query LIKE 'LISTEN %'"),
                  Names{"1"});
    });
    EXPECT_EQ(code, KivoStore::kStoreFailure);
    EXPECT_EQ(ZaphTest::ErrorCodeOf([&] { (void)subscription->ReadPending(); }),
              KivoStore::kStoreFailure);

    auto again = Subscribe(store_);
    EXPECT_EQ(WaitingRead(*again, 1,
                          [&] {
                              store_->Apply({{Kind::CreateObject, Disk(1, u"heard")}});
                          }),
              0u);
}

}  // namespace
