#include "enterprise/common/kivo/subscribe_without_report.h"

#include <atomic>
#include <mutex>
#include <vector>

#include "core/common/assert.h"
#include "enterprise/common/async/action_sequence.h"
#include "enterprise/common/async/error/cached_error.h"
#include "enterprise/common/async/job_control.h"
#include "enterprise/common/kivo/actions.h"
#include "enterprise/common/kivo/interfaces/safe_invoke.h"
#include "enterprise/common/zaph/copy_unit.h"

namespace Kivo {
namespace {

using Objects = std::vector<Zaph::View::SharedUnitPtr>;

class DecoratedSubscription final : public Subscription, private Async::ActionHandler {
  public:
    DecoratedSubscription(std::unique_ptr<Subscription> base, Objects kept)
        : base_(std::move(base)), kept_(std::move(kept)) {}

    std::shared_ptr<Async::Job> Read(SubscriptionReader& reader,
                                     Async::ActionHandler& handler) override {
        Async::ActionHandler* expected = nullptr;
        if (!current_.compare_exchange_strong(expected, &handler)) {
            handler.Completed(Async::InvalidResultError());
            return nullptr;
        }
        if (kept_.empty()) {
            try {
                return base_->Read(reader, *this);
            } catch (...) {
                current_.store(nullptr);
                throw;
            }
        }
        const Objects kept = std::move(kept_);
        kept_.clear();
        for (const Zaph::View::SharedUnitPtr& object : kept)
            Detail::SafeInvoke([&] { reader.OnCreated(object); });
        Completed(Common::Error());
        return nullptr;
    }

  private:
    void Completed(const Common::Error& error) override {
        // Cleared before the handler hears the end, so that it may start the next read at once.
        if (Async::ActionHandler* const handler = current_.exchange(nullptr))
            handler->Completed(error);
    }

    const std::unique_ptr<Subscription> base_;
    // Read only by the one read in progress.
    Objects kept_;
    std::atomic<Async::ActionHandler*> current_{nullptr};
};

class SubscribeWithoutReportJob final
    : public Async::BaseJob,
      public ReportReader,
      public std::enable_shared_from_this<SubscribeWithoutReportJob>,
      private Async::ActionHandler {
  public:
    SubscribeWithoutReportJob(Zaph::Construction::UnitFactory& factory,
                              std::unique_ptr<Subscription>& subscription,
                              Async::ActionHandler& handler)
        : factory_(factory), subscription_(subscription), handler_(handler) {}

    void Start(const Core::EntryPoint& entryPoint, PostOffice& postOffice, const ViewSpec& spec) {
        sequence_.Add(std::make_shared<Actions::Subscribe>(entryPoint, spec, *this,
                                                           baseSubscription_, postOffice));
        running_ = shared_from_this();
        control_.Run(sequence_, this);
    }

    void Cancel() override { control_.Cancel(); }

    using ReportReader::OnObject;
    void OnObject(const Zaph::View::SharedUnitPtr& object) override {
        Zaph::View::SharedUnitPtr copy(Zaph::Util::CopyUnit(*object, factory_));
        std::lock_guard<std::mutex> hold(keptLock_);
        kept_.push_back(std::move(copy));
    }

  private:
    void Completed(const Common::Error& error) override {
        // The job lives to the end of this call even when the caller lets go of it meanwhile.
        const std::shared_ptr<SubscribeWithoutReportJob> self = std::move(running_);
        Common::Error result = error;
        if (result.IsEmpty()) {
            COMMON_ASSERT_TEXT(baseSubscription_.get() != 0, "BaseSubscription.get() != 0");
            if (baseSubscription_ == nullptr) {
                result = Async::InvalidResultError();
            } else {
                Objects kept;
                {
                    std::lock_guard<std::mutex> hold(keptLock_);
                    kept.swap(kept_);
                }
                subscription_ = std::make_unique<DecoratedSubscription>(
                    std::move(baseSubscription_), std::move(kept));
            }
        }
        handler_.Completed(result);
    }

    Zaph::Construction::UnitFactory& factory_;
    std::unique_ptr<Subscription>& subscription_;
    Async::ActionHandler& handler_;
    std::mutex keptLock_;
    Objects kept_;
    std::unique_ptr<Subscription> baseSubscription_;
    Async::ActionSequence sequence_;
    Async::JobControl control_;
    std::shared_ptr<SubscribeWithoutReportJob> running_;
};

}  // namespace

std::shared_ptr<Async::Job> SubscribeWithoutReport(const Core::EntryPoint& entryPoint,
                                                   PostOffice& postOffice,
                                                   Zaph::Construction::UnitFactory& factory,
                                                   const ViewSpec& spec,
                                                   std::unique_ptr<Subscription>& subscription,
                                                   Async::ActionHandler& handler) {
    auto job = std::make_shared<SubscribeWithoutReportJob>(factory, subscription, handler);
    job->Start(entryPoint, postOffice, spec);
    return job;
}

}  // namespace Kivo
