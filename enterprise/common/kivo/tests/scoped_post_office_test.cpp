#include "enterprise/common/kivo/scoped_post_office.h"

#include <gtest/gtest.h>

#include <string>

#include "enterprise/common/kivo/tests/trace_recorder.h"

namespace {

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
            return std::make_unique<PostOffice>(library_);
        }

      private:
        RecordingLibrary& library_;
        const std::u16string connection_;
    };

    class PostOffice final : public Kivo::PostOffice {
      public:
        explicit PostOffice(RecordingLibrary& library) : library_(library) {}
        ~PostOffice() override { library_.events += "post office gone;"; }
        std::shared_ptr<Async::Job> Subscribe(const Core::EntryPoint&, const Kivo::ViewSpec&,
                                              const std::shared_ptr<Kivo::ReportReader>&,
                                              std::unique_ptr<Kivo::Subscription>&,
                                              Async::ActionHandler& handler) override {
            library_.events += "subscribe;";
            handler.Completed(Common::Error());
            return nullptr;
        }
        std::shared_ptr<Async::Job> Report(const Core::EntryPoint&, const Kivo::ViewSpec&,
                                           const std::shared_ptr<Kivo::ReportReader>&,
                                           Async::ActionHandler& handler) override {
            library_.events += "report;";
            handler.Completed(Common::Error());
            return nullptr;
        }

      private:
        RecordingLibrary& library_;
    };
};

struct IgnoringHandler final : Async::ActionHandler {
    void Completed(const Common::Error&) override {}
};

TEST(ScopedPostOfficeTest, StoreClosesOnceAfterItsPostOfficeIsGone) {
    RecordingLibrary library;
    {
        auto postOffice = Kivo::CreateScopedPostOffice(u"/data/x.db");
        IgnoringHandler handler;
        std::unique_ptr<Kivo::Subscription> subscription;
        struct NoReader final : Kivo::ReportReader {
            using Kivo::ReportReader::OnObject;
            void OnObject(const Zaph::View::SharedUnitPtr&) override {}
        };
        const auto reader = std::make_shared<NoReader>();
        postOffice->Report({}, {}, reader, handler);
        postOffice->Subscribe({}, {}, reader, subscription, handler);
    }
    EXPECT_EQ(library.events, "create;post office;report;subscribe;post office gone;delete;");
    EXPECT_EQ(library.openedWith, u"/data/x.db");
}

TEST(ScopedPostOfficeTest, StoreThatCannotOpenThrowsAndIsNeverClosed) {
    RecordingLibrary library;
    try {
        Kivo::CreateScopedPostOffice(u"bad");
        ADD_FAILURE() << "no error";
    } catch (const Common::Error& error) {
        EXPECT_EQ(error.Code(), 0xFC0040u);
    }
    EXPECT_EQ(library.events, "create;");
}

TEST(ScopedPostOfficeTest, StoreWithoutPostOfficeIsClosedOnceAndCloseFailuresAreTraced) {
    RecordingLibrary library;
    library.giveNoPostOffice = true;
    library.failDelete = true;
    KivoTest::TraceRecorder traces;
    EXPECT_THROW(Kivo::CreateScopedPostOffice(u"/data/x.db"), Common::Error);
    EXPECT_EQ(library.events, "create;post office;delete;");
    bool tracedClose = false;
    for (const auto& [level, error] : traces.Errors())
        tracedClose |= level == 4 && error.Code() == 0xFC0041u;
    EXPECT_TRUE(tracedClose);
}

TEST(ScopedPostOfficeTest, WithoutAStoreLibraryNothingOpens) {
    try {
        Kivo::CreateScopedPostOffice(u"/data/x.db");
        ADD_FAILURE() << "no error";
    } catch (const Common::Error& error) {
        EXPECT_EQ(error.Code(), Kivo::kStoreLibraryMissing);
    }
}

}  // namespace
