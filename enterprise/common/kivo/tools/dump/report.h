// The report of kivo_dump: every object that the query selects, printed once as an `object`
// record.
//
//   <object id="0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0">
//     Root (Composite)
//       [PrimaryKey (Nil)]
//       Name (Common::String) = alpha
//   </object>
//   (an empty line)
//
// The id is the object id of the object's key (get_object_key.h) in the GUID text form; the body
// is the trace printout of the object (zaph/trace_unit.h) indented by two blanks. A record is
// composed whole before anything is written, then written as one piece: an object whose key
// cannot be found, or whose printout fails, is left out whole, and the delivering machinery
// traces why (0xFC0001 with the reason); records from different threads never interleave.
//
// The report runs as a job while the calling thread waits for its end (run_end.h); records go
// out in blocks, or one by one to a terminal (output.h):
//
//   reporting + waiting --the report ended---------------------> 0, or kReportFailed
//       |--SIGINT or SIGTERM: cancel; the job ends between two objects; the records composed
//       |  so far are written whole ---------------------------> 128 + the signal's number
//       '--standard output failed: cancel; nothing more can be seen --> 0 (the run then
//          reports the output's failure)
//
// Thread-safety: the reader holds no state; records may be written from any thread.
#pragma once

#include <cstdint>
#include <string>

#include "enterprise/common/kivo/interfaces/post_office.h"

namespace KivoDump {

/// "Report from data source has failed."
inline constexpr uint32_t kReportFailed = 5;

/// Prints each object it is given as an `object` record on standard output.
class ReportReader final : public Kivo::ReportReader {
  public:
    using Kivo::ReportReader::OnObject;
    void OnObject(const Zaph::View::SharedUnitPtr& object) override;
};

/// The `object` record of `object`, every line ended by a line feed. Throws the error of the id
/// (0xFC000A for an object without key) or of the printout.
std::string FormatObjectRecord(const Zaph::View::SharedUnitPtr& object);

/// Prints every object that `spec` selects in `postOffice`; see the file comment. Returns 0, or
/// 128 plus the number of the signal that interrupted the report. Throws kReportFailed with the
/// failure as its reason.
[[nodiscard]] int Report(Kivo::PostOffice& postOffice, const Kivo::ViewSpec& spec);

}  // namespace KivoDump
