// The store's post office, over the store library, on the async service's threads: reports with
// their limits, refusals and cancels, subscriptions read and canceled from another thread.
#include "platform/store/post_office.h"

#include <gtest/gtest.h>

#include <future>
#include <mutex>

#include "core/common/text.h"
#include "enterprise/common/async/error/chain.h"
#include "enterprise/common/async/job.h"
#include "enterprise/common/async/waiting_handler.h"
#include "enterprise/common/kivo/interfaces/get_object_key.h"
#include "platform/async_service/platform_service.h"
#include "platform/store/store_errors.h"
#include "platform/store/store_library.h"
#include "platform/store/tests/store_test_support.h"
#include "tests/support/trace_recorder.h"

namespace {

using namespace KivoStoreTest;
using Kind = KivoStore::OperationKind;

// Keeps what it is given; throws at the object `throwAt` (counted from 1); cancels the job that
// `cancel` gives at the first object.
class CollectingReader : public Kivo::ReportReader {
  public:
    using Kivo::ReportReader::OnObject;
    void OnObject(const SharedUnitPtr& object) override {
        std::lock_guard<std::mutex> guard(mutex);
        objects.push_back(object);
        if (cancel.valid() &&
            cancel.wait_for(std::chrono::seconds(10)) == std::future_status::ready)
            cancel.get()->Cancel();
        if (objects.size() == throwAt)
            throw Common::Error(COMMON_PLACE("CollectingReader::OnObject"), 0x77, "reader fault");
    }
    std::mutex mutex;
    std::vector<SharedUnitPtr> objects;
    size_t throwAt = 0;
    std::shared_future<std::shared_ptr<Async::Job>> cancel;
};

// Keeps the changes a subscription reads, as "<type>:<Name or key id>".
class ChangeLog : public Kivo::SubscriptionReader {
  public:
    using Kivo::SubscriptionReader::OnCreated;
    using Kivo::SubscriptionReader::OnDeleted;
    using Kivo::SubscriptionReader::OnUpdated;
    void OnCreated(const SharedUnitPtr& object) override {
        seen.push_back("0:" + PropertyText(object, "Name"));
    }
    void OnUpdated(const SharedUnitPtr&, const SharedUnitPtr& diff) override {
        seen.push_back("1:" + PropertyText(diff, "Name"));
    }
    void OnDeleted(const SharedUnitPtr& key) override {
        seen.push_back("2:" + Common::ToUtf8(Kivo::GetKeyIdText(*key)));
    }
    Names seen;
};

SharedUnitPtr Limit(Zaph::Construction::UnitPtr count) {
    return SharedUnitPtr(
        ZaphTest::WithTrait(ZaphTest::Composite(), "LimitOptions", std::move(count)));
}

// A store of three disks (1, 3, 5) and two machines (2, 4), opened through the store library by
// the connection string of its customizer.
class PostOfficeTest : public StoreFixture {
  protected:
    void SetUp() override {
        StoreFixture::SetUp();
        if (IsSkipped() || HasFatalFailure())
            return;
        for (uint32_t i = 1; i <= 5; ++i)
            store_->Apply({{Kind::CreateObject,
                            GuidObject(Numbered(i), i % 2 ? u"Disk" : u"Machine", u"n")}});

        Kivo::NullStoreCustomizer customizer(Connection());
        Common::Error error;
        KIVO_Create(u"", customizer, factory_, core_, error);
        ASSERT_TRUE(error.IsEmpty()) << Common::ToUtf8(error.ToText());
        EXPECT_EQ(core_->GetConnectionString(), Connection());
        postOffice_ = core_->CreatePostOffice();
    }
    void TearDown() override {
        if (core_ == nullptr)
            return;
        postOffice_.reset();
        Common::Error error;
        KIVO_Delete(core_, error);
        EXPECT_TRUE(error.IsEmpty());
    }

