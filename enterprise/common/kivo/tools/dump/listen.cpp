#include "enterprise/common/kivo/tools/dump/listen.h"

#include <memory>

#include "core/common/catalog.h"
#include "enterprise/common/async/action_adaptors.h"
#include "enterprise/common/async/cyclic_runner.h"
#include "enterprise/common/async/error/chain.h"
#include "enterprise/common/async/job_control.h"
#include "enterprise/common/kivo/subscribe_without_report.h"
#include "enterprise/common/kivo/tools/dump/object_reader.h"
#include "enterprise/common/kivo/tools/dump/run_end.h"

namespace KivoDump {

void Listen(Kivo::PostOffice& postOffice, const Kivo::ViewSpec& spec) {
    RunEnd end(kListeningNotStarted, Common::kMsgListeningCannotWait);
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
    JobEnd readingEnd(end);
    Async::JobControl control;
    end.Arm();
    control.Run(reading, &readingEnd);
    end.Wait(true);
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
