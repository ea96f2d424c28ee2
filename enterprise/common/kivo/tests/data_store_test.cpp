// The local client side: the synchronous data store and subscriptions without a report over the
// remote post office, and the scoped post office over a store library of the tests.
#include <gtest/gtest.h>

#include "core/common/text.h"
#include "enterprise/common/async/error/cached_error.h"
#include "enterprise/common/async/error/chain.h"
#include "enterprise/common/async/waiting_handler.h"
#include "enterprise/common/kivo/scoped_post_office.h"
#include "enterprise/common/kivo/subscribe_without_report.h"
#include "enterprise/common/kivo/synchronous_data_store.h"
#include "enterprise/common/kivo/tests/remote_client_support.h"
#include "tests/support/fake_post_office.h"
#include "tests/support/trace_recorder.h"

namespace {

using namespace KivoTest;
using KivoTestSupport::FakePostOffice;
using KivoTestSupport::TraceRecorder;

// The report has ended when Report returns, and its failure is thrown. A subscription's first read
// delivers what the subscribe reported, to a reader that may throw; a read while one is outstanding
// is invalid, and the outstanding one ends before its handler hears, which may read again.
TEST(DataStoreTest, ReportsAndSubscriptionsWithoutReportOverThePostOffice) {
    InProcessService service(2);
    service.views->snapshot = service.views->topic.Content = {DWord(1), DWord(2)};
    Zaph::Construction::InMemoryUnitFactory factory;
    const Kivo::ViewSpec query{DWord(7), nullptr};
    Reading reading, second;
    const auto report = [&](Kivo::PostOffice* postOffice) {
        return ZaphTest::ErrorOf([&] {
            Kivo::SynchronousDataStore(postOffice, factory).Report(kCaller, query, reading);
        });
    };
    EXPECT_TRUE(report(service.postOffice.get()).IsEmpty());
    EXPECT_EQ(reading.Told("end"), "1, 2: end");
    service.views->outcomes[2] = {Fault(0xFC0020)};
    EXPECT_TRUE(Async::ChainContains(report(service.postOffice.get()), 0xFC0020));
    EXPECT_EQ(reading.Told("end"), ": end");
    const Common::Error unproper = report(nullptr);
    EXPECT_EQ(unproper.Code(), Kivo::kUnproperUse);
    EXPECT_EQ(unproper.Message(), u"KIVO: Unproper use. Missing PostOffice.");
    EXPECT_STREQ(unproper.Place().function, "Kivo::SynchronousDataStore::Report");

    std::unique_ptr<Kivo::Subscription> subscription;
    const auto subscribe = [&] {
        Async::Synchronizer done;
        const auto job = Kivo::SubscribeWithoutReport(kCaller, *service.postOffice, factory, query,
                                                      subscription, done);
        return done.Wait();
    };
    ASSERT_TRUE(subscribe().IsEmpty());
    reading.throwFirst = true;
    EXPECT_EQ(reading.Read(*subscription), "created 1, created 2: 0");
    reading.throwFirst = false;
    EXPECT_EQ(reading.Read(*subscription), ": waits");
    EXPECT_EQ(second.Read(*subscription), ": " + Hex(Async::kInvalidResult));
    // A failed subscribe leaves the holder as it was.
    const Kivo::Subscription* const kept = subscription.get();
    service.views->outcomes[6] = {Fault(0xFC0021)};
    EXPECT_TRUE(Async::ChainContains(subscribe(), 0xFC0021));
    EXPECT_EQ(subscription.get(), kept);
    reading.then = [&] { EXPECT_EQ(second.Read(*subscription), ": fc000b"); };
    service.postOffice.reset();  // the view closes
    EXPECT_EQ(reading.End(), "fc000b");
}

// A store library that notes what happens to its stores, whose post offices are fake ones
// serving one object, held by none but that post office.
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
        events += served.expired() ? "delete;" : "delete under its post office;";
        core.reset();
        return failDelete ? Fault(0xFC0041) : Common::Error();
    }

    std::string events;
    bool failDelete = false, giveNoPostOffice = false;
    std::weak_ptr<const Zaph::View::Unit> served;

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
            library.served = made->objects[0];
            return made;
        }
        RecordingLibrary& library;
    };
};

// The store is opened with the connection string, serves, and closes once after its post office
// is gone; a store that cannot open or serve is closed only when open, a failed close traced.
TEST(ScopedPostOfficeTest, StoreServesAndClosesOnceAfterItsPostOffice) {
    RecordingLibrary library;
    {
        const auto postOffice = Kivo::CreateScopedPostOffice(u"/data/x.db");
        const auto reading = std::make_shared<Reading>();
        std::unique_ptr<Kivo::Subscription> subscription;
        postOffice->Report(kCaller, {}, reading, *reading);
        EXPECT_EQ(reading->Ended(), "5: 0");
        postOffice->Subscribe(kCaller, {}, reading, subscription, *reading);
        EXPECT_EQ(reading->Ended(), "5: 0");
    }
    EXPECT_EQ(ZaphTest::ErrorCodeOf([] { (void)Kivo::CreateScopedPostOffice(u"bad"); }), 0xFC0040u);
    library.giveNoPostOffice = library.failDelete = true;
    TraceRecorder traces;
    EXPECT_THROW((void)Kivo::CreateScopedPostOffice(u"x.db"), Common::Error);
    EXPECT_EQ(library.events,
              "create /data/x.db;post office;delete;create bad;create x.db;post office;delete;");
    const auto errors = traces.Errors();
    EXPECT_TRUE(std::any_of(errors.begin(), errors.end(), [](const auto& traced) {
        return traced.first == 4 && traced.second.Code() == 0xFC0041u;
    }));
}

}  // namespace