    AsyncService::ScopedAsyncService service_;
    KivoStore::ScopedStoreLibrary library_;
    Zaph::Construction::InMemoryUnitFactory factory_;
    std::unique_ptr<Kivo::CoreObject> core_;
    std::unique_ptr<Kivo::PostOffice> postOffice_;
};

KIVO_ON_EVERY_ENGINE(PostOfficeTest);

TEST_P(PostOfficeTest, ReportsHonourTheirLimitsAndRefuseWhatCannotStart) {
    using ZaphTest::DWord;
    using ZaphTest::SDWord;
    const SharedUnitPtr all = TypePattern(u"");
    const uint32_t bad = KivoStore::kBadOptions;
    const struct {
        const char* what;
        SharedUnitPtr pattern;
        SharedUnitPtr options;
        size_t throwAt;
        uint32_t code;
        size_t objects;
    } reports[] = {
        {"by type", TypePattern(u"Disk"), nullptr, 0, 0, 3},
        {"a scan cut by its limit", all, Limit(DWord(4)), 0, 0, 4},
        {"limit 0: no limit", all, Limit(DWord(0)), 0, 0, 5},
        {"signed limit 0", all, Limit(SDWord(0)), 0, 0, 5},
        {"largest limit", all, Limit(ZaphTest::Factory().CreateSQWord(INT64_MAX)), 0, 0, 5},
        {"limit -1", all, Limit(SDWord(-1)), 0, bad, 0},
        {"a limit that is no count", all, Limit(ZaphTest::Str(u"ten")), 0, bad, 0},
        {"a reader that throws: traced, delivery goes on", TypePattern(u"Machine"), nullptr, 1, 0,
         2},
        {"no pattern", nullptr, nullptr, 0, KivoStore::kNullPattern, 0},
    };
    for (const auto& report : reports) {
        SCOPED_TRACE(report.what);
        KivoTestSupport::TraceRecorder traces;
        auto reader = std::make_shared<CollectingReader>();
        reader->throwAt = report.throwAt;
        Async::Synchronizer done;
        postOffice_->Report(Core::EntryPoint{}, Kivo::ViewSpec{report.pattern, report.options},
                            reader, done);
        const Common::Error result = done.Wait();
        EXPECT_EQ(result.Code(), report.code);
        EXPECT_EQ(reader->objects.size(), report.objects);
        ASSERT_EQ(traces.Errors().size(), report.throwAt);
        if (report.throwAt != 0) {
            EXPECT_EQ(traces.Errors()[0].second.Reason().Code(), 0x77u);
        }
        if (report.code == KivoStore::kNullPattern) {
            EXPECT_NE(Common::ToUtf8(result.Message()).find(".Nil().End()"), std::string::npos);
        }
    }

    // Canceled by its reader at the first object: the report ends with the canceled error.
    auto reader = std::make_shared<CollectingReader>();
    std::promise<std::shared_ptr<Async::Job>> job;
    reader->cancel = job.get_future().share();
    Async::Synchronizer done;
    job.set_value(postOffice_->Report(Core::EntryPoint{}, Kivo::ViewSpec{TypePattern(u""), nullptr},
                                      reader, done));
    EXPECT_TRUE(Async::IsCanceled(done.Wait()));
    EXPECT_EQ(reader->objects.size(), 1u);
}

TEST_P(PostOfficeTest, SubscriptionDeliversSnapshotThenOneBatchPerRead) {
    auto reader = std::make_shared<CollectingReader>();
    Async::Synchronizer subscribed;
    std::unique_ptr<Kivo::Subscription> subscription;
    postOffice_->Subscribe(Core::EntryPoint{}, Kivo::ViewSpec{nullptr, nullptr}, reader,
                           subscription, subscribed);
    EXPECT_EQ(subscribed.Wait().Code(), KivoStore::kNullPattern);
    EXPECT_EQ(subscription, nullptr);

    postOffice_->Subscribe(Core::EntryPoint{},
                           Kivo::ViewSpec{TypePattern(u"Disk"), Limit(ZaphTest::DWord(2))}, reader,
                           subscription, subscribed);
    ASSERT_TRUE(subscribed.Wait().IsEmpty());
    ASSERT_NE(subscription, nullptr);
    EXPECT_EQ(reader->objects.size(), 2u);  // the limit caps the snapshot only

    store_->Apply({{Kind::UpdateObject, Disk(5, u"m")}, {Kind::DeleteObject, Disk(1, u"")}});
    ChangeLog changes;
    Async::Synchronizer read;
    subscription->Read(changes, read);
    EXPECT_TRUE(read.Wait().IsEmpty());
    EXPECT_EQ(changes.seen, (Names{"1:m", "2:00000001-0000-0000-0000-000000000000"}));

    // A waiting read ends at once when canceled, and when the subscription goes.
    Async::Synchronizer canceled;
    subscription->Read(changes, canceled)->Cancel();
    EXPECT_TRUE(Async::IsCanceled(canceled.Wait()));
    Async::Synchronizer orphaned;
    subscription->Read(changes, orphaned);
    subscription.reset();
    EXPECT_TRUE(Async::IsCanceled(orphaned.Wait()));
    EXPECT_EQ(changes.seen.size(), 2u);
}

}  // namespace
