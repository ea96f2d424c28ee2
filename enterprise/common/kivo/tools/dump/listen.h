// The listening of kivo_dump: the objects that the query selects as they are created, updated and
// deleted, printed as change records (object_reader.h) until the user ends it.
//
// Listen subscribes without a report (the objects that match at that moment come first, as
// `created` records), then reads the subscription over and over (a cyclic job), records printing
// on the threads of the job framework, while the main thread waits for what ends listening
// (run_end.h). Then it cancels the cyclic job and waits for its end:
//
//   subscribing --failed--> kSubscribeWithoutReportFailed
//       |
//   reading + waiting --a character, end of input, SIGINT, SIGTERM, output failed-->
//       |                 cancel; the job ends holding the cancel ----> returns (listening ended)
//       |                 cancel; the job ends with another error ----> kSubscriptionEndedWithError
//       '--the cyclic job ended by itself (whatever its error, a cancel from elsewhere included)
//                         -------------------------------------------> kSubscriptionEndedWithError
//
// A signal never cuts a record in half: records are written whole, and the signal only ends the
// wait. After a failed write to standard output nothing more would be seen, so listening ends as
// for Enter; the run then reports the output's failure (output.h).
//
// Thread-safety: call from the main thread, with no other listening in progress.
#pragma once

#include <cstdint>

#include "enterprise/common/kivo/interfaces/post_office.h"

namespace KivoDump {

/// "SubscribeWithoutReport has failed."
inline constexpr uint32_t kSubscribeWithoutReportFailed = 6;
/// "Subscription has ended with error."
inline constexpr uint32_t kSubscriptionEndedWithError = 7;

/// Listens to the objects that `spec` selects in `postOffice`; see the file comment. Throws
/// kSubscribeWithoutReportFailed or kSubscriptionEndedWithError, each with its cause as reason,
/// or kListeningNotStarted (run_end.h).
void Listen(Kivo::PostOffice& postOffice, const Kivo::ViewSpec& spec);

}  // namespace KivoDump
