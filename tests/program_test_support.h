// What the end-to-end tests of the programs share: the built kivo_dump and kivo_store, a store
// filled by kivo_store, and the records that kivo_dump prints.
#pragma once

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
/// The number of objects in a report.
size_t Objects(const std::string& report);
/// `output` with the time attribute of every change record written "T"; the times go to `times`.
std::string WithoutTimes(const std::string& output, std::vector<std::string>& times);

}  // namespace KivoProgramTest
