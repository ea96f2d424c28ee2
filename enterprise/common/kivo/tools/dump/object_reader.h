// The change records of kivo_dump: while it listens, every object that is created, updated or
// deleted among those that the query selects, printed as one record.
//
//   <created id="0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0" time="03/14/25 09:26:53">
//     Root (Composite)
//       ...the whole object...
//   </created>
//
//   <updated id="..." time="...">
//     <key>
//       Root (Composite)
//         ...the key...
//     </key>
//     <diff>
//       Root (Composite)
//         ...the values that changed...
//     </diff>
//   </updated>
//
//   <deleted id="..." time="...">
//     Root (Composite)
//       ...the key...
//   </deleted>
//
// and an empty line after each. The id is the object id (get_object_key.h) in the GUID text form:
// of the whole object's key for `created`, of the key received for `updated` and `deleted`. The
// time is the local time at which the record is composed, read to the millisecond and written in
// the environment's locale: its short date, one blank, its time (time_format.h). Bodies are the
// trace printout, under the header by two blanks, inside <key> and <diff> by four.
//
// The id comes first: a change whose object cannot be identified (no key, a null unit) throws
// before anything is written, and the delivering machinery traces it and goes on. A record is
// composed whole, then written in one piece, so records from different threads never interleave
// (record_text.h, output.h).
//
// Thread-safety: the reader holds no state; records may be composed and written on any thread.
#pragma once

#include <string>
#include <string_view>

#include "enterprise/common/kivo/interfaces/readers.h"

namespace KivoDump {

/// Prints each change it hears as a record on standard output; see the file comment.
class ObjectReader final : public Kivo::SubscriptionReader {
  public:
    using Kivo::SubscriptionReader::OnCreated;
    using Kivo::SubscriptionReader::OnDeleted;
    using Kivo::SubscriptionReader::OnUpdated;
    void OnCreated(const Zaph::View::SharedUnitPtr& object) override;
    void OnUpdated(const Zaph::View::SharedUnitPtr& key,
                   const Zaph::View::SharedUnitPtr& diff) override;
    void OnDeleted(const Zaph::View::SharedUnitPtr& key) override;
};

/// The time attribute of a record composed now; empty when the clock cannot be written.
[[nodiscard]] std::string ChangeTime();

/// The records of the file comment with the time attribute `time`, every line ended by a line
/// feed. Throw Common::Error when the object or key cannot be identified (0xFC000A, also for a
/// null unit) or printed. A null diff prints as an empty <diff>.
[[nodiscard]] std::string FormatCreatedRecord(const Zaph::View::SharedUnitPtr& object,
                                              std::string_view time);
[[nodiscard]] std::string FormatUpdatedRecord(const Zaph::View::SharedUnitPtr& key,
                                              const Zaph::View::SharedUnitPtr& diff,
                                              std::string_view time);
[[nodiscard]] std::string FormatDeletedRecord(const Zaph::View::SharedUnitPtr& key,
                                              std::string_view time);

}  // namespace KivoDump
