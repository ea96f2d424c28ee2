#include "platform/store/post_office.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <mutex>

#include "core/common/text.h"
#include "enterprise/common/async/error/cached_error.h"
#include "enterprise/common/async/error/chain.h"
#include "enterprise/common/async/job.h"
#include "enterprise/common/async/waiting_handler.h"
#include "enterprise/common/kivo/interfaces/get_object_key.h"
#include "platform/async_service/platform_service.h"
#include "platform/store/store_errors.h"
#include "platform/store/store_library.h"
#include "platform/store/tests/store_test_support.h"

namespace {

using KivoStoreTest::GuidObject;
using KivoStoreTest::MakeGuid;
using KivoStoreTest::TypePattern;
using Zaph::View::SharedUnitPtr;

// Keeps what it is given; throws on the objects it is told to.
class CollectingReader : public Kivo::ReportReader {
  public:
    using Kivo::ReportReader::OnObject;
    void OnObject(const SharedUnitPtr& object) override {
        std::lock_guard<std::mutex> guard(mutex);
        objects.push_back(object);
        if (objects.size() == throwAt)
            throw Common::Error(COMMON_PLACE("CollectingReader::OnObject"), 0x77, "reader fault");
    }
    std::mutex mutex;
    std::vector<SharedUnitPtr> objects;
    size_t throwAt = 0;
};

class PostOfficeTest : public ::testing::Test {
  protected:
    void SetUp() override {
        KivoStore::CreateStore(folder_.WideFile("s.db"));
        std::vector<KivoStore::Operation> operations;
        for (int i = 0; i < 5; ++i) {
            char text[40];
            std::snprintf(text, sizeof text, "%08X-0000-0000-0000-000000000000", i + 1);
            operations.push_back(
                {KivoStore::OperationKind::CreateObject,
                 GuidObject(MakeGuid(text), i % 2 == 0 ? u"Disk" : u"Machine", u"n")});
        }
        KivoStore::Store::Open(folder_.WideFile("s.db"))->Apply(operations);

        Kivo::NullStoreCustomizer customizer(u"");
        Common::Error error;
        KIVO_Create(folder_.WideFile("s.db"), customizer, factory_, core_, error);
        ASSERT_TRUE(error.IsEmpty()) << Common::ToUtf8(error.ToText());
        postOffice_ = core_->CreatePostOffice();
    }
    void TearDown() override {
        postOffice_.reset();
        Common::Error error;
        KIVO_Delete(core_, error);
        EXPECT_TRUE(error.IsEmpty());
    }
    // Runs a report to its end; returns its result.
    Common::Error Report(const SharedUnitPtr& pattern, const SharedUnitPtr& options,
                         const std::shared_ptr<CollectingReader>& reader) {
        Async::Synchronizer done;
        postOffice_->Report(Core::EntryPoint{}, Kivo::ViewSpec{pattern, options}, reader, done);
        return done.Wait();
    }
    static SharedUnitPtr Limit(uint32_t count) {
        return SharedUnitPtr(Zaph::Util::FluentUnitBuilder(Zaph::Construction::DefaultUnitFactory())
                                 .Composite()
                                 .Trait("LimitOptions")
                                 .DWord(count)
                                 .End()
                                 .End()
                                 .TakeResult());
    }

