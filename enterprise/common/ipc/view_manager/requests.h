// The request factories of the view manager's methods: each builds the request of one method
// (header as in methods.h, every parameter with flags 0, output parameters by reference to the
// caller's variables, which must outlive the call) for the proxy and for the asynchronous
// request runners. A factory that meets a Common::Error writes it to the trace at level 1 and
// returns null, which Binding::Detail::Execute refuses without sending anything.
//
// Thread-safety: the factories may run on any thread.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "core/ipc_client_api/request.h"
#include "enterprise/common/ipc/view_manager/records.h"

namespace Kivo::ViewManagement {

std::unique_ptr<Binding::Request> CreateOpenDynamicViewRequest(const ViewSpec& specification,
                                                               uint32_t& viewID,
                                                               UnitVector& snapshot);
std::unique_ptr<Binding::Request> CreateOpenStaticViewRequest(const ViewSpec& specification,
                                                              UnitVector& snapshot);
std::unique_ptr<Binding::Request> CreateAcquireUpdatesRequest(uint32_t viewID,
                                                              std::vector<ViewUpdate>& updates);
std::unique_ptr<Binding::Request> CreateCloseViewRequest(uint32_t viewID);
std::unique_ptr<Binding::Request> CreateSubscribeRequest(const SubscriptionSpec& spec,
                                                         Subscription& subscription);
std::unique_ptr<Binding::Request> CreateAddInterestRequest(const TopicSpec& spec, Topic& topic);
std::unique_ptr<Binding::Request> CreateReadSubscriptionRequest(uint32_t subscriber,
                                                                SubscriptionContent& updates);
std::unique_ptr<Binding::Request> CreateRemoveInterestRequest(const TopicID& topic);
std::unique_ptr<Binding::Request> CreateUnsubscribeRequest(uint32_t subscriber);

}  // namespace Kivo::ViewManagement
