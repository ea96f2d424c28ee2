// The local client side: the synchronous data store, subscriptions without a report and the
// scoped post office, over test post offices and store libraries.
#include <gtest/gtest.h>

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

uint32_t ValueOf(const SharedUnitPtr& unit) {
    return Zaph::Util::GetValue<uint32_t>(*unit);
}

Common::Error Fault(uint32_t code) {
    return Common::Error(COMMON_PLACE("KivoTest::Fault"), code, "test fault");
}

// Keeps the values it hears as objects or creations; throws on the value `throwOn`.
class Recorder final : public Kivo::ReportReader, public Kivo::SubscriptionReader {
  public:
    using Kivo::ReportReader::OnObject, Kivo::SubscriptionReader::OnCreated,
        Kivo::SubscriptionReader::OnDeleted, Kivo::SubscriptionReader::OnUpdated;
    void OnObject(const SharedUnitPtr& object) override { Keep(object); }
    void OnCreated(const SharedUnitPtr& object) override { Keep(object); }
    void OnUpdated(const SharedUnitPtr&, const SharedUnitPtr&) override { ADD_FAILURE(); }
    void OnDeleted(const SharedUnitPtr&) override { ADD_FAILURE(); }

    uint32_t throwOn = 0;
    std::vector<SharedUnitPtr> heard;
    std::vector<uint32_t> Values() const {
        std::vector<uint32_t> values;
        for (const SharedUnitPtr& unit : heard)
            values.push_back(ValueOf(unit));
        return values;
    }

  private:
    void Keep(const SharedUnitPtr& object) {
        if (ValueOf(object) == throwOn)
            throw Fault(0x77);
        heard.push_back(object);
    }
};

class DataStoreTest : public ::testing::Test {
  protected:
    // Subscribes and waits for the end; returns its result.
    Common::Error Subscribe() {
        Async::Synchronizer done;
        const auto job = Kivo::SubscribeWithoutReport(entryPoint_, postOffice_, factory_, spec_,
                                                      subscription_, done);
        return done.Wait();
    }

    AsyncService::ScopedAsyncService service_{AsyncService::ServiceOptions{2, 0}};
    Zaph::Construction::InMemoryUnitFactory factory_;
    KivoTest::FakePostOffice postOffice_;
    Kivo::ViewSpec spec_{SharedUnitPtr(ZaphTest::DWord(0)), nullptr};
    Core::EntryPoint entryPoint_{0x1234, "caller.cpp", 7, 0};
    std::unique_ptr<Kivo::Subscription> subscription_;
};

TEST_F(DataStoreTest, ReportBlocksUntilTheEndAndThrowsThePostOfficesFailure) {
    postOffice_.objects = {ZaphTest::DWord(1), ZaphTest::DWord(2), ZaphTest::DWord(3)};
    Recorder reader;
    reader.throwOn = 1;
    KivoTest::TraceRecorder traces;
    Kivo::SynchronousDataStore(&postOffice_, factory_).Report(entryPoint_, spec_, reader);
    EXPECT_EQ(reader.Values(), (std::vector<uint32_t>{2, 3}));
    EXPECT_EQ(postOffice_.lastEntryPoint.File, "caller.cpp");
    const auto traced = traces.Errors();
    ASSERT_EQ(traced.size(), 1u);
    EXPECT_EQ(traced[0].first, 1u);
    EXPECT_EQ(traced[0].second.Code(), Kivo::Detail::kExceptionFromCallback);
    EXPECT_EQ(traced[0].second.Reason().Code(), 0x77u);

    // Objects delivered before a failure stay delivered.
    postOffice_.result = Fault(0xFC0020);
    try {
        Kivo::SynchronousDataStore(&postOffice_, factory_).Report(entryPoint_, spec_, reader);
        ADD_FAILURE() << "no error";
    } catch (const Common::Error& error) {
        EXPECT_TRUE(Async::ChainContains(error, 0xFC0020));
    }
    EXPECT_EQ(reader.heard.size(), 4u);
    try {
        Kivo::SynchronousDataStore(nullptr, factory_).Report(entryPoint_, spec_, reader);
        ADD_FAILURE() << "no error";
    } catch (const Common::Error& error) {
        EXPECT_EQ(error.Code(), Kivo::kUnproperUse);
        EXPECT_EQ(error.Message(), u"KIVO: Unproper use. Missing PostOffice.");
        EXPECT_STREQ(error.Place().function, "Kivo::SynchronousDataStore::Report");
    }
}

