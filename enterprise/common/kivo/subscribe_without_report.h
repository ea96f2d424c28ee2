// Kivo::SubscribeWithoutReport: a subscription whose first read delivers, as creations, the
// objects that matched when it was made.
//
//   std::unique_ptr<Kivo::Subscription> subscription;
//   job = Kivo::SubscribeWithoutReport(entryPoint, postOffice, factory, spec, subscription,
//                                      handler);
//   // once handler heard success: subscription->Read(reader, readHandler) ...
//
// The job subscribes through the post office and keeps deep copies (made with `factory`) of the
// objects that match at that moment instead of reporting them. On success the caller's holder
// receives a subscription that decorates the post office's: its first read gives each kept
// object to the reader's OnCreated, in the order received, and completes at once without asking
// the post office; a read when nothing is kept, and every later read, goes to the post office's
// subscription. A reader that throws while kept objects are delivered is traced (0xFC0001) and
// the next object follows.
//
// One read may be outstanding at a time: a second concurrent Read completes its handler at once
// with 0xF90001 ("ASYNC: The operation result is invalid.") and returns no job. A subscribe that
// fails reaches the handler with its error (wrapped by the job framework as the failing step of
// the job's sequence) and leaves the holder unchanged.
//
// Thread-safety: the job's callbacks run on the threads that complete the post office's work;
// the holder, the factory and the handler must live until the handler was called. The returned
// job may be canceled from any thread.
#pragma once

#include <memory>

#include "enterprise/common/kivo/interfaces/post_office.h"
#include "enterprise/common/zaph/unit_factory.h"

namespace Kivo {

/// Starts the subscribe job of the file comment; `handler` hears its end.
std::shared_ptr<Async::Job> SubscribeWithoutReport(const Core::EntryPoint& entryPoint,
                                                   PostOffice& postOffice,
                                                   Zaph::Construction::UnitFactory& factory,
                                                   const ViewSpec& spec,
                                                   std::unique_ptr<Subscription>& subscription,
                                                   Async::ActionHandler& handler);

}  // namespace Kivo
