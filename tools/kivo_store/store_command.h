// kivo_store: fills an object store from the command line.
//
//   kivo_store <connection> create
//   kivo_store <connection> put [--create] <object>...
//   kivo_store <connection> update <object>...
//   kivo_store <connection> delete <object or key>...
//   kivo_store <connection> import [--create] [<file>...]
//
// Objects are written in the unit construction text format, one per argument, or any number
// in each file ("-" or no file at all: standard input). Every command applies all of its objects
// in one batch, so either all take effect or none; put and import store or update each object,
// update and delete require it to be stored. "--create" makes the store first when its file does
// not exist. Each file is read whole (at most the file reader's bound), then its units are taken
// one at a time, so only one unit is held besides the text.
//
// On success one line says what was done ("created 2, updated 1, unchanged 0, deleted 0"). A
// failure prints the error's text and exits with the status of its code (core/common/
// exit_status.h); usage errors are kUsage.
//
// Thread-safety: called once, from the main thread.
#pragma once

#include <cstdint>
#include <ostream>

namespace KivoStoreTool {

/// A command line that names no command of the tool.
inline constexpr uint32_t kUsage = 0xFC0073;

/// Runs the tool with the process's arguments, writing to `out`; returns the exit status.
int Run(int argc, char** argv, std::ostream& out);

}  // namespace KivoStoreTool
