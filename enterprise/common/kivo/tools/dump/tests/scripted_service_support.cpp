#include "enterprise/common/kivo/tools/dump/tests/scripted_service_support.h"

#include <condition_variable>
#include <mutex>
#include <utility>
#include <vector>

#include "core/common/text.h"
#include "core/ipc_client_api/local_components.h"
#include "enterprise/common/async/error/cached_error.h"
#include "enterprise/common/ipc/view_manager/view_manager_stub.h"
#include "enterprise/common/zaph/tests/unit_builders.h"

namespace KivoDumpTest {
namespace {

using namespace ZaphTest;
using namespace Kivo::ViewManagement;

// `unit`, marked with the trait "ChannelID" when `interest` is not 0.
Zaph::View::SharedUnitPtr Marked(UnitPtr unit, uint32_t interest) {
    return Zaph::View::SharedUnitPtr(
        interest == 0 ? std::move(unit) : WithTrait(std::move(unit), "ChannelID", DWord(interest)));
}

UnitPtr Key(uint32_t n) {
    return WithTrait(Composite(Prop{"Name", Str(Common::ToUtf16("machine-" + std::to_string(n)))}),
                     "PrimaryKey", Nil());
}

UnitPtr Object(uint32_t n) {
    return WithTrait(Composite(Prop{"Key", Key(n)}), "Is", Str(u"Machine"));
}

class ScriptedViewManager final : public ViewManager {
  public:
    explicit ScriptedViewManager(const std::string& scenario)
        : matching_(scenario == "matching"  ? 3
                    : scenario == "failing" ? 1
                                            : 0),
          changes_(scenario == "changes"),
          failure_(scenario == "failing"    ? kServiceStopped
                   : scenario == "canceled" ? Async::kCanceled
                                            : 0) {}

    void Release() {
        std::lock_guard<std::mutex> hold(lock_);
        released_ = true;
        changed_.notify_all();
    }

    Common::Error OpenDynamicView(const Kivo::ViewSpec&, uint32_t& viewID,
                                  UnitVector& snapshot) override {
        snapshot = Open(0);
        viewID = 5;
        return Common::Error();
    }
    Common::Error OpenStaticView(const Kivo::ViewSpec&, UnitVector& snapshot) override {
        for (uint32_t n = 1; n <= matching_; ++n)
            snapshot.push_back(MachineObject(n));
        return Common::Error();
    }
    Common::Error AcquireUpdates(uint32_t, std::vector<ViewUpdate>& updates) override {
        return TakeUpdates(updates);
    }
    Common::Error CloseView(uint32_t) override { return Unsubscribe(0); }
    Common::Error Subscribe(const SubscriptionSpec&, Subscription& subscription) override {
        subscription.ID = 7;
        return Common::Error();
    }
    Common::Error AddInterest(const TopicSpec& spec, Topic& topic) override {
        std::unique_lock<std::mutex> hold(lock_);
        topic.ID = {spec.Subscription, ++interests_};
        hold.unlock();
        topic.Content = Open(topic.ID.Interest);
        return Common::Error();
    }
    Common::Error ReadSubscription(uint32_t, SubscriptionContent& updates) override {
        return TakeUpdates(updates.TopicUpdates);
    }
    Common::Error RemoveInterest(const TopicID&) override { return Common::Error(); }
    Common::Error Unsubscribe(uint32_t) override {
        Release();
        return Common::Error();
    }

  private:
    // The matching machines; queues the changes, their keys marked with `interest` unless 0.
    UnitVector Open(uint32_t interest) {
        UnitVector matching;
        for (uint32_t n = 1; n <= matching_; ++n)
            matching.push_back(MachineObject(n));
        std::lock_guard<std::mutex> hold(lock_);
        opened_ = true;
        if (changes_) {
            pending_.push_back(ViewUpdate{0, Marked(Object(4), interest), nullptr});
            pending_.push_back(ViewUpdate{1, Marked(Key(1), interest), MachineDiff(1)});
            pending_.push_back(ViewUpdate{2, Marked(Key(2), interest), nullptr});
            changed_.notify_all();
        }
        return matching;
    }

    Common::Error TakeUpdates(std::vector<ViewUpdate>& updates) {
        std::unique_lock<std::mutex> hold(lock_);
        const bool woken = changed_.wait_for(
            hold, kLongPoll, [this] { return released_ || (opened_ && !pending_.empty()); });
        if (!woken && opened_ && failure_ != 0)
            return Common::Error(COMMON_PLACE("KivoDumpTest::ScriptedViewManager::TakeUpdates"),
                                 failure_, "The scripted service has stopped.");
        updates = std::exchange(pending_, {});
        return Common::Error();
    }

    const uint32_t matching_;
    const bool changes_;
    const uint32_t failure_;
    std::mutex lock_;
    std::condition_variable changed_;
    bool opened_ = false;
    bool released_ = false;
    uint32_t interests_ = 0;
    std::vector<ViewUpdate> pending_;
};

struct Served {
    Served(const std::string& scenario, uint32_t version)
        : viewManager(std::make_shared<ScriptedViewManager>(scenario)),
          component(33, std::make_shared<ViewManager_Stub>(viewManager, version)) {}
    ~Served() { viewManager->Release(); }

    const std::shared_ptr<ScriptedViewManager> viewManager;
    const Binding::ScopedLocalComponent component;
};

}  // namespace

Zaph::View::SharedUnitPtr MachineObject(uint32_t n) {
    return Marked(Object(n), 0);
}

Zaph::View::SharedUnitPtr MachineKey(uint32_t n) {
    return Marked(Key(n), 0);
}

Zaph::View::SharedUnitPtr MachineDiff(uint32_t n) {
    return Marked(Composite(Prop{"Port", DWord(8000 + n)}), 0);
}

std::shared_ptr<void> ServeScriptedViewManager(const std::string& scenario, uint32_t version) {
    return std::make_shared<Served>(scenario, version);
}

}  // namespace KivoDumpTest
