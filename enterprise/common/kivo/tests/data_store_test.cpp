#include <gtest/gtest.h>

#include <thread>

#include "core/common/win/event.h"
#include "enterprise/common/async/error/cached_error.h"
#include "enterprise/common/async/error/chain.h"
#include "enterprise/common/async/waiting_handler.h"
#include "enterprise/common/kivo/scoped_post_office.h"
#include "enterprise/common/kivo/subscribe_without_report.h"
#include "enterprise/common/kivo/synchronous_data_store.h"
#include "enterprise/common/kivo/tests/fake_post_office.h"
#include "enterprise/common/kivo/tests/trace_recorder.h"
#include "enterprise/common/zaph/tests/unit_builders.h"
#include "platform/async_service/platform_service.h"

namespace {

using Zaph::View::SharedUnitPtr;

SharedUnitPtr Number(uint32_t value) {
    return SharedUnitPtr(ZaphTest::DWord(value));
}

uint32_t ValueOf(const SharedUnitPtr& unit) {
    return Zaph::Util::GetValue<uint32_t>(*unit);
}

Common::Error Fault(uint32_t code) {
    return Common::Error(COMMON_PLACE("KivoTest::Fault"), code, "test fault");
}

// Keeps what it hears; throws on the values listed in `throwOn`.
class Recorder final : public Kivo::ReportReader, public Kivo::SubscriptionReader {
  public:
    using Kivo::ReportReader::OnObject;
    using Kivo::SubscriptionReader::OnCreated;
    using Kivo::SubscriptionReader::OnDeleted;
    using Kivo::SubscriptionReader::OnUpdated;

    void OnObject(const SharedUnitPtr& object) override { Keep(object); }
    void OnCreated(const SharedUnitPtr& object) override { Keep(object); }
    void OnUpdated(const SharedUnitPtr&, const SharedUnitPtr&) override { ADD_FAILURE(); }
    void OnDeleted(const SharedUnitPtr&) override { ADD_FAILURE(); }

    std::vector<uint32_t> throwOn;
    std::vector<SharedUnitPtr> heard;

