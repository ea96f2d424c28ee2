#include "enterprise/common/kivo/tools/dump/tests/scripted_service_support.h"

#include <string>
#include <utility>

#include "core/common/text.h"
#include "enterprise/common/async/error/cached_error.h"
#include "enterprise/common/zaph/tests/unit_builders.h"

namespace KivoDumpTest {
namespace {

using namespace ZaphTest;
using Kivo::ViewManagement::ViewUpdate;

constexpr uint32_t kSubscriberId = 7;
constexpr uint32_t kViewId = 5;

UnitPtr Key(uint32_t n) {
    return WithTrait(Composite(Prop{"Name", Str(Common::ToUtf16("machine-" + std::to_string(n)))}),
                     "PrimaryKey", Nil());
}

UnitPtr Object(uint32_t n) {
    return WithTrait(Composite(Prop{"Key", Key(n)}), "Is", Str(u"Machine"));
}

UnitPtr Diff(uint32_t n) {
    return Composite(Prop{"Port", DWord(8000 + n)});
}

// `unit` as the service sends a Key: marked with its interest, unless there is none (version 1).
Zaph::View::SharedUnitPtr Sent(UnitPtr unit, uint32_t interest) {
    return Zaph::View::SharedUnitPtr(
        interest == 0 ? std::move(unit) : WithTrait(std::move(unit), "ChannelID", DWord(interest)));
}

}  // namespace

Zaph::View::SharedUnitPtr MachineObject(uint32_t n) {
    return Zaph::View::SharedUnitPtr(Object(n));
}

Zaph::View::SharedUnitPtr MachineKey(uint32_t n) {
    return Zaph::View::SharedUnitPtr(Key(n));
}

Zaph::View::SharedUnitPtr MachineDiff(uint32_t n) {
    return Zaph::View::SharedUnitPtr(Diff(n));
}

ScriptedViewManager::ScriptedViewManager(const std::string& scenario) {
    if (scenario == "changes") {
        matching_ = 0;
        changes_ = true;
    } else if (scenario == "failing") {
        matching_ = 1;
        failure_ = kServiceStopped;
    } else if (scenario == "canceled") {
        matching_ = 0;
        failure_ = Async::kCanceled;
    }
}

void ScriptedViewManager::Release() {
    std::lock_guard<std::mutex> hold(lock_);
    released_ = true;
    changed_.notify_all();
}

Kivo::ViewManagement::UnitVector ScriptedViewManager::Open(uint32_t interest) {
    Kivo::ViewManagement::UnitVector matching;
    for (uint32_t n = 1; n <= matching_; ++n)
        matching.push_back(MachineObject(n));
    std::lock_guard<std::mutex> hold(lock_);
    opened_ = true;
    if (changes_) {
        pending_.push_back(ViewUpdate{0, Sent(Object(4), interest), nullptr});
        pending_.push_back(ViewUpdate{1, Sent(Key(1), interest), MachineDiff(1)});
        pending_.push_back(ViewUpdate{2, Sent(Key(2), interest), nullptr});
    }
    changed_.notify_all();
    return matching;
}

Common::Error ScriptedViewManager::TakeUpdates(std::vector<ViewUpdate>& updates) {
    std::unique_lock<std::mutex> hold(lock_);
    const bool woken = changed_.wait_for(
        hold, kLongPoll, [this] { return released_ || (opened_ && !pending_.empty()); });
    if (!woken && opened_ && failure_ != 0)
        return Common::Error(COMMON_PLACE("KivoDumpTest::ScriptedViewManager::TakeUpdates"),
                             failure_, "The scripted service has stopped.");
    updates = std::move(pending_);
    pending_.clear();
    return Common::Error();
}

Common::Error ScriptedViewManager::OpenDynamicView(const Kivo::ViewSpec&, uint32_t& viewID,
                                                   Kivo::ViewManagement::UnitVector& snapshot) {
    snapshot = Open(0);
    viewID = kViewId;
    return Common::Error();
}

Common::Error ScriptedViewManager::OpenStaticView(const Kivo::ViewSpec&,
                                                  Kivo::ViewManagement::UnitVector& snapshot) {
    for (uint32_t n = 1; n <= matching_; ++n)
        snapshot.push_back(MachineObject(n));
    return Common::Error();
}

Common::Error ScriptedViewManager::AcquireUpdates(uint32_t, std::vector<ViewUpdate>& updates) {
    return TakeUpdates(updates);
}

Common::Error ScriptedViewManager::CloseView(uint32_t) {
    Release();
    return Common::Error();
}

Common::Error ScriptedViewManager::Subscribe(const Kivo::ViewManagement::SubscriptionSpec&,
                                             Kivo::ViewManagement::Subscription& subscription) {
    subscription.ID = kSubscriberId;
    return Common::Error();
}

Common::Error ScriptedViewManager::AddInterest(const Kivo::ViewManagement::TopicSpec& spec,
                                               Kivo::ViewManagement::Topic& topic) {
    uint32_t interest;
    {
        std::lock_guard<std::mutex> hold(lock_);
        interest = ++interests_;
    }
    topic.ID = {spec.Subscription, interest};
    topic.Content = Open(interest);
    return Common::Error();
}

Common::Error ScriptedViewManager::ReadSubscription(
    uint32_t, Kivo::ViewManagement::SubscriptionContent& updates) {
    return TakeUpdates(updates.TopicUpdates);
}

Common::Error ScriptedViewManager::RemoveInterest(const Kivo::ViewManagement::TopicID&) {
    return Common::Error();
}

Common::Error ScriptedViewManager::Unsubscribe(uint32_t) {
    Release();
    return Common::Error();
}

}  // namespace KivoDumpTest
