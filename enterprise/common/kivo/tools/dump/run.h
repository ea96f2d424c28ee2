// The flow of one run of kivo_dump, from the command line to the exit status.
//
// Thread-safety: called once, from the main thread.
#pragma once

namespace KivoDump {

/// Runs the tool with the process's arguments and returns its exit status.
int Run(int argc, char** argv);

}  // namespace KivoDump
