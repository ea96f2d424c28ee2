#include "enterprise/common/kivo/interfaces/safe_invoke.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/common/trace.h"
#include "enterprise/common/kivo/interfaces/store_library.h"
#include "enterprise/common/zaph/unit_factory.h"

namespace {

std::vector<Common::Error>* tracedErrors = nullptr;

void CollectTrace(uint32_t, uint32_t, const Common::Error& error) noexcept {
    if (tracedErrors != nullptr)
        tracedErrors->push_back(error);
}

class SafeInvokeTest : public ::testing::Test {
  protected:
    void SetUp() override {
        tracedErrors = &traced_;
        previousSink_ = Common::SetTraceErrorSink(&CollectTrace);
        previousLevel_ = Common::TraceLevel();
        Common::SetTraceLevel(1);
    }
    void TearDown() override {
        Common::SetTraceErrorSink(previousSink_);
        Common::SetTraceLevel(previousLevel_);
        tracedErrors = nullptr;
    }
    Zaph::View::SharedUnitPtr String(std::u16string_view text) {
        return Zaph::View::SharedUnitPtr(factory_.CreateString(text));
    }

    Zaph::Construction::InMemoryUnitFactory factory_;
    std::vector<Common::Error> traced_;
    Common::TraceErrorSink previousSink_ = nullptr;
    uint32_t previousLevel_ = 0;
};

Common::Error ReaderFault() {
    return Common::Error(COMMON_PLACE("ReaderFault"), 0x1234, "reader fault");
}

// Throws on the first object it sees, keeps the rest.
class FirstThrowsReader : public Kivo::ReportReader {
  public:
    using Kivo::ReportReader::OnObject;
    void OnObject(const Zaph::View::SharedUnitPtr& object) override {
        if (seen_++ == 0)
            throw ReaderFault();
        kept.push_back(object);
    }
    std::vector<Zaph::View::SharedUnitPtr> kept;

  private:
    int seen_ = 0;
};

class RecordingSubscriptionReader : public Kivo::SubscriptionReader {
  public:
    using Kivo::SubscriptionReader::OnCreated;
    using Kivo::SubscriptionReader::OnDeleted;
    using Kivo::SubscriptionReader::OnUpdated;
    void OnCreated(const Zaph::View::SharedUnitPtr&) override {
        calls += "c";
        throw ReaderFault();
    }
    void OnUpdated(const Zaph::View::SharedUnitPtr&, const Zaph::View::SharedUnitPtr&) override {
        calls += "u";
    }
    void OnDeleted(const Zaph::View::SharedUnitPtr&) override { calls += "d"; }
    std::string calls;
};

TEST_F(SafeInvokeTest, ReaderThatThrowsOnFirstObjectStillGetsTheRestAndNullsArePassedOver) {
    FirstThrowsReader reader;
    std::vector<Zaph::View::SharedUnitPtr> objects{String(u"one"), nullptr, String(u"two"),
                                                   String(u"three")};
    Kivo::Detail::DeliverObjects(reader, objects);

    ASSERT_EQ(reader.kept.size(), 2u);
    EXPECT_EQ(reader.kept[0], objects[2]);
    EXPECT_EQ(reader.kept[1], objects[3]);
    ASSERT_EQ(traced_.size(), 2u);
    EXPECT_EQ(traced_[0].Code(), Kivo::Detail::kExceptionFromCallback);
    EXPECT_EQ(traced_[0].Message(), u"Exception from callback.");
    EXPECT_EQ(traced_[0].Reason().Code(), 0x1234u);
    EXPECT_NE(traced_[1].Code(), Kivo::Detail::kExceptionFromCallback);
}

TEST_F(SafeInvokeTest, UpdatesGoOutByTypeAndUnknownTypesAndNullKeysAreSkipped) {
    RecordingSubscriptionReader reader;
    std::vector<Kivo::ViewManagement::ViewUpdate> updates{{0, String(u"k1"), String(u"k1")},
                                                          {3, String(u"k2"), String(u"x")},
                                                          {1, String(u"k3"), String(u"diff")},
                                                          {1, String(u"k4"), nullptr},
                                                          {2, nullptr, nullptr},
                                                          {2, String(u"k5"), nullptr}};
    Kivo::Detail::DeliverUpdates(reader, updates);

    EXPECT_EQ(reader.calls, "cud");
    ASSERT_EQ(traced_.size(), 3u);
    EXPECT_EQ(traced_[0].Code(), Kivo::Detail::kExceptionFromCallback);
}

TEST(StoreLibraryTest, WithoutARegisteredLibraryCreateFailsAndDeleteOfNothingSucceeds) {
    Kivo::RegisterStoreLibrary(nullptr);
    Zaph::Construction::InMemoryUnitFactory factory;
    Kivo::NullStoreCustomizer customizer(u"store.db");
    std::unique_ptr<Kivo::CoreObject> core;
    Common::Error error;
    KIVO_Create(u"store.db", customizer, factory, core, error);
    EXPECT_EQ(error.Code(), Kivo::kStoreLibraryMissing);
    EXPECT_EQ(core, nullptr);

    KIVO_Delete(core, error);
    EXPECT_TRUE(error.IsEmpty());
    EXPECT_EQ(customizer.GetConnectionString()->GetConnectionString(), u"store.db");
}

}  // namespace
