// The post office of an open store: what the "DB" service of the client talks to.
//
// Report runs as a job on the async service (enterprise/common/async/work.h): the objects that
// match the view spec's pattern go to the reader one by one, in ascending object id order,
// each call protected as safe_invoke.h describes, and then the handler hears the end. The
// options' trait "LimitOptions" (an unsigned or signed integer; absent or 0: no limit) caps the
// count. Canceling the job ends it between two objects with the canceled error. A null pattern
// is refused at once with kNullPattern (the message says to ask for everything with a Nil
// pattern); a "LimitOptions" that is not a count with kBadOptions.
//
// Subscribe follows the store's change log (store_subscription.h): the snapshot goes to the
// reader as a report's objects do, under the same checks of pattern, reader and options, and
// the subscription's reads deliver the later changes one batch per read.
//
// Thread-safety: as any post office's. The post office and its jobs share the store, so a job
// may end after the post office was destroyed.
#pragma once

#include <memory>

#include "enterprise/common/kivo/interfaces/post_office.h"
#include "platform/store/store.h"

namespace KivoStore {

/// A new post office over `store`.
std::unique_ptr<Kivo::PostOffice> CreateStorePostOffice(std::shared_ptr<Store> store);

}  // namespace KivoStore
