// A view manager that plays a service for the listening tests, served in the process of the test
// program (in_process_dump_main.cpp) as the service QOR (33) of this machine, and the machines
// that it sends. It answers interface version 2 (Subscribe, AddInterest, ReadSubscription; every
// Key it sends carries "ChannelID", the interest, on its root) or version 1 (OpenDynamicView,
// AcquireUpdates). Scenarios:
//   matching  machines 1 to 3 match when the subscription is made; no change follows
//   changes   nothing matches; the first read brings the creation of machine 4, an update of
//             machine 1 and the deletion of machine 2
//   failing   machine 1 matches; reads then fail with kServiceStopped
//   canceled  nothing matches; reads then fail with the canceled error 0xF90002
// A read waits, as a service's long poll does, until there is something to send, the subscriber
// or view is released (Unsubscribe, CloseView, the end of the serving) or kLongPoll has passed;
// then it answers what there is, or fails in the last two scenarios. So shutdown never waits on
// a read.
#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "enterprise/common/zaph/view.h"

namespace KivoDumpTest {

inline constexpr uint32_t kServiceStopped = 0x9C0777;
inline constexpr std::chrono::seconds kLongPoll{1};

/// Machine `n` (a "Key" composite with "PrimaryKey" and the machine's name), its key, and the
/// values that change in it.
Zaph::View::SharedUnitPtr MachineObject(uint32_t n);
Zaph::View::SharedUnitPtr MachineKey(uint32_t n);
Zaph::View::SharedUnitPtr MachineDiff(uint32_t n);

/// Serves the view manager of `scenario` with interface `version` until the result goes; its
/// waiting reads end then. Throws the error of the registration.
std::shared_ptr<void> ServeScriptedViewManager(const std::string& scenario, uint32_t version);

}  // namespace KivoDumpTest
