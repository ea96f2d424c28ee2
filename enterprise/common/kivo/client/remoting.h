// The remote post offices: Kivo::PostOffice over a service's view manager (component 271).
//
//   std::unique_ptr<Kivo::PostOffice> postOffice = Kivo::CreateRemoteViewProvider(accessPoint);
//
// CreateRemoteViewProvider asks the access point for the interface version of the view manager:
// version 1 gives a RemotePostOffice (reports with OpenStaticView, subscriptions as dynamic views
// read with AcquireUpdates); any other version a ChanneledRemotePostOffice, whose subscriptions
// are interests (AddInterest) of one shared remote subscriber per connection, fed by a
// dispatcher (remote_subscription.h).
//
// Before a query is sent its options are copied and completed: "LimitOptions" becomes 2000 when
// it is absent or 0, and "EntryPoint" becomes a composite naming the caller (ID, File, Line).
//
// Thread-safety: Subscribe and Report may be called from any thread.
#pragma once

#include <memory>

#include "core/ipc_client_api/access_point.h"
#include "enterprise/common/kivo/interfaces/post_office.h"

namespace Kivo {

/// The post office for the view manager behind `accessPoint`; see the file comment. Throws
/// 0xFC0017 for a null access point and the error of GetComponentVersion unchanged.
[[nodiscard]] std::unique_ptr<PostOffice> CreateRemoteViewProvider(
    std::shared_ptr<Binding::AccessPoint> accessPoint);

}  // namespace Kivo
