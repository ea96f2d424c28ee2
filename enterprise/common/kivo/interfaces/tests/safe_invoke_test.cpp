// Deliveries to readers: neither a reader that throws nor a null unit stops one, and updates go
// out by their type; the store library's entry points when no library is registered.

#include "enterprise/common/kivo/interfaces/safe_invoke.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "core/common/trace.h"
#include "enterprise/common/kivo/interfaces/store_library.h"
#include "enterprise/common/zaph/tests/unit_builders.h"

namespace {

using Zaph::View::SharedUnitPtr;
using ZaphTest::DWord;

std::string traced;
std::u16string firstMessage;

void Trace(uint32_t, uint32_t level, const Common::Error& error) noexcept {
    firstMessage = traced.empty() ? error.Message() : firstMessage;
    char text[40];
    std::snprintf(text, sizeof text, "%u:%X:%X ", level, error.Code(), error.Reason().Code());
    traced += text;
}

// Tells what it heard: the DWord of each unit. Its first call throws after it has heard.
class Reader final : public Kivo::ReportReader, public Kivo::SubscriptionReader {
  public:
    using ReportReader::OnObject, SubscriptionReader::OnCreated, SubscriptionReader::OnUpdated,
        SubscriptionReader::OnDeleted;
    void OnObject(const SharedUnitPtr& object) override { Hear("object", *object); }
    void OnCreated(const SharedUnitPtr& key) override { Hear("created", *key); }
    void OnUpdated(const SharedUnitPtr& key, const SharedUnitPtr& diff) override {
        Hear("updated", *key,
             std::string("/").append(std::to_string(Zaph::Util::GetValue<uint32_t>(*diff))));
    }
    void OnDeleted(const SharedUnitPtr& key) override { Hear("deleted", *key); }
    std::string heard;

  private:
    void Hear(const std::string& what, const Zaph::View::Unit& unit, const std::string& more = "") {
        const bool first = heard.empty();
        heard += what + std::to_string(Zaph::Util::GetValue<uint32_t>(unit)) + more + " ";
        if (first) {
            throw Common::Error(COMMON_PLACE("Reader::Hear"), 0x1234, "reader fault");
        }
    }
};

TEST(Delivery, GoesOnPastAReaderThatThrowsAndPastNullUnitsAndSortsUpdatesByType) {
    const Common::TraceErrorSink previousSink = Common::SetTraceErrorSink(&Trace);
    const uint32_t previousLevel = Common::TraceLevel();
    Common::SetTraceLevel(1);
    Reader objects, changes;
    Kivo::Detail::DeliverObjects(objects, {DWord(1), nullptr, DWord(2), DWord(3)});
    const std::string tracedByObjects = std::exchange(traced, {});
    Kivo::Detail::DeliverUpdates(changes, {{0, DWord(1), DWord(1)},
                                           {3, DWord(2), DWord(2)},
                                           {1, DWord(3), DWord(30)},
                                           {1, DWord(4), nullptr},
                                           {2, nullptr, nullptr},
                                           {2, DWord(5), nullptr}});
    Common::SetTraceErrorSink(previousSink);
    Common::SetTraceLevel(previousLevel);

    // A reader's error is traced as "Exception from callback." (0xFC0001) with it as the
    // reason; a null unit is traced as passed over (0xFC0051).
    EXPECT_EQ(objects.heard, "object1 object2 object3 ");
    EXPECT_EQ(tracedByObjects, "1:FC0001:1234 1:FC0051:0 ");
    EXPECT_EQ(firstMessage, u"Exception from callback.");
    EXPECT_EQ(changes.heard, "created1 updated3/30 deleted5 ");
    EXPECT_EQ(traced, "1:FC0001:1234 1:FC0051:0 1:FC0051:0 ");
}

TEST(StoreLibrary, WithoutALibraryCreateFailsAndDeletingNothingSucceeds) {
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
