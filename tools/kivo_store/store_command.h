// kivo_store: fills an object store from the command line.
//
//   kivo_store <connection> create [--if-missing] [age=<seconds>] [entries=<count>]
//   kivo_store <connection> put [--create] <object>...
//   kivo_store <connection> update <object>...
//   kivo_store <connection> delete <object or key>...
//   kivo_store <connection> import [--create] [<file>...]
//   kivo_store <connection> retention [age=<seconds>] [entries=<count>]   (retention_command.h)
//   kivo_store --help | --version
//
// Objects are written in the unit construction text format, one per argument, or any number
// in each file ("-" or no file at all: standard input). Every command applies all of its objects
// in one batch, so either all take effect or none; put and import store or update each object,
// update and delete require it to be stored. "--create" makes the store first when its file does
// not exist; "create --if-missing" succeeds, leaving it as it is, when a store of this library is
// already there (any other file stays an error). Each file is read whole (at most the file
// reader's bound), then its units are taken one at a time, so only one unit is held besides the
// text.
//
// Every input (the arguments, each file, standard input) is read whole before the store is
// opened for writing, so a slow or stuck input never holds the write lock; a FIFO that nobody
// writes is refused after 10 seconds (enterprise/common/zaph/parser/file_io.h). A connection
// string or file name that is not UTF-8 is refused rather than turned into another name.
//
// On success one line says what was done ("created 2, updated 1, unchanged 0, deleted 0"); a
// line that cannot be written is kOutputFailed, with the system's error (EPIPE, ENOSPC) as
// reason. A failure prints the error's text on standard error, and on standard output too when
// that is another file (so a terminal shows it once), and exits with the status of its code
// (core/common/exit_status.h). A usage mistake (kUsage) prints what is wrong and the usage on
// standard error only, with none of an error's internals, and exits with kUsageExitStatus (2).
//
// Thread-safety: called once, from the main thread.
#pragma once

#include <cstdint>
#include <ostream>

namespace KivoStoreTool {

/// A command line that names no command of the tool.
inline constexpr uint32_t kUsage = 0xFC0073;

/// Standard output could not be written.
inline constexpr uint32_t kOutputFailed = 0xFC0078;

/// Where the tool writes.
struct Streams {
    /// What was done.
    std::ostream& out;
    /// Error texts.
    std::ostream& errors;
    /// Whether error texts go to `out` as well (when it is not the same file as `errors`).
    bool errorsAlsoToOut;
};

/// Runs the tool with the process's arguments; returns the exit status.
[[nodiscard]] int Run(int argc, char** argv, const Streams& streams);

}  // namespace KivoStoreTool
