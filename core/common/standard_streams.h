// What every program of the project does with its standard streams.
//
// IgnoreBrokenPipe: a reader that goes away (`kivo_dump … | head`) or a full disk must end a run
// with the program's output error and its reason, not kill it silently. With SIGPIPE ignored a
// write to a closed pipe fails with EPIPE like any other failed write. Every program calls it
// first thing in main.
//
// SameOpenFile: whether two descriptors lead to the same open file (the same device and inode),
// as standard output and standard error do on a terminal. A program that writes its error texts
// to both streams writes them once when they are the same.
//
// Thread-safety: IgnoreBrokenPipe belongs at the start of main, before any thread exists.
// SameOpenFile may be called from any thread.
#pragma once

namespace Common {

/// Ignores SIGPIPE for the whole process, so that writes to a closed pipe fail with EPIPE.
void IgnoreBrokenPipe();

/// True when descriptors `first` and `second` are open on the same file; false when either is
/// closed or they differ.
[[nodiscard]] bool SameOpenFile(int first, int second);

}  // namespace Common
