// Binding::CallJob and JobManagement::JobHandler: one call in flight, and who hears its end.
//
// Binding::AccessPoint::Call (access_point.h) takes a request and gives a call job. The job does
// the call in one of two ways, exactly once:
//   Run    synchronously: packs the request, sends it, waits for the reply, lets the request read
//          it (Request::DeserializeReply), and returns the call's outcome.
//   Start  asynchronously: returns at once (its error, when not empty, means that nothing was
//          started and the handler will never be called); the handler then hears the end of
//          the call from the library's threads, never from the thread inside Start.
//
// The outcome of a call is the first of: the transport's failure; the reply that cannot be read
// (DeserializeReply threw); the error that the reply reports; success.
//
// Handler contract after a successful Start:
// - exactly one of OnSucceeded or OnFailed, then exactly one OnFinished, last. The caller's
//   output variables are fully read before OnSucceeded.
// - Nothing of the library touches the job, the request or the handler after OnFinished has
//   begun: a handler may destroy the job (and itself) inside OnFinished.
// - No lock of the library is held while a handler runs: a handler may start new calls, cancel
//   others and make synchronous calls on the same access point.
//
// Cancel asks the library to end the call early. It may be called from any thread, any number of
// times, also after the end, and never waits for the handler. A started call still in flight then
// ends promptly with OnFailed(the canceled error, code 0xF90002) and OnFinished; a reply that
// arrives later is dropped without being read. A Run in progress returns the canceled error.
//
// A job is destroyed by its owner: before Start or Run, after Run returned, or once OnFinished
// has begun; never while a started call is still running.
//
// Thread-safety: Run and Start are called once, from one thread; Cancel from any thread.
#pragma once

#include "core/common/error/error.h"
#include "core/common/noncopyable.h"

namespace JobManagement {

/// Hears the end of a started call job; implemented by the program.
class JobHandler : private Common::NonCopyable {
  public:
    virtual ~JobHandler() = default;
    /// The call succeeded; the output parameters have been read.
    virtual void OnSucceeded() = 0;
    /// The call failed with `error` (never empty).
    virtual void OnFailed(const Common::Error& error) = 0;
    /// The call has ended; always the last call to the handler.
    virtual void OnFinished() = 0;
};

}  // namespace JobManagement

namespace Binding {

/// See the file comment; implemented by the IPC client library.
class CallJob : private Common::NonCopyable {
  public:
    virtual ~CallJob() = default;
    /// Performs the call on the calling thread and returns its outcome.
    virtual Common::Error Run() = 0;
    /// Starts the call; `handler` must live until its OnFinished has begun.
    virtual Common::Error Start(JobManagement::JobHandler& handler) = 0;
    /// Asks the library to end the call early.
    virtual Common::Error Cancel() = 0;
};

}  // namespace Binding
