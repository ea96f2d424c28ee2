// The local client side: the synchronous data store, subscriptions without a report and the
// scoped post office, over the fake post office and a store library of the tests.
#include <gtest/gtest.h>

#include "core/common/text.h"
#include "enterprise/common/async/error/cached_error.h"
#include "enterprise/common/async/error/chain.h"
#include "enterprise/common/async/waiting_handler.h"
#include "enterprise/common/kivo/scoped_post_office.h"
#include "enterprise/common/kivo/subscribe_without_report.h"
#include "enterprise/common/kivo/synchronous_data_store.h"
#include "enterprise/common/kivo/tests/fake_post_office.h"
#include "enterprise/common/kivo/tests/remote_client_support.h"
#include "enterprise/common/kivo/tests/trace_recorder.h"

namespace {

using namespace KivoTest;

class DataStoreTest : public ::testing::Test {
  protected:
    // Subscribes and waits for the end; returns its result.
    Common::Error Subscribe() {
        Async::Synchronizer done;
        const auto job =
            Kivo::SubscribeWithoutReport(kCaller, postOffice_, factory_, {}, subscription_, done);
        return done.Wait();
    }

    AsyncService::ScopedAsyncService service_{AsyncService::ServiceOptions{2, 0}};
    Zaph::Construction::InMemoryUnitFactory factory_;
    FakePostOffice postOffice_;
    std::unique_ptr<Kivo::Subscription> subscription_;
};

// The report has ended when Report returns; objects delivered before a failure stay delivered.
TEST_F(DataStoreTest, ReportBlocksUntilTheEndAndThrowsThePostOfficesFailure) {
    postOffice_.objects = {DWord(1), DWord(2)};
    Reading reading;
    const auto report = [&](Kivo::PostOffice* postOffice) {
        return ZaphTest::ErrorOf(
            [&] { Kivo::SynchronousDataStore(postOffice, factory_).Report(kCaller, {}, reading); });
    };
    EXPECT_TRUE(report(&postOffice_).IsEmpty());
    EXPECT_EQ(reading.Told("end"), "1, 2: end");
    EXPECT_EQ(postOffice_.lastEntryPoint.Line, kCaller.Line);
    postOffice_.result = Fault(0xFC0020);
    EXPECT_TRUE(Async::ChainContains(report(&postOffice_), 0xFC0020));
    EXPECT_EQ(reading.Told("end"), "1, 2: end");
    const Common::Error unproper = report(nullptr);
    EXPECT_EQ(unproper.Code(), Kivo::kUnproperUse);
    EXPECT_EQ(unproper.Message(), u"KIVO: Unproper use. Missing PostOffice.");
    EXPECT_STREQ(unproper.Place().function, "Kivo::SynchronousDataStore::Report");
}

// The first read delivers copies of what the subscribe reported, to a reader that may throw.
TEST_F(DataStoreTest, FirstReadDeliversKeptCopiesAndLaterReadsGoToThePostOffice) {
    postOffice_.objects = {DWord(1), DWord(2)};
    ASSERT_TRUE(Subscribe().IsEmpty());
    Reading reading, second;
    reading.throwFirst = true;
    EXPECT_EQ(subscription_->Read(reading, reading), nullptr);
    EXPECT_EQ(reading.Ended(), "created 1, created 2: 0");
    EXPECT_NE(reading.last, postOffice_.objects[1].get());  // a deep copy

    // A read while one is outstanding is invalid; the outstanding one still ends, and a read may
    // follow it at once.
    reading.throwFirst = false;
    EXPECT_EQ(reading.Read(*subscription_), ": waits");
    EXPECT_EQ(second.Read(*subscription_), ": " + Hex(Async::kInvalidResult));
    reading.then = [&] { EXPECT_EQ(second.Read(*subscription_), ": waits"); };
    postOffice_.reads->held->Completed(Fault(0x55));
    EXPECT_EQ(reading.End(false), "55");
    postOffice_.reads->held->Completed(Common::Error());
    EXPECT_EQ(second.End(false), "0");

    // A failed subscribe reaches the handler and leaves the holder as it was.
    const Kivo::Subscription* const kept = subscription_.get();
    postOffice_.result = Fault(0xFC0021);
    EXPECT_TRUE(Async::ChainContains(Subscribe(), 0xFC0021));
    EXPECT_EQ(subscription_.get(), kept);
}

// A store library that notes what happens to its stores, whose post offices are fake ones.
class RecordingLibrary final : public Kivo::StoreLibrary {
  public:
    RecordingLibrary() { Kivo::RegisterStoreLibrary(this); }
    ~RecordingLibrary() override { Kivo::RegisterStoreLibrary(nullptr); }

