#include "enterprise/common/kivo/scoped_post_office.h"

#include "core/common/assert.h"
#include "core/common/trace.h"
#include "enterprise/common/async/error/cached_error.h"

namespace Kivo {
namespace {

// The level of a store that could not be closed: nobody is left to report to.
constexpr uint32_t kUnreportedTraceLevel = 4;

class ScopedCoreDispatcherImpl final : public ScopedCoreDispatcher {
  public:
    ScopedCoreDispatcherImpl(const std::u16string& connectionString,
                             Zaph::Construction::UnitFactory& factory)
        : customizer_(std::make_unique<NullStoreCustomizer>(connectionString)) {
        Common::Error error;
        KIVO_Create(connectionString, *customizer_, factory, core_, error);
        if (!error.IsEmpty())
            throw error;
    }

    ~ScopedCoreDispatcherImpl() override {
        Common::Error error;
        KIVO_Delete(core_, error);
        if (!error.IsEmpty())
            Common::TraceError(kUnreportedTraceLevel, error);
    }

    CoreObject& GetCoreObject() override { return *core_; }

  private:
    const std::unique_ptr<StoreCustomizer> customizer_;
    std::unique_ptr<CoreObject> core_;
};

class ScopedPostOffice final : public PostOffice {
  public:
    explicit ScopedPostOffice(const std::u16string& connectionString)
        : dispatcher_(connectionString, factory_),
          postOffice_(dispatcher_.GetCoreObject().CreatePostOffice()) {
        COMMON_ASSERT_TEXT(postOffice_ != nullptr, "The store gave no post office.");
        if (postOffice_ == nullptr)
            throw Async::InvalidResultError();
    }

    std::shared_ptr<Async::Job> Subscribe(const Core::EntryPoint& entryPoint, const ViewSpec& spec,
                                          const std::shared_ptr<ReportReader>& reader,
                                          std::unique_ptr<Subscription>& subscription,
                                          Async::ActionHandler& handler) override {
        return postOffice_->Subscribe(entryPoint, spec, reader, subscription, handler);
    }

    std::shared_ptr<Async::Job> Report(const Core::EntryPoint& entryPoint, const ViewSpec& spec,
                                       const std::shared_ptr<ReportReader>& reader,
                                       Async::ActionHandler& handler) override {
        return postOffice_->Report(entryPoint, spec, reader, handler);
    }

  private:
    // Declared in the order of construction; destroyed the other way round: the store's post
    // office first, then the store, then the factory its units came from.
    Zaph::Construction::InMemoryUnitFactory factory_;
    ScopedCoreDispatcherImpl dispatcher_;
    const std::unique_ptr<PostOffice> postOffice_;
};

}  // namespace

std::unique_ptr<ScopedCoreDispatcher> CreateScopedCoreDispatcher(
    const std::u16string& connectionString, Zaph::Construction::UnitFactory& factory) {
    return std::make_unique<ScopedCoreDispatcherImpl>(connectionString, factory);
}

std::unique_ptr<PostOffice> CreateScopedPostOffice(const std::u16string& connectionString) {
    return std::make_unique<ScopedPostOffice>(connectionString);
}

}  // namespace Kivo
