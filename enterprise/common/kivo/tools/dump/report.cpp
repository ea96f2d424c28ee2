#include "enterprise/common/kivo/tools/dump/report.h"

#include "core/common/catalog.h"
#include "core/common/guid.h"
#include "enterprise/common/async/job_control.h"
#include "enterprise/common/kivo/actions.h"
#include "enterprise/common/kivo/interfaces/get_object_key.h"
#include "enterprise/common/kivo/tools/dump/output.h"
#include "enterprise/common/kivo/tools/dump/record_text.h"
#include "enterprise/common/kivo/tools/dump/run_end.h"

namespace KivoDump {

namespace {

// Composes the `object` record of `object` in `record`.
void ComposeObjectRecord(const Zaph::View::SharedUnitPtr& object, RecordText& record) {
    // The id first: an object that cannot be identified leaves no trace on the output.
    char id[Common::kGuidTextLength];
    Common::WriteGuidText(Kivo::GetObjectId(*Kivo::GetObjectKey(object)), id);
    record << "<object id=\"" << std::string_view(id, sizeof id) << "\">\n";
    record.Body(*object, "  ");
    record << "</object>\n\n";
}

// Runs `report` to its end, unless a signal or a failure of standard output ends the wait first;
// see the file comment. The caller's output mode is in force.
int RunReport(Kivo::Actions::Report& report, RunEnd& end) {
    Async::JobControl control;
    JobEnd reportEnd(end);
    end.Arm();
    control.Run(report, &reportEnd);
    const EndCause cause = end.Wait(false);
    end.Disarm();
    // A report that has ended already keeps its result, whatever came with it; a wait that
    // failed (nothing to wait on) leaves the report to end by itself.
    const bool stopped = !reportEnd.HasEnded() && cause != EndCause::kInput;
    if (stopped) {
        control.Cancel();
    }
    const Common::Error result = reportEnd.Wait();
    if (stopped) {
        return cause == EndCause::kSignal ? 128 + end.Signal() : 0;
    }
    if (!result.IsEmpty()) {
        throw result;
    }
    return 0;
}

}  // namespace

std::string FormatObjectRecord(const Zaph::View::SharedUnitPtr& object) {
    RecordText record;
    ComposeObjectRecord(object, record);
    return std::string(record.Text());
}

void ReportReader::OnObject(const Zaph::View::SharedUnitPtr& object) {
    RecordText record;
    ComposeObjectRecord(object, record);
    WriteLines(record.Text());
}

int Report(Kivo::PostOffice& postOffice, const Kivo::ViewSpec& spec) {
    try {
        RunEnd end(kReportFailed, Common::kMsgReportCannotWait);
        ReportReader reader;
        const Common::SourceLocation caller = COMMON_PLACE("KivoDump::Report");
        Kivo::Actions::Report report(Core::EntryPoint{caller.tag, caller.file, caller.line, 0},
                                     spec, reader, postOffice);
        SetOutputMode(ReportOutputMode());
        struct RecordByRecordAgain {
            ~RecordByRecordAgain() { SetOutputMode(OutputMode::kRecordByRecord); }
        } modeBack;
        return RunReport(report, end);
    } catch (const Common::Error& failure) {
        Common::Error failed(COMMON_PLACE("KivoDump::Report"), kReportFailed,
                             Common::GetCatalogMessage(Common::kMsgReportFailed));
        failed.Add(failure);
        throw failed;
    }
}

}  // namespace KivoDump
