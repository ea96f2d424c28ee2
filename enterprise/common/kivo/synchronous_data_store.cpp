#include "enterprise/common/kivo/synchronous_data_store.h"

#include "core/common/catalog.h"
#include "core/common/message_format.h"
#include "enterprise/common/async/job_control.h"
#include "enterprise/common/async/waiting_handler.h"
#include "enterprise/common/kivo/actions.h"

namespace Kivo {

void SynchronousDataStore::Report(const Core::EntryPoint& entryPoint, const ViewSpec& spec,
                                  ReportReader& reader) {
    if (postOffice_ == nullptr) {
        throw Common::Error(
            COMMON_PLACE("Kivo::SynchronousDataStore::Report"), kUnproperUse,
            Common::FormatCatalogMessage(Common::GetCatalogMessage(Common::kMsgKivoUnproperUse),
                                         {u"PostOffice"}));
    }
    Actions::Report report(entryPoint, spec, reader, *postOffice_);
    Async::JobControl control;
    Async::WaitingHandler done(false);
    control.Run(report, &done);
    const Common::Error result = done.Wait();
    if (!result.IsEmpty())
        throw result;
}

}  // namespace Kivo