    Common::Error Create(const std::u16string& connectionString, Kivo::StoreCustomizer& customizer,
                         Zaph::Construction::UnitFactory&,
                         std::unique_ptr<Kivo::CoreObject>& core) override {
        events += "create " +
                  Common::ToUtf8(customizer.GetConnectionString()->GetConnectionString()) + ";";
        if (connectionString == u"bad")
            return Fault(0xFC0040);
        core = std::make_unique<Store>(*this);
        return Common::Error();
    }
    Common::Error Delete(std::unique_ptr<Kivo::CoreObject>& core) override {
        events += postOffice.expired() ? "delete;" : "delete under its post office;";
        core.reset();
        return failDelete ? Fault(0xFC0041) : Common::Error();
    }

    std::string events;
    bool failDelete = false, giveNoPostOffice = false;
    // Alive as long as the last post office made.
    std::weak_ptr<SubscriptionReads> postOffice;

  private:
    struct Store final : Kivo::CoreObject {
        explicit Store(RecordingLibrary& library) : library(library) {}
        std::u16string GetConnectionString() const override { return u""; }
        std::unique_ptr<Kivo::PostOffice> CreatePostOffice() override {
            library.events += "post office;";
            if (library.giveNoPostOffice)
                return nullptr;
            auto made = std::make_unique<FakePostOffice>();
            made->objects = {DWord(5)};
            library.postOffice = made->reads;
            return made;
        }
        RecordingLibrary& library;
    };
};

// The store is opened with the connection string, serves, and closes once after its post office
// is gone; a store that cannot open or serve is closed only when open, a failed close traced.
TEST(ScopedPostOfficeTest, StoreServesAndClosesOnceAfterItsPostOffice) {
    EXPECT_EQ(ZaphTest::ErrorCodeOf([] { (void)Kivo::CreateScopedPostOffice(u"x.db"); }),
              Kivo::kStoreLibraryMissing);
    RecordingLibrary library;
    {
        const auto postOffice = Kivo::CreateScopedPostOffice(u"/data/x.db");
        const auto reading = std::make_shared<Reading>();
        std::unique_ptr<Kivo::Subscription> subscription;
        postOffice->Report(kCaller, {}, reading, *reading);
        EXPECT_EQ(reading->Ended(), "5: 0");
        postOffice->Subscribe(kCaller, {}, reading, subscription, *reading);
        EXPECT_EQ(reading->Ended(), "5: 0");
        EXPECT_NE(subscription, nullptr);
    }
    EXPECT_EQ(library.events, "create /data/x.db;post office;delete;");
    library.events.clear();

    EXPECT_EQ(ZaphTest::ErrorCodeOf([] { (void)Kivo::CreateScopedPostOffice(u"bad"); }), 0xFC0040u);
    library.giveNoPostOffice = library.failDelete = true;
    TraceRecorder traces;
    EXPECT_THROW((void)Kivo::CreateScopedPostOffice(u"x.db"), Common::Error);
    EXPECT_EQ(library.events, "create bad;create x.db;post office;delete;");
    bool tracedClose = false;
    for (const auto& [level, error] : traces.Errors())
        tracedClose |= level == 4 && error.Code() == 0xFC0041u;
    EXPECT_TRUE(tracedClose);
}

}  // namespace
