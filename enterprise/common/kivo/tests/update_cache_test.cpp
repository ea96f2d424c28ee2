#include "enterprise/common/kivo/client/update_cache.h"

#include <gtest/gtest.h>

#include "enterprise/common/async/error/cached_error.h"
#include "enterprise/common/kivo/tests/scripted_view_manager_support.h"

namespace {

using KivoTest::Change;
using KivoTest::Fault;
using Strings = std::vector<std::string>;
using Codes = std::vector<uint32_t>;

class UpdateCacheTest : public ::testing::Test {
  protected:
    std::shared_ptr<Async::Job> CheckOut() { return cache_.CheckOut(reader_, handler_); }

    Kivo::Client::InMemoryUpdateCache cache_;
    KivoTest::ChangeRecorder reader_;
    KivoTest::RecordingHandler handler_;
};

TEST_F(UpdateCacheTest, PendingUpdatesGoAtOnceAndAWaitingCheckoutTakesTheNextPut) {
    cache_.Consume({Change(1), Change(2, 1)});
    CheckOut();
    EXPECT_EQ(reader_.Take(), (Strings{"created 1", "updated 2"}));
    EXPECT_EQ(handler_.Count(), 1u);

    // The cache is empty: the next checkout waits, and a second one is refused meanwhile.
    auto waiting = CheckOut();
    KivoTest::RecordingHandler refused;
    cache_.CheckOut(reader_, refused);
    EXPECT_EQ(refused.WaitCodes(1), (Codes{Kivo::Client::kOperationAlreadyRunning}));
    EXPECT_EQ(handler_.Count(), 1u);
    cache_.Consume({Change(3, 2)});
    EXPECT_EQ(reader_.Take(), (Strings{"deleted 3"}));
    EXPECT_EQ(handler_.WaitCodes(2), (Codes{0, 0}));
    waiting->Cancel();
    EXPECT_EQ(handler_.Count(), 2u);
}

TEST_F(UpdateCacheTest, AFailureFailsEveryCheckoutOnceNothingIsPendingUntilUpdatesArrive) {
    auto waiting = CheckOut();
    cache_.Fail(Fault(0x51));
    CheckOut();
    cache_.Consume({Change(4)});
    cache_.Fail(Fault(0x52));
    CheckOut();
    CheckOut();
    cache_.Consume({Change(5)});
    CheckOut();
    EXPECT_EQ(handler_.WaitCodes(5), (Codes{0x51, 0x51, 0, 0x52, 0}));
    EXPECT_EQ(reader_.Take(), (Strings{"created 4", "created 5"}));
    // The updates cleared the failure: the next checkout waits for a put.
    CheckOut();
    EXPECT_EQ(handler_.Count(), 5u);
    cache_.Fail(Fault(0x53));
    EXPECT_EQ(handler_.WaitCodes(6).back(), 0x53u);
}

TEST_F(UpdateCacheTest, CancelCompletesTheCheckoutOnceAndLeavesThePutPending) {
    auto waiting = CheckOut();
    waiting->Cancel();
    waiting->Cancel();
    EXPECT_EQ(handler_.WaitCodes(1), (Codes{Async::kCanceled}));
    cache_.Consume({Change(6)});
    EXPECT_TRUE(reader_.Take().empty());
    // The canceled checkout is gone: the next one is not refused and gets the update.
    CheckOut();
    EXPECT_EQ(reader_.Take(), (Strings{"created 6"}));
    EXPECT_EQ(handler_.WaitCodes(2), (Codes{Async::kCanceled, 0}));
}

TEST_F(UpdateCacheTest, AHandedOverHandlerLivesUntilItIsCalled) {
    auto owned = std::make_shared<KivoTest::RecordingHandler>();
    const std::weak_ptr<KivoTest::RecordingHandler> watched = owned;
    auto job = cache_.CheckOut(reader_, std::move(owned));
    ASSERT_FALSE(watched.expired());
    cache_.Fail(Fault(0x54));
    EXPECT_EQ(watched.lock()->WaitCodes(1), (Codes{0x54}));
    job.reset();
    EXPECT_TRUE(watched.expired());
}

}  // namespace
