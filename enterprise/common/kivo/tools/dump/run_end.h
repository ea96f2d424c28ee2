// KivoDump::RunEnd: waits for what ends a report or listening, without a thread of the tool's own.
//
// A wait ends at the first of:
//   - when the wait watches it, a character on standard input (on a console: a line entered),
//     or its end; a standard input that cannot be read (a closed descriptor) counts as its end;
//   - SIGINT or SIGTERM, while the end is armed;
//   - Wake: the job waited for ended by itself, or standard output failed (armed: the output
//     failure listener of output.h wakes it).
//
// Wait polls up to three descriptors: standard input; the read end of a self-pipe into which the
// signal handler writes the signal's number; an eventfd that Wake counts up. A signal may reach
// any thread of the process (the libraries run their own), so it is caught with sigaction for the
// whole process, and its handler only writes to the pipe. The pipe is made once and never closed:
// a handler still running on another thread while a wait ends never writes into a descriptor
// that has come to mean something else.
//
//   [made] --Arm--> [armed: signals caught, output failure wakes] --Disarm--> [made]
//                     |
//                     Wait: returns at the first of the events above, and says which
//
// Disarm (or the destructor) puts back the signal dispositions found by Arm, so that a second
// signal while the job winds down ends the program as usual. A signal that the program found
// ignored (a background job of a shell) stays ignored.
//
// Thread-safety: Arm, Wait and Disarm on one thread; Wake from any thread and from a signal
// handler, while the object lives.
#pragma once

#include <signal.h>

#include <atomic>
#include <cstdint>

#include "core/common/catalog_ids.h"
#include "core/common/noncopyable.h"
#include "enterprise/common/async/action.h"
#include "enterprise/common/async/waiting_handler.h"

namespace KivoDump {

/// "Listening could not start": no descriptor to wait on (the system's error as reason).
inline constexpr uint32_t kListeningNotStarted = 12;

/// What ended a wait of RunEnd: standard input (a character, its end, or a poll that failed and
/// leaves nothing to wait on), a signal, or Wake.
enum class EndCause { kInput, kSignal, kWake };

/// See the file comment.
class RunEnd : private Common::NonCopyable {
  public:
    /// Makes the descriptors. Throws `failureCode` with the text `failureMessage`, and the
    /// system's error as reason, when they cannot be made.
    RunEnd(uint32_t failureCode, Common::MessageId failureMessage);
    /// Disarms, then closes the eventfd.
    ~RunEnd();

    /// Catches SIGINT and SIGTERM and listens for the failure of standard output.
    void Arm();
    /// Puts back what Arm changed; does nothing when not armed.
    void Disarm() noexcept;

    /// Blocks until one of the events of the file comment; standard input counts only when
    /// `watchInput`, and the character read is taken.
    EndCause Wait(bool watchInput);

    /// The number of the signal that ended the last wait (0 when none did).
    [[nodiscard]] int Signal() const noexcept { return signal_; }

    /// Ends the wait, or the next one.
    void Wake() noexcept;

  private:
    const int wakeDescriptor_;
    bool armed_ = false;
    int signal_ = 0;
    struct sigaction previousInterrupt_ {};
    struct sigaction previousTerminate_ {};
};

/// Hears the end of a job run under a job control: notes that it has ended, wakes the run end,
/// then lets Wait through. The wake comes first, since whoever passes Wait may destroy the end.
class JobEnd final : public Async::ActionHandler {
  public:
    explicit JobEnd(RunEnd& end) : end_(end) {}

    void Completed(const Common::Error& error) override;

    /// Whether the job has ended.
    [[nodiscard]] bool HasEnded() const { return ended_.load(); }
    /// Blocks until the job has ended; its result.
    [[nodiscard]] Common::Error Wait() { return synchronizer_.Wait(); }

  private:
    RunEnd& end_;
    std::atomic<bool> ended_{false};
    Async::Synchronizer synchronizer_;
};

/// Makes sure that descriptor 0 is open: a closed standard input becomes /dev/null, which reads
/// as its end. Call first thing, before the program opens anything that could take
/// descriptor 0 and be mistaken for standard input.
void ReserveStandardInput() noexcept;

}  // namespace KivoDump
