// The flow of one run of kivo_dump, from the command line to the exit status.
//
// A program that serves the tool a component in its own process (a test program with a view
// manager of its own) runs the same flow with a companion: an object made once the IPC client
// library is initialised, before the query is built, and released once the query has run and
// the post office is gone, before the library shuts down.
//
// Thread-safety: called once, from the main thread.
#pragma once

#include <functional>
#include <memory>

namespace KivoDump {

/// Makes the companion of a run; see the file comment. It must not throw.
using RunCompanion = std::function<std::shared_ptr<void>()>;

/// Runs the tool with the process's arguments and returns its exit status.
int Run(int argc, char** argv);

/// Run, with the companion that `companion` makes (none when it is empty).
int Run(int argc, char** argv, const RunCompanion& companion);

}  // namespace KivoDump
