// kivo_store's "retention" command: shows or changes how long a store's change log keeps its
// entries (platform/store/change_log.h).
//
//   kivo_store <connection> retention                        the retention now
//   kivo_store <connection> retention [age=<seconds>] [entries=<count>]
//                                                            changes what is given, in one batch
//
// "create" takes the same words for the new store's retention (defaults: 24 hours, 1,000,000
// entries). Either way the answer is the retention that then holds: "retention: age 86400 s,
// entries 1000000". Values are decimal digits only (C locale: no sign, no blanks, no grouping); a
// value that is not such a number, a name other than age or entries, or one given twice is a usage
// error (kUsage); values out of the store's bounds fail with KivoStore::kBadRetention.
//
// Thread-safety: called once, from the main thread.
#pragma once

#include <string>
#include <vector>

#include "platform/store/change_log.h"

namespace KivoStoreTool {

/// `retention` with what `arguments` (age=<seconds>, entries=<count>) ask for; raises the
/// usage error above for any other word. Bounds are the store's to check.
[[nodiscard]] KivoStore::Retention ApplyRetentionWords(KivoStore::Retention retention,
                                                       const std::vector<std::string>& arguments);

/// Runs the retention command on the store of `connection` with the words after "retention";
/// returns the line to print. Throws Common::Error.
[[nodiscard]] std::string RunRetention(const std::u16string& connection,
                                       const std::vector<std::string>& arguments);

}  // namespace KivoStoreTool