  private:
    void Keep(const SharedUnitPtr& object) {
        for (uint32_t value : throwOn)
            if (ValueOf(object) == value)
                throw Fault(0x77);
        heard.push_back(object);
    }
};

class DataStoreTest : public ::testing::Test {
  protected:
    AsyncService::ScopedAsyncService service_{AsyncService::ServiceOptions{2, 0}};
    Zaph::Construction::InMemoryUnitFactory factory_;
    KivoTest::FakePostOffice postOffice_;
    Kivo::ViewSpec spec_{Number(0), nullptr};
    Core::EntryPoint entryPoint_{0x1234, "caller.cpp", 7, 0};
};

TEST_F(DataStoreTest, ReportBlocksUntilEveryObjectArrivedAndAReaderThatThrowsGetsTheRest) {
    postOffice_.objects = {Number(1), Number(2), Number(3)};
    Recorder reader;
    reader.throwOn = {1};
    KivoTest::TraceRecorder traces;
    Kivo::SynchronousDataStore(&postOffice_, factory_).Report(entryPoint_, spec_, reader);

    ASSERT_EQ(reader.heard.size(), 2u);
    EXPECT_EQ(ValueOf(reader.heard[0]), 2u);
    EXPECT_EQ(ValueOf(reader.heard[1]), 3u);
    EXPECT_EQ(postOffice_.lastEntryPoint.File, "caller.cpp");
    const auto traced = traces.Errors();
    ASSERT_EQ(traced.size(), 1u);
    EXPECT_EQ(traced[0].first, 1u);
    EXPECT_EQ(traced[0].second.Code(), Kivo::Detail::kExceptionFromCallback);
    EXPECT_EQ(traced[0].second.Reason().Code(), 0x77u);
}

TEST_F(DataStoreTest, ReportThrowsTheFailureOfThePostOfficeAndRefusesAMissingOne) {
    postOffice_.result = Fault(0xFC0020);
    postOffice_.objects = {Number(1)};
    Recorder reader;
    try {
        Kivo::SynchronousDataStore(&postOffice_, factory_).Report(entryPoint_, spec_, reader);
        ADD_FAILURE() << "no error";
    } catch (const Common::Error& error) {
        EXPECT_TRUE(Async::ChainContains(error, 0xFC0020));
    }
    // Objects delivered before the failure stay delivered.
    EXPECT_EQ(reader.heard.size(), 1u);

    try {
        Kivo::SynchronousDataStore(nullptr, factory_).Report(entryPoint_, spec_, reader);
        ADD_FAILURE() << "no error";
    } catch (const Common::Error& error) {
        EXPECT_EQ(error.Code(), Kivo::kUnproperUse);
        EXPECT_EQ(error.Message(), u"KIVO: Unproper use. Missing PostOffice.");
        EXPECT_STREQ(error.Place().function, "Kivo::SynchronousDataStore::Report");
    }
}

class SubscribeWithoutReportTest : public DataStoreTest {
  protected:
    // Subscribes and waits for the end; returns its result.
    Common::Error Subscribe() {
        Async::Synchronizer done;
        const auto job = Kivo::SubscribeWithoutReport(entryPoint_, postOffice_, factory_, spec_,
                                                      subscription_, done);
        return done.Wait();
    }
    std::unique_ptr<Kivo::Subscription> subscription_;
};

TEST_F(SubscribeWithoutReportTest, FirstReadDeliversKeptCopiesAsCreationsWithoutThePostOffice) {
    postOffice_.objects = {Number(1), Number(2), Number(3)};
    ASSERT_TRUE(Subscribe().IsEmpty());
    ASSERT_NE(subscription_, nullptr);

    Recorder reader;
    reader.throwOn = {1};
    Async::Synchronizer done;
    EXPECT_EQ(subscription_->Read(reader, done), nullptr);
    EXPECT_TRUE(done.Wait().IsEmpty());
    ASSERT_EQ(reader.heard.size(), 2u);
    EXPECT_EQ(ValueOf(reader.heard[0]), 2u);
    EXPECT_EQ(ValueOf(reader.heard[1]), 3u);
    // Deep copies, not the post office's units.
    EXPECT_NE(reader.heard[0], postOffice_.objects[1]);
    EXPECT_EQ(*postOffice_.subscriptionReads, 0);

    // Every later read goes to the post office's subscription.
    subscription_->Read(reader, done);
    EXPECT_TRUE(done.Wait().IsEmpty());
    EXPECT_EQ(*postOffice_.subscriptionReads, 1);
    EXPECT_EQ(reader.heard.size(), 2u);
}

TEST_F(SubscribeWithoutReportTest, EmptySubscriptionPassesItsFirstReadThrough) {
    ASSERT_TRUE(Subscribe().IsEmpty());
    Recorder reader;
    Async::Synchronizer done;
    subscription_->Read(reader, done);
    EXPECT_TRUE(done.Wait().IsEmpty());
    EXPECT_EQ(*postOffice_.subscriptionReads, 1);
}

// A subscription whose first read stays outstanding until released.
class HeldSubscription final : public Kivo::Subscription {
  public:
    std::shared_ptr<Async::Job> Read(Kivo::SubscriptionReader&,
                                     Async::ActionHandler& handler) override {
        pending = &handler;
        return nullptr;
    }
    Async::ActionHandler* pending = nullptr;
};

TEST_F(SubscribeWithoutReportTest, SecondReadWhileOneIsOutstandingIsInvalid) {
    // The post office hands out a subscription that holds its reads.
    class HoldingPostOffice final : public Kivo::PostOffice {
      public:
        std::shared_ptr<Async::Job> Subscribe(const Core::EntryPoint&, const Kivo::ViewSpec&,
                                              const std::shared_ptr<Kivo::ReportReader>&,
                                              std::unique_ptr<Kivo::Subscription>& subscription,
                                              Async::ActionHandler& handler) override {
            auto held = std::make_unique<HeldSubscription>();
            base = held.get();
            subscription = std::move(held);
            handler.Completed(Common::Error());
            return nullptr;
        }
        std::shared_ptr<Async::Job> Report(const Core::EntryPoint&, const Kivo::ViewSpec&,
                                           const std::shared_ptr<Kivo::ReportReader>&,
                                           Async::ActionHandler&) override {
            return nullptr;
        }
        HeldSubscription* base = nullptr;
    } postOffice;

    Async::Synchronizer subscribed;
    Kivo::SubscribeWithoutReport(entryPoint_, postOffice, factory_, spec_, subscription_,
                                 subscribed);
    ASSERT_TRUE(subscribed.Wait().IsEmpty());

    Recorder reader;
    Async::Synchronizer first;
    Async::Synchronizer second;
    subscription_->Read(reader, first);
    ASSERT_NE(postOffice.base->pending, nullptr);
    subscription_->Read(reader, second);
    EXPECT_EQ(second.Wait().Code(), Async::kInvalidResult);

    // The outstanding read still ends normally, and a read may follow it.
    postOffice.base->pending->Completed(Fault(0x55));
    EXPECT_EQ(first.Wait().Code(), 0x55u);
    subscription_->Read(reader, second);
    postOffice.base->pending->Completed(Common::Error());
    EXPECT_TRUE(second.Wait().IsEmpty());
}

TEST_F(SubscribeWithoutReportTest, FailedSubscribeReachesTheHandlerAndLeavesTheHolder) {
    auto previous = std::make_unique<KivoTest::CountingSubscription>(postOffice_.subscriptionReads);
    Kivo::Subscription* const kept = previous.get();
    subscription_ = std::move(previous);
    postOffice_.result = Fault(0xFC0021);
    const Common::Error result = Subscribe();
    EXPECT_TRUE(Async::ChainContains(result, 0xFC0021));
    EXPECT_EQ(subscription_.get(), kept);
}

}  // namespace
