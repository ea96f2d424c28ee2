// Binding::AccessPoint: one connection to one service, the program's door to the IPC client
// library.
//
// The library makes access points (connecting to a service on this machine or on a host) and the
// program holds them by shared pointer; commands and subscriptions keep their own references, so
// an access point lives as long as anything still calls through it.
//
//   std::unique_ptr<Binding::CallJob> job;
//   Common::Error error = accessPoint->Call(std::move(request), job);
//   if (error.IsEmpty()) error = job->Run();          // or job->Start(handler), see call_job.h
//
// The interfaces of this folder are everything that the program's request code asks of the
// library; the library implements AccessPoint and CallJob, the program implements Request,
// JobHandler and, for the service side, ServerComponent (server_component.h).
//
// Thread-safety: every operation may be called from any thread at any time, also concurrently.
#pragma once

#include <cstdint>
#include <memory>

#include "core/common/error/error.h"
#include "core/common/noncopyable.h"
#include "core/ipc_client_api/call_job.h"
#include "core/ipc_client_api/request.h"

namespace Binding {

/// See the file comment.
class AccessPoint : private Common::NonCopyable {
  public:
    virtual ~AccessPoint() = default;

    /// Makes the call job for `request`, whose ownership passes to the library in every case.
    /// Empty error: `job` holds the new call job, not yet started. Otherwise nothing was sent,
    /// `job` is left empty and the error is the call's outcome.
    virtual Common::Error Call(std::unique_ptr<Request> request, std::unique_ptr<CallJob>& job) = 0;

    /// A number that stays the same for as long as the underlying connection does; a reconnect
    /// gives a new number.
    virtual uint32_t GetConnectionID() const = 0;

    /// The interface version that the service's component `componentId` offers (for the view
    /// manager, 1 means methods 1 to 4 only). An error when the service has no such component or
    /// cannot be asked.
    virtual Common::Error GetComponentVersion(uint32_t componentId, uint32_t& version) = 0;
};

}  // namespace Binding
