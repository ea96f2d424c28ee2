#include "enterprise/common/kivo/tools/dump/report.h"

#include "core/common/catalog.h"
#include "core/common/text.h"
#include "enterprise/common/kivo/interfaces/get_object_key.h"
#include "enterprise/common/kivo/synchronous_data_store.h"
#include "enterprise/common/kivo/tools/dump/output.h"
#include "enterprise/common/kivo/tools/dump/record_text.h"

namespace KivoDump {

std::string FormatObjectRecord(const Zaph::View::SharedUnitPtr& object) {
    // The id first: an object that cannot be identified leaves no trace on the output.
    const std::string id = Common::ToUtf8(Kivo::GetObjectIdText(object));
    RecordText record;
    record << "<object id=\"" << id << "\">\n";
    record.Body(*object, "  ");
    record << "</object>\n\n";
    return record.Text();
}

void ReportReader::OnObject(const Zaph::View::SharedUnitPtr& object) {
    WriteLines(FormatObjectRecord(object));
}

void Report(Kivo::PostOffice& postOffice, const Kivo::ViewSpec& spec) {
    try {
        Zaph::Construction::InMemoryUnitFactory factory;
        Kivo::SynchronousDataStore store(&postOffice, factory);
        ReportReader reader;
        const Common::SourceLocation caller = COMMON_PLACE("KivoDump::Report");
        store.Report(Core::EntryPoint{caller.tag, caller.file, caller.line, 0}, spec, reader);
    } catch (const Common::Error& failure) {
        Common::Error failed(COMMON_PLACE("KivoDump::Report"), kReportFailed,
                             Common::GetCatalogMessage(Common::kMsgReportFailed));
        failed.Add(failure);
        throw failed;
    }
}

}  // namespace KivoDump
