#include "platform/store/post_office.h"

#include <atomic>
#include <limits>
#include <string>

#include "enterprise/common/async/error/cached_error.h"
#include "enterprise/common/async/finished_job.h"
#include "enterprise/common/async/work.h"
#include "enterprise/common/kivo/interfaces/safe_invoke.h"
#include "enterprise/common/zaph/value_access.h"
#include "platform/store/cancelable_job.h"
#include "platform/store/report_limit.h"
#include "platform/store/store_errors.h"
#include "platform/store/store_subscription.h"

namespace KivoStore {
namespace {

// One report, run on a thread of the async service.
class ReportWork final : public Async::Work {
  public:
    ReportWork(std::shared_ptr<Store> store, Zaph::View::SharedUnitPtr pattern,
               std::shared_ptr<Kivo::ReportReader> reader, uint64_t limit)
        : store_(std::move(store)),
          pattern_(std::move(pattern)),
          reader_(std::move(reader)),
          limit_(limit) {}

    Common::Error Execute() override {
        // Held only while the report runs, so that a reader that keeps its own job (to cancel
        // it) does not keep itself and the store alive through the job once the report is over.
        const std::shared_ptr<Store> store = std::move(store_);
        const std::shared_ptr<Kivo::ReportReader> heldReader = std::move(reader_);
        Kivo::ReportReader& reader = *heldReader;
        store->Report(
            *pattern_, limit_,
            [&reader](const Zaph::View::SharedUnitPtr& object) {
                Kivo::Detail::SafeInvoke([&] { reader.OnObject(object); });
            },
            &canceled_);
        return Common::Error();
    }

    void Cancel() { canceled_.store(true, std::memory_order_relaxed); }

  private:
    std::shared_ptr<Store> store_;
    const Zaph::View::SharedUnitPtr pattern_;
    std::shared_ptr<Kivo::ReportReader> reader_;
    const uint64_t limit_;
    std::atomic<bool> canceled_{false};
};

// The "LimitOptions" count of a `what` ("report", "subscription") of `spec` for `reader`; raises
// why it cannot start: no pattern, no reader, or a limit that is not a count.
uint64_t CheckedLimit(const char* what, const Kivo::ViewSpec& spec,
                      const std::shared_ptr<Kivo::ReportReader>& reader) {
    if (spec.Pattern == nullptr)
        throw Common::Error(COMMON_PLACE("KivoStore::CheckedLimit"), kNullPattern,
                            std::string("KIVO: A ") + what +
                                " needs a pattern; a Nil pattern without traits (.Nil().End()) "
                                "selects every object.");
    if (reader == nullptr)
        throw Common::Error(COMMON_PLACE("KivoStore::CheckedLimit"), kBadOptions,
                            std::string("KIVO: A ") + what + " needs a reader.");
    return ReportLimit(spec.Options);
}

class StorePostOffice final : public Kivo::PostOffice {
  public:
    explicit StorePostOffice(std::shared_ptr<Store> store) : store_(std::move(store)) {}

    std::shared_ptr<Async::Job> Subscribe(const Core::EntryPoint&, const Kivo::ViewSpec& spec,
                                          const std::shared_ptr<Kivo::ReportReader>& reader,
                                          std::unique_ptr<Kivo::Subscription>& subscription,
                                          Async::ActionHandler& handler) override {
        uint64_t limit = 0;
        try {
            limit = CheckedLimit("subscription", spec, reader);
        } catch (const Common::Error& error) {
            return Async::AlreadyFailedJob(handler, error);
        }
        return SubscribeToStore(store_, spec.Pattern, limit, reader, subscription, handler);
    }

    std::shared_ptr<Async::Job> Report(const Core::EntryPoint&, const Kivo::ViewSpec& spec,
                                       const std::shared_ptr<Kivo::ReportReader>& reader,
                                       Async::ActionHandler& handler) override {
        uint64_t limit = 0;
        try {
            limit = CheckedLimit("report", spec, reader);
        } catch (const Common::Error& error) {
            return Async::AlreadyFailedJob(handler, error);
        }
        // Canceling stops the work between objects, or before it starts.
        auto work = std::make_shared<ReportWork>(store_, spec.Pattern, reader, limit);
        auto job = std::make_shared<CancelableJob>(work, [work] { work->Cancel(); });
        job->Start(handler);
        return job;
    }

  private:
    const std::shared_ptr<Store> store_;
};

}  // namespace

std::unique_ptr<Kivo::PostOffice> CreateStorePostOffice(std::shared_ptr<Store> store) {
    return std::make_unique<StorePostOffice>(std::move(store));
}

}  // namespace KivoStore
