// Running one remote request as a job.
//
//   Kivo::AsyncRequest        one call of the IPC client library in flight; tells its completion
//                             target exactly once how the call ended, or that it was canceled
//   Kivo::RequestRunner       a job that owns the request in flight; its Cancel cancels the call
//   Kivo::SmartRequestRunner  a runner that builds its request (CreateRequest), reads the results
//                             of a successful call (OnReplied) and reports to its caller's handler
//
// The commands of the remote post office and the update pulls of subscriptions derive from
// SmartRequestRunner; make them with std::make_shared, so that a runner keeps itself alive while
// its call is in flight.
//
// An AsyncRequest goes through these states:
//
//   CREATED ---Start, Call had failed, or Start fails------------------> FINISHED
//      |                                                                   ^
//      '---Start: event reset, call job started---> STARTED ---OnFinished--'
//                                                     |
//                                                     '---Cancel--> CANCELED
//
//   FINISHED  the event is signalled and the target was told the call's error (OnSucceeded
//             leaves it empty, OnFailed sets it), unless a Cancel had taken the target before.
//   CANCELED  Cancel took the target, asked the library to end the call, waited on the event
//             until the library had left the handler (OnFinished), then told the target
//             0xF90002. A Cancel that finds the target already taken only waits.
//
// Invariants:
//   - The target is taken by one atomic exchange; whoever takes it (finishing or canceling) is
//     the only one to tell it, so the target hears exactly once.
//   - The event is unsignalled exactly while the library may still call the handler; Cancel and
//     the destructor wait on it, so the library never calls into a destroyed request.
//   - After OnFinished has signalled the event it touches nothing of the request: the request
//     may be destroyed by whoever the target tells.
//
// Errors: a Call that fails finishes the request at Start without any callback from the library;
// a Start that fails is recorded as the call's failure. The client sets no time limit and repeats
// nothing.
//
// A SmartRequestRunner's OnReplied may refuse a reply that arrived: the error it returns (a
// reply that names nothing, say) becomes the outcome its caller hears, so a runner checks the
// reply before it gives anything on.
//
// Thread-safety: Start once, from one thread; Cancel from any thread, any number of times; the
// handler slots run on the library's threads. A runner's OnReplied and its caller's handler run
// on the library's threads too; what they throw is traced at level 1 and changes nothing.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>

#include "core/common/win/event.h"
#include "core/ipc_client_api/access_point.h"
#include "enterprise/common/async/action.h"
#include "enterprise/common/async/job.h"

namespace Kivo {

/// See the file comment.
class AsyncRequest final : public Async::BaseJob, private JobManagement::JobHandler {
  public:
    /// Calls `accessPoint` with `request`; `target` hears the end once the request is started.
    AsyncRequest(std::shared_ptr<Binding::AccessPoint> accessPoint,
                 std::unique_ptr<Binding::Request> request, Async::ActionHandler& target);
    /// Waits until the library has finished with the call.
    ~AsyncRequest() override;

    /// Starts the call, or finishes at once when there is nothing to start.
    void Start();
    /// Ends the call early: the target hears 0xF90002 (see the file comment).
    void Cancel() override;
    /// Takes the target without telling it, ends the call early and waits for the library: for
    /// an owner that goes away and wants to hear nothing more.
    void Abandon();

  private:
    void OnSucceeded() override;
    void OnFailed(const Common::Error& error) override;
    void OnFinished() override;
    void Finish();

    const std::shared_ptr<Binding::AccessPoint> accessPoint_;
    std::unique_ptr<Binding::CallJob> job_;
    std::atomic<Async::ActionHandler*> target_;
    Common::Event libraryDone_{Common::Event::ResetMode::Manual, true};
    Common::Error error_;
};

/// A job that owns the request in flight; see the file comment.
class RequestRunner : public Async::BaseJob {
  public:
    /// Stops listening to a call still in flight and waits for the library.
    ~RequestRunner() override;

    /// Cancels the request in flight (if any).
    void Cancel() override;
    /// Builds and starts the request.
    virtual void StartRequest() = 0;

  protected:
    /// Keeps `request` as the request in flight.
    void SetRequest(std::shared_ptr<AsyncRequest> request);
    std::shared_ptr<AsyncRequest> GetRequest() const;

  private:
    mutable std::mutex requestLock_;
    std::shared_ptr<AsyncRequest> request_;
};

/// See the file comment.
class SmartRequestRunner : public RequestRunner,
                           public std::enable_shared_from_this<SmartRequestRunner>,
                           private Async::ActionHandler {
  public:
    /// `handler` hears the end of the request and must live until then.
    SmartRequestRunner(std::shared_ptr<Binding::AccessPoint> accessPoint,
                       Async::ActionHandler& handler);

    /// CreateRequest, then an AsyncRequest over it with this runner as its target, started. A
    /// request that cannot be built is the request's failure.
    void StartRequest() override;

  protected:
    /// Reads the results of a call that succeeded and gives them on; none by default. A non-empty
    /// result refuses the reply: it is the outcome the caller hears. What it throws is traced and
    /// changes nothing.
    [[nodiscard]] virtual Common::Error OnReplied() { return Common::Error(); }
    /// The request to send. May throw Common::Error.
    virtual std::unique_ptr<Binding::Request> CreateRequest() = 0;

    const std::shared_ptr<Binding::AccessPoint>& AccessPoint() const { return accessPoint_; }

  private:
    void Completed(const Common::Error& error) override;

    const std::shared_ptr<Binding::AccessPoint> accessPoint_;
    Async::ActionHandler& handler_;
    // This runner while its call is in flight, when it is held by shared pointer.
    std::shared_ptr<SmartRequestRunner> inFlight_;
};

}  // namespace Kivo
