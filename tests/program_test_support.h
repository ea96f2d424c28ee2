// What the end-to-end tests of the programs share: commands of kivo_dump and kivo_store, the disks
// that they store and the records that kivo_dump prints of them, the listening scene played over
// each transport, and checks of reports and of the service's log.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/programs.h"

namespace KivoProgramTest {

using KivoTestSupport::Action;
using KivoTestSupport::Outcome;

/// The built kivo_dump and kivo_store.
std::string DumpProgram();
std::string StoreProgram();

/// Runs kivo_store on `store` with `arguments` (shell words); true when it succeeded.
bool RunStore(const std::string& store, const std::string& arguments);
/// What kivo_dump reports of `query` from `store` in DB mode.
Outcome DbReport(const std::string& store, const std::string& query);

/// Writes 1994 disks into `folder`/disks.txt and returns the kivo_store arguments that import
/// them with the sample's 6 objects: 2000 objects, what a remote query asks for without a limit.
std::string SampleAndDisksImport(const std::string& folder);
/// Query options asking for at most 5 objects, after a blank.
inline constexpr const char* kLimitFive =
    " options '.Composite().Trait(\"LimitOptions\").DWord(5).End().End()'";
/// The number of objects in a report.
size_t Objects(const std::string& report);
/// Whether `other` is byte for byte the DB report `db`, saying where they part when not.
::testing::AssertionResult SameReport(const std::string& db, const std::string& other);
/// Success when the log `path` (a service program's standard error) holds no sanitizer's report.
::testing::AssertionResult NoSanitizerReport(const std::string& path);
/// `output` with the time attribute of every change record written "T"; the times go to `times`.
std::string WithoutTimes(std::string output, std::vector<std::string>& times);

/// Disk `n` named `name` (an object of another `type` when given) in the unit construction text
/// format, quoted as a shell argument after a blank.
std::string DiskArgument(unsigned n, const std::string& name, const std::string& type = "Disk");
/// The change records that kivo_dump prints for disk `n`, their times written "T".
std::string CreatedDisk(unsigned n, const std::string& name);
std::string UpdatedDisk(unsigned n, const std::string& name);
std::string DeletedDisk(unsigned n);

/// The kivo_store arguments that make a store (when missing) holding disks 1 "a" and 2 "b" with
/// tape 9 "t" beside them.
std::string ListeningStore();
/// What a listener to "Disk" of such a store prints of its snapshot.
std::string ListeningSnapshot();
/// The kivo_store writes of the scene: disk 3 "c" put, disk 1 renamed "a2" beside a tape update
/// that never shows, tape and disk 2 deleted; and what a listener prints of them.
std::vector<std::string> ListeningWrites();
std::string ListeningChanges();
/// Runs `command`, a kivo_dump listening to "Disk" of `store` (for at most 60 s): once the
/// snapshot is printed, `writes` are made; once a deletion is printed, `end` runs when set. The
/// output has its times written "T".
Outcome ListenToChanges(const std::string& command, const std::string& store, const Action& end,
                        const std::vector<std::string>& writes = ListeningWrites());

}  // namespace KivoProgramTest
