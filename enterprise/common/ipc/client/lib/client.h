// Binding::Detail::Execute: the synchronous call through an access point.
//
// Execute hands the request to the access point (Binding::AccessPoint::Call), runs the call job
// to its end on the calling thread and returns the call's outcome (call_job.h): the error of
// Call, or else the error of the job's Run. The request is consumed in every case. An empty
// request (a builder that failed, see Binding::Detail::BuildRequest) sends nothing and gives
// kRequestNotBuilt.
//
// Thread-safety: blocks the calling thread until the call has ended; any number of threads may
// execute calls through one access point at once.
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

namespace Detail {

/// See the file comment.
Common::Error Execute(AccessPoint& accessPoint, std::unique_ptr<Request> request);

}  // namespace Detail
}  // namespace Binding
