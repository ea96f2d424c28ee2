// Binding::Detail::Execute: the synchronous call through an access point; and
// Binding::Detail::ConnectLocalImpl: an access point to a service on this machine.
//
// Execute hands the request to the access point (Binding::AccessPoint::Call), runs the call job
// to its end on the calling thread and returns the call's outcome (call_job.h): the error of
// Call, or else the error of the job's Run. The request is consumed in every case. An empty
// request (a builder that failed, see Binding::Detail::BuildRequest) sends nothing and gives
// kRequestNotBuilt.
//
// ConnectLocalImpl asks the IPC client library for the local service browser and connects it to
// the service. A library that gives no browser fails the connection with kNoLocalServiceBrowser,
// whose reason is the library's error; otherwise the browser's own error is the outcome. The
// browser is released in every case.
//
// Thread-safety: Execute blocks the calling thread until the call has ended; any number of
// threads may execute calls through one access point at once. ConnectLocalImpl may run on any
// thread once the library is initialised.
#pragma once

#include <cstdint>
#include <memory>

#include "core/common/error/error.h"
#include "core/ipc_client_api/access_point.h"

namespace Binding {

/// There was no request to send: its builder failed (and traced why).
inline constexpr uint32_t kRequestNotBuilt = 0xAD0020;
/// The IPC client library accepted a call but gave no call job for it.
inline constexpr uint32_t kNoCallJob = 0xAD0021;
/// The IPC client library gave no local service browser.
inline constexpr uint32_t kNoLocalServiceBrowser = 0xAD001F;

namespace Detail {

/// See the file comment.
Common::Error Execute(AccessPoint& accessPoint, std::unique_ptr<Request> request);

/// See the file comment. Empty error: `accessPoint` holds the connection to `serviceId`; `flags`
/// go to the browser unchanged (0 for our programs).
Common::Error ConnectLocalImpl(uint32_t serviceId, uint32_t flags,
                               std::unique_ptr<AccessPoint>& accessPoint);

}  // namespace Detail
}  // namespace Binding
