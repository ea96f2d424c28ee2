// A view manager that plays a service for the listening tests, and the objects it sends.
//
// The test program in_process_dump_main.cpp serves it in its own process; the program tests use
// the same objects to know what the records must show. It answers version 2 of the interface
// (Subscribe, AddInterest, ReadSubscription: every Key it sends carries the trait "ChannelID",
// the interest, on its root) and version 1 (OpenDynamicView, AcquireUpdates).
//
// Scenarios, by name:
//   matching  three machines match when the subscription is made; no change follows
//   changes   nothing matches at first; the first read brings a creation of machine 4, an update
//             of machine 1 and a deletion of machine 2 (Types 0, 1 and 2)
//   failing   machine 1 matches; reads then fail with kServiceStopped
//   canceled  nothing matches; reads then fail with the job framework's canceled error, which the
//             tool did not ask for
//
// Reads wait like a service's long poll: until there is something to send, until the subscriber
// or view is released (Unsubscribe, CloseView, Release), or for kLongPoll, after which they
// answer nothing (or, in the failing scenarios, fail). So a shutdown never waits on a read.
//
// Thread-safety: every method may be called from any thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "enterprise/common/ipc/view_manager/view_manager.h"

namespace KivoDumpTest {

/// The failure of the "failing" scenario.
inline constexpr uint32_t kServiceStopped = 0x9C0777;
/// How long a read waits for something to send.
inline constexpr std::chrono::seconds kLongPoll{1};

/// Machine `n`: a composite "Key" (with "PrimaryKey") holding its name, and the trait "Is".
Zaph::View::SharedUnitPtr MachineObject(uint32_t n);
/// The key of machine `n`.
Zaph::View::SharedUnitPtr MachineKey(uint32_t n);
/// The values that change in machine `n`.
Zaph::View::SharedUnitPtr MachineDiff(uint32_t n);

/// See the file comment.
class ScriptedViewManager final : public Kivo::ViewManagement::ViewManager {
  public:
    /// Plays `scenario`; an unknown name plays "matching".
    explicit ScriptedViewManager(const std::string& scenario);

    /// Ends every waiting read now, and makes later reads answer at once.
    void Release();

    Common::Error OpenDynamicView(const Kivo::ViewSpec& specification, uint32_t& viewID,
                                  Kivo::ViewManagement::UnitVector& snapshot) override;
    Common::Error OpenStaticView(const Kivo::ViewSpec& specification,
                                 Kivo::ViewManagement::UnitVector& snapshot) override;
    Common::Error AcquireUpdates(uint32_t viewID,
                                 std::vector<Kivo::ViewManagement::ViewUpdate>& updates) override;
    Common::Error CloseView(uint32_t viewID) override;
    Common::Error Subscribe(const Kivo::ViewManagement::SubscriptionSpec& spec,
                            Kivo::ViewManagement::Subscription& subscription) override;
    Common::Error AddInterest(const Kivo::ViewManagement::TopicSpec& spec,
                              Kivo::ViewManagement::Topic& topic) override;
    Common::Error ReadSubscription(uint32_t subscriber,
                                   Kivo::ViewManagement::SubscriptionContent& updates) override;
    Common::Error RemoveInterest(const Kivo::ViewManagement::TopicID& topic) override;
    Common::Error Unsubscribe(uint32_t subscriber) override;

  private:
    // The objects that match, and the changes that follow (marked with `interest` unless 0).
    Kivo::ViewManagement::UnitVector Open(uint32_t interest);
    // Waits as the file comment says, then hands out what there is.
    Common::Error TakeUpdates(std::vector<Kivo::ViewManagement::ViewUpdate>& updates);

    uint32_t matching_ = 3;
    bool changes_ = false;
    uint32_t failure_ = 0;

    std::mutex lock_;
    std::condition_variable changed_;
    bool opened_ = false;
    bool released_ = false;
    uint32_t interests_ = 0;
    std::vector<Kivo::ViewManagement::ViewUpdate> pending_;
};

}  // namespace KivoDumpTest
