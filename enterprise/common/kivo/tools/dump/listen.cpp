#include "enterprise/common/kivo/tools/dump/listen.h"

#include <atomic>
#include <memory>

#include "core/common/catalog.h"
#include "enterprise/common/async/action_adaptors.h"
#include "enterprise/common/async/cyclic_runner.h"
#include "enterprise/common/async/error/chain.h"
#include "enterprise/common/async/job_control.h"
#include "enterprise/common/async/waiting_handler.h"
#include "enterprise/common/kivo/subscribe_without_report.h"
#include "enterprise/common/kivo/tools/dump/listening_end.h"
#include "enterprise/common/kivo/tools/dump/object_reader.h"

namespace KivoDump {
namespace {

// Hears the end of the cyclic read: notes that it has ended, wakes the wait, then lets the
// synchronizer through. The wake comes first, since whoever passes the synchronizer may destroy
// the listening end.
class ReadingEnd final : public Async::ActionHandler {
  public:
    explicit ReadingEnd(ListeningEnd& end) : end_(end) {}

    void Completed(const Common::Error& error) override {
        ended_.store(true);
        end_.Wake();
        synchronizer_.Completed(error);
    }

    [[nodiscard]] bool HasEnded() const { return ended_.load(); }
    [[nodiscard]] Common::Error Wait() { return synchronizer_.Wait(); }

  private:
    ListeningEnd& end_;
    std::atomic<bool> ended_{false};
    Async::Synchronizer synchronizer_;
};

}  // namespace

void Listen(Kivo::PostOffice& postOffice, const Kivo::ViewSpec& spec) {
    ListeningEnd end;
    Zaph::Construction::InMemoryUnitFactory factory;
    std::unique_ptr<Kivo::Subscription> subscription;
    {
        const Common::SourceLocation caller = COMMON_PLACE("KivoDump::Listen");
        const Core::EntryPoint entryPoint{caller.tag, caller.file, caller.line, 0};
        const std::shared_ptr<Async::Action> subscribe =
            Async::MakeAction([&](Async::ActionHandler& handler) {
                return Kivo::SubscribeWithoutReport(entryPoint, postOffice, factory, spec,
                                                    subscription, handler);
            });
        Async::JobControl control;
        Async::Synchronizer subscribed;
        control.Run(*subscribe, &subscribed);
        const Common::Error result = subscribed.Wait();
        if (!result.IsEmpty() || subscription == nullptr) {
            Common::Error failed(
                COMMON_PLACE("KivoDump::Listen"), kSubscribeWithoutReportFailed,
                Common::GetCatalogMessage(Common::kMsgSubscribeWithoutReportFailed));
            // An empty result adds nothing.
            throw failed.Add(result);
        }
    }

    ObjectReader reader;
    Async::Detail::CyclicRunAction reading(
        Async::MakeAction([&subscription, &reader](Async::ActionHandler& handler) {
            return subscription->Read(reader, handler);
        }));
    ReadingEnd readingEnd(end);
    Async::JobControl control;
    end.Arm();
    control.Run(reading, &readingEnd);
    end.Wait();
    // A second Ctrl-C while the job winds down ends the program as usual.
    end.Disarm();
    // Only a job that was still running when the tool canceled it may end by that cancel.
    const bool endedByItself = readingEnd.HasEnded();
    control.Cancel();
    const Common::Error result = readingEnd.Wait();
    if (endedByItself || !(result.IsEmpty() || Async::IsCanceled(result))) {
        Common::Error failed(COMMON_PLACE("KivoDump::Listen"), kSubscriptionEndedWithError,
                             Common::GetCatalogMessage(Common::kMsgSubscriptionEndedWithError));
        throw failed.Add(result);
    }
}

}  // namespace KivoDump
