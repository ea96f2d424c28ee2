// Subscriptions of the store's post office (post_office.h) over the change feed.
//
// SubscribeToStore runs as a job on the async service: it starts a FeedSubscription
// (feed_subscription.h), giving the snapshot's objects to the report reader one by one through
// the protected calls (safe_invoke.h), puts the new Kivo::Subscription in the caller's holder,
// and then reports success. Canceling the job ends the snapshot between two objects with the
// canceled error, and the holder stays as it was.
//
// Each Read of the subscription is a job that delivers one batch through the protected calls
// (DeliverUpdates) and then reports success; with nothing pending it waits for a commit that
// concerns the view. Canceling it, or destroying the subscription, ends a waiting read at once
// with the canceled error. A read that fails (history lost, a damaged log entry) fails the
// subscription: every later read fails the same way.
//
// A waiting read holds a thread of the async service, announced as a blocking wait so that the
// service can lend another. A service that parks many reads waits on the FeedSubscription's
// descriptor instead.
//
// Thread-safety: as any post office's and subscription's.
#pragma once

#include <memory>

#include "enterprise/common/kivo/interfaces/post_office.h"
#include "platform/store/store.h"

namespace KivoStore {

/// Starts the subscription described in the file comment.
std::shared_ptr<Async::Job> SubscribeToStore(std::shared_ptr<Store> store,
                                             Zaph::View::SharedUnitPtr pattern, uint64_t limit,
                                             std::shared_ptr<Kivo::ReportReader> reader,
                                             std::unique_ptr<Kivo::Subscription>& subscription,
                                             Async::ActionHandler& handler);

}  // namespace KivoStore
