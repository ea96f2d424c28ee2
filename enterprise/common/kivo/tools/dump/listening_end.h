// KivoDump::ListeningEnd: waits for what ends listening, without a thread of the tool's own.
//
// Listening ends at the first of:
//   - a character on standard input (on a console: a line entered), or its end; a standard input
//     that cannot be read (a closed descriptor) counts as its end;
//   - SIGINT or SIGTERM, while the end is armed;
//   - Wake: the cyclic read ended by itself, or standard output failed (armed: the output failure
//     listener of output.h wakes it).
//
// Wait polls three descriptors: standard input; the read end of a self-pipe into which the signal
// handler writes a byte; an eventfd that Wake counts up. A signal may reach any thread of the
// process (the libraries run their own), so it is caught with sigaction for the whole process,
// and its handler only writes to the pipe. The pipe is made once and never closed: a handler
// still running on another thread while listening ends never writes into a descriptor that has
// come to mean something else.
//
//   [made] --Arm--> [armed: signals caught, output failure wakes] --Disarm--> [made]
//                     |
//                     Wait: returns at the first of the events above
//
// Disarm (or the destructor) puts back the signal dispositions found by Arm. A signal that the
// program found ignored (a background job of a shell) stays ignored.
//
// Thread-safety: Arm, Wait and Disarm on one thread; Wake from any thread and from a signal
// handler, while the object lives.
#pragma once

#include <signal.h>

#include <cstdint>

#include "core/common/noncopyable.h"

namespace KivoDump {

/// "Listening could not start": no descriptor to wait on (the system's error as reason).
inline constexpr uint32_t kListeningNotStarted = 12;

/// See the file comment.
class ListeningEnd : private Common::NonCopyable {
  public:
    /// Makes the descriptors. Throws kListeningNotStarted when they cannot be made.
    ListeningEnd();
    /// Disarms, then closes the eventfd.
    ~ListeningEnd();

    /// Catches SIGINT and SIGTERM and listens for the failure of standard output.
    void Arm();
    /// Puts back what Arm changed; does nothing when not armed.
    void Disarm() noexcept;

    /// Blocks until one of the events of the file comment; takes the character that was read.
    void Wait();

    /// Ends the wait, or the next one.
    void Wake() noexcept;

  private:
    const int wakeDescriptor_;
    bool armed_ = false;
    struct sigaction previousInterrupt_ {};
    struct sigaction previousTerminate_ {};
};

/// Makes sure that descriptor 0 is open: a closed standard input becomes /dev/null, which reads
/// as its end. Call first thing, before the program opens anything that could take
/// descriptor 0 and be mistaken for standard input.
void ReserveStandardInput() noexcept;

}  // namespace KivoDump