TEST_F(DataStoreTest, FirstReadDeliversKeptCopiesAndLaterReadsGoToThePostOffice) {
    postOffice_.objects = {ZaphTest::DWord(1), ZaphTest::DWord(2), ZaphTest::DWord(3)};
    ASSERT_TRUE(Subscribe().IsEmpty());
    Recorder reader;
    reader.throwOn = 1;
    Async::Synchronizer done;
    EXPECT_EQ(subscription_->Read(reader, done), nullptr);
    EXPECT_TRUE(done.Wait().IsEmpty());
    EXPECT_EQ(reader.Values(), (std::vector<uint32_t>{2, 3}));
    EXPECT_NE(reader.heard[0], postOffice_.objects[1]);  // deep copies
    EXPECT_EQ(postOffice_.reads->count, 0);

    // A second read while one is outstanding is invalid; the outstanding one still ends, and a
    // read may follow it.
    postOffice_.reads->hold = true;
    Async::Synchronizer second;
    subscription_->Read(reader, done);
    ASSERT_NE(postOffice_.reads->held, nullptr);
    subscription_->Read(reader, second);
    EXPECT_EQ(second.Wait().Code(), Async::kInvalidResult);
    postOffice_.reads->held->Completed(Fault(0x55));
    EXPECT_EQ(done.Wait().Code(), 0x55u);
    subscription_->Read(reader, second);
    postOffice_.reads->held->Completed(Common::Error());
    EXPECT_TRUE(second.Wait().IsEmpty());
    EXPECT_EQ(postOffice_.reads->count, 2);
    EXPECT_EQ(reader.heard.size(), 2u);

    // A failed subscribe reaches the handler and leaves the holder as it was.
    const Kivo::Subscription* const kept = subscription_.get();
    postOffice_.result = Fault(0xFC0021);
    EXPECT_TRUE(Async::ChainContains(Subscribe(), 0xFC0021));
    EXPECT_EQ(subscription_.get(), kept);
}

// A store library that records the order of what happens to its stores.
class RecordingLibrary final : public Kivo::StoreLibrary {
  public:
    RecordingLibrary() { Kivo::RegisterStoreLibrary(this); }
    ~RecordingLibrary() override { Kivo::RegisterStoreLibrary(nullptr); }

    Common::Error Create(const std::u16string& connectionString, Kivo::StoreCustomizer& customizer,
                         Zaph::Construction::UnitFactory&,
                         std::unique_ptr<Kivo::CoreObject>& core) override {
        events += "create;";
        openedWith = customizer.GetConnectionString()->GetConnectionString();
        if (connectionString == u"bad")
            return Common::Error(COMMON_PLACE("KivoTest::Create"), 0xFC0040, "no such store");
        core = std::make_unique<Store>(*this, connectionString);
        return Common::Error();
    }

    Common::Error Delete(std::unique_ptr<Kivo::CoreObject>& core) override {
        events += "delete;";
        core.reset();
        if (failDelete)
            return Common::Error(COMMON_PLACE("KivoTest::Delete"), 0xFC0041, "cannot close");
        return Common::Error();
    }

    std::string events;
    std::u16string openedWith;
    bool failDelete = false;
    bool giveNoPostOffice = false;

  private:
    class Store final : public Kivo::CoreObject {
      public:
        Store(RecordingLibrary& library, std::u16string connection)
            : library_(library), connection_(std::move(connection)) {}
        std::u16string GetConnectionString() const override { return connection_; }
        std::unique_ptr<Kivo::PostOffice> CreatePostOffice() override {
            library_.events += "post office;";
            if (library_.giveNoPostOffice)
                return nullptr;
            return std::make_unique<PostOffice>(library_.events);
        }

      private:
        RecordingLibrary& library_;
        const std::u16string connection_;
    };

    class PostOffice final : public Kivo::PostOffice {
      public:
        explicit PostOffice(std::string& events) : events_(events) {}
        ~PostOffice() override { events_ += "post office gone;"; }
        std::shared_ptr<Async::Job> Subscribe(const Core::EntryPoint&, const Kivo::ViewSpec&,
                                              const std::shared_ptr<Kivo::ReportReader>&,
                                              std::unique_ptr<Kivo::Subscription>&,
                                              Async::ActionHandler&) override {
            events_ += "subscribe;";
            return nullptr;
        }
        std::shared_ptr<Async::Job> Report(const Core::EntryPoint&, const Kivo::ViewSpec&,
                                           const std::shared_ptr<Kivo::ReportReader>&,
                                           Async::ActionHandler&) override {
            events_ += "report;";
            return nullptr;
        }

      private:
        std::string& events_;
    };
};

TEST(ScopedPostOfficeTest, StoreClosesOnceAfterItsPostOfficeIsGone) {
    RecordingLibrary library;
    {
        auto postOffice = Kivo::CreateScopedPostOffice(u"/data/x.db");
        Async::Synchronizer unheard;
        std::unique_ptr<Kivo::Subscription> subscription;
        postOffice->Report({}, {}, nullptr, unheard);
        postOffice->Subscribe({}, {}, nullptr, subscription, unheard);
    }
    EXPECT_EQ(library.events, "create;post office;report;subscribe;post office gone;delete;");
    EXPECT_EQ(library.openedWith, u"/data/x.db");
}
TEST(ScopedPostOfficeTest, StoresThatCannotOpenOrServeAreClosedOnlyWhenOpen) {
    EXPECT_EQ(ZaphTest::ErrorCodeOf([] { (void)Kivo::CreateScopedPostOffice(u"x.db"); }),
              Kivo::kStoreLibraryMissing);
    RecordingLibrary library;
    EXPECT_EQ(ZaphTest::ErrorCodeOf([] { (void)Kivo::CreateScopedPostOffice(u"bad"); }), 0xFC0040u);
    EXPECT_EQ(library.events, "create;");
    library.giveNoPostOffice = true;
    library.failDelete = true;
    KivoTest::TraceRecorder traces;
    EXPECT_THROW(Kivo::CreateScopedPostOffice(u"/data/x.db"), Common::Error);
    EXPECT_EQ(library.events, "create;create;post office;delete;");
    bool tracedClose = false;
    for (const auto& [level, error] : traces.Errors())
        tracedClose |= level == 4 && error.Code() == 0xFC0041u;
    EXPECT_TRUE(tracedClose);
}
}  // namespace