    AsyncService::ScopedAsyncService service_;
    KivoStore::ScopedStoreLibrary library_;
    KivoStoreTest::ScratchFolder folder_;
    Zaph::Construction::InMemoryUnitFactory factory_;
    std::unique_ptr<Kivo::CoreObject> core_;
    std::unique_ptr<Kivo::PostOffice> postOffice_;
};

TEST_F(PostOfficeTest, ReportsByTypeAndScanHonouringLimitOptions) {
    auto reader = std::make_shared<CollectingReader>();
    EXPECT_TRUE(Report(TypePattern(u"Disk"), nullptr, reader).IsEmpty());
    EXPECT_EQ(reader->objects.size(), 3u);

    reader = std::make_shared<CollectingReader>();
    EXPECT_TRUE(Report(TypePattern(u""), Limit(4), reader).IsEmpty());
    EXPECT_EQ(reader->objects.size(), 4u);

    reader = std::make_shared<CollectingReader>();
    EXPECT_TRUE(Report(TypePattern(u""), Limit(0), reader).IsEmpty());
    EXPECT_EQ(reader->objects.size(), 5u);
}

TEST_F(PostOfficeTest, ReaderThatThrowsIsTracedAndDeliveryGoesOn) {
    KivoStoreTest::TraceCollector traces;
    auto reader = std::make_shared<CollectingReader>();
    reader->throwAt = 1;
    EXPECT_TRUE(Report(TypePattern(u"Machine"), nullptr, reader).IsEmpty());
    EXPECT_EQ(reader->objects.size(), 2u);
    ASSERT_EQ(traces.errors.size(), 1u);
    EXPECT_EQ(traces.errors[0].Reason().Code(), 0x77u);
}

// Keeps the changes a subscription reads, as "<type>:<Name or key id>".
class ChangeLog : public Kivo::SubscriptionReader {
  public:
    using Kivo::SubscriptionReader::OnCreated;
    using Kivo::SubscriptionReader::OnDeleted;
    using Kivo::SubscriptionReader::OnUpdated;
    void OnCreated(const SharedUnitPtr& object) override {
        seen.push_back("0:" + KivoStoreTest::PropertyText(object, "Name"));
    }
    void OnUpdated(const SharedUnitPtr&, const SharedUnitPtr& diff) override {
        seen.push_back("1:" + KivoStoreTest::PropertyText(diff, "Name"));
    }
    void OnDeleted(const SharedUnitPtr& key) override {
        seen.push_back("2:" + Common::ToUtf8(Kivo::GetKeyIdText(*key)));
    }
    std::vector<std::string> seen;
};

TEST_F(PostOfficeTest, SubscriptionDeliversSnapshotThenOneBatchPerRead) {
    auto reader = std::make_shared<CollectingReader>();
    Async::Synchronizer subscribed;
    std::unique_ptr<Kivo::Subscription> subscription;
    postOffice_->Subscribe(Core::EntryPoint{}, Kivo::ViewSpec{TypePattern(u"Disk"), Limit(2)},
                           reader, subscription, subscribed);
    ASSERT_TRUE(subscribed.Wait().IsEmpty());
    ASSERT_NE(subscription, nullptr);
    EXPECT_EQ(reader->objects.size(), 2u);  // the limit caps the snapshot only

    auto store = KivoStore::Store::Open(folder_.WideFile("s.db"));
    store->Apply({{KivoStore::OperationKind::UpdateObject,
                   GuidObject(MakeGuid("00000005-0000-0000-0000-000000000000"), u"Disk", u"m")},
                  {KivoStore::OperationKind::DeleteObject,
                   GuidObject(MakeGuid("00000001-0000-0000-0000-000000000000"), u"Disk", u"")}});
    ChangeLog changes;
    Async::Synchronizer read;
    subscription->Read(changes, read);
    EXPECT_TRUE(read.Wait().IsEmpty());
    EXPECT_EQ(changes.seen,
              (std::vector<std::string>{"1:m", "2:00000001-0000-0000-0000-000000000000"}));

    // A waiting read ends at once when canceled, and when the subscription goes.
    Async::Synchronizer canceled;
    std::shared_ptr<Async::Job> job = subscription->Read(changes, canceled);
    job->Cancel();
    EXPECT_TRUE(Async::IsCanceled(canceled.Wait()));
    Async::Synchronizer orphaned;
    subscription->Read(changes, orphaned);
    subscription.reset();
    EXPECT_TRUE(Async::IsCanceled(orphaned.Wait()));
    EXPECT_EQ(changes.seen.size(), 2u);
}

TEST_F(PostOfficeTest, RefusalsCompleteAtOnce) {
    auto reader = std::make_shared<CollectingReader>();
    const Common::Error nullPattern = Report(nullptr, nullptr, reader);
    EXPECT_EQ(nullPattern.Code(), KivoStore::kNullPattern);
    EXPECT_NE(Common::ToUtf8(nullPattern.Message()).find(".Nil().End()"), std::string::npos);

    const SharedUnitPtr badLimit(
        Zaph::Util::FluentUnitBuilder(Zaph::Construction::DefaultUnitFactory())
            .Composite()
            .Trait("LimitOptions")
            .String(u"ten")
            .End()
            .End()
            .TakeResult());
    EXPECT_EQ(Report(TypePattern(u""), badLimit, reader).Code(), KivoStore::kBadOptions);
    EXPECT_TRUE(reader->objects.empty());

    Async::Synchronizer done;
    std::unique_ptr<Kivo::Subscription> subscription;
    postOffice_->Subscribe(Core::EntryPoint{}, Kivo::ViewSpec{nullptr, nullptr}, reader,
                           subscription, done);
    EXPECT_EQ(done.Wait().Code(), KivoStore::kNullPattern);
    EXPECT_EQ(subscription, nullptr);
}

TEST_F(PostOfficeTest, CanceledReportEndsWithCanceledError) {
    // The reader cancels the job from inside the delivery of the first object.
    class CancelingReader : public CollectingReader {
      public:
        using Kivo::ReportReader::OnObject;
        void OnObject(const SharedUnitPtr& object) override {
            CollectingReader::OnObject(object);
            job->Cancel();
        }
        std::shared_ptr<Async::Job> job;
    };
    auto reader = std::make_shared<CancelingReader>();
    // The job is handed to the reader before the report may deliver: hold delivery until then.
    std::mutex gate;
    std::unique_lock<std::mutex> hold(gate);
    class GatedReader : public Kivo::ReportReader {
      public:
        GatedReader(std::mutex& gate, std::shared_ptr<CancelingReader> target)
            : gate_(gate), target_(std::move(target)) {}
        using Kivo::ReportReader::OnObject;
        void OnObject(const SharedUnitPtr& object) override {
            std::lock_guard<std::mutex> wait(gate_);
            target_->OnObject(object);
        }

      private:
        std::mutex& gate_;
        std::shared_ptr<CancelingReader> target_;
    };
    Async::Synchronizer done;
    reader->job = postOffice_->Report(Core::EntryPoint{}, Kivo::ViewSpec{TypePattern(u""), nullptr},
                                      std::make_shared<GatedReader>(gate, reader), done);
    hold.unlock();
    EXPECT_TRUE(Async::IsCanceled(done.Wait()));
    EXPECT_EQ(reader->objects.size(), 1u);
    // The reader held its own job, which holds the reader.
    reader->job.reset();
}

TEST(StoreLibraryTest, OpenFailuresReachTheCaller) {
    KivoStore::ScopedStoreLibrary library;
    Kivo::NullStoreCustomizer customizer(u"");
    Zaph::Construction::InMemoryUnitFactory factory;
    std::unique_ptr<Kivo::CoreObject> core;
    Common::Error error;
    KIVO_Create(u"/nonexistent-folder-of-kivo/x.db", customizer, factory, core, error);
    EXPECT_EQ(error.Code(), KivoStore::kStoreDirectoryMissing);
    EXPECT_EQ(core, nullptr);

    // The customizer's connection string serves when the caller gives none.
    Kivo::NullStoreCustomizer memory(u":memory:");
    KIVO_Create(u"", memory, factory, core, error);
    EXPECT_TRUE(error.IsEmpty());
    ASSERT_NE(core, nullptr);
    EXPECT_EQ(core->GetConnectionString(), u":memory:");
    KIVO_Delete(core, error);
    EXPECT_TRUE(error.IsEmpty());
}

}  // namespace
