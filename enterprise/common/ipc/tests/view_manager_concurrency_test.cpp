// Several threads calling through one proxy and one service stub at once, while others register
// and look up component descriptors.

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "enterprise/common/ipc/component_info.h"
#include "enterprise/common/ipc/tests/ipc_test_support.h"
#include "enterprise/common/ipc/view_manager/component_descriptors.h"
#include "enterprise/common/ipc/view_manager/view_manager_stub.h"

namespace {

using namespace Kivo::ViewManagement;

// Answers from its arguments only, so any number of threads may call it.
class EchoViewManager final : public ViewManager {
  public:
    Common::Error OpenDynamicView(const Kivo::ViewSpec&, uint32_t&, UnitVector&) override {
        return Common::Error();
    }
    Common::Error OpenStaticView(const Kivo::ViewSpec& viewSpec, UnitVector& snapshot) override {
        snapshot = {viewSpec.Pattern, viewSpec.Options};
        return Common::Error();
    }
    Common::Error AcquireUpdates(uint32_t, std::vector<ViewUpdate>&) override {
        return Common::Error();
    }
    Common::Error CloseView(uint32_t) override { return Common::Error(); }
    Common::Error Subscribe(const SubscriptionSpec&, Subscription&) override {
        return Common::Error();
    }
    Common::Error AddInterest(const TopicSpec& spec, Topic& topic) override {
        topic.ID = TopicID{spec.Subscription, spec.Subscription + 1};
        topic.Content = {spec.Interest.Pattern};
        return Common::Error();
    }
    Common::Error ReadSubscription(uint32_t, SubscriptionContent&) override {
        return Common::Error();
    }
    Common::Error RemoveInterest(const TopicID&) override { return Common::Error(); }
    Common::Error Unsubscribe(uint32_t) override { return Common::Error(); }
};

TEST(ViewManagerConcurrency, ThreadsShareProxyStubAndRegistry) {
    auto accessPoint = std::make_shared<IpcTest::LoopbackAccessPoint>(
        std::make_shared<ViewManager_Stub>(std::make_shared<EchoViewManager>(), 2));
    ViewManager_Proxy proxy(accessPoint);
    constexpr uint32_t kThreads = 4;
    constexpr uint32_t kCalls = 100;
    std::atomic<uint32_t> wrong{0};
    std::vector<std::thread> threads;
    for (uint32_t t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (uint32_t i = 0; i < kCalls; ++i) {
                const uint32_t number = t * kCalls + i;
                UnitVector snapshot;
                if (!proxy.OpenStaticView(Kivo::ViewSpec{IpcTest::DWord(number), nullptr}, snapshot)
                         .IsEmpty() ||
                    snapshot.size() != 2 ||
                    !IpcTest::SameUnit(snapshot[0], IpcTest::DWord(number))) {
                    ++wrong;
                }
                Topic topic;
                if (!proxy.AddInterest(TopicSpec{number, {IpcTest::DWord(number), nullptr}}, topic)
                         .IsEmpty() ||
                    topic.ID.Interest != number + 1 || topic.Content.size() != 1) {
                    ++wrong;
                }
            }
        });
    }
    threads.emplace_back([] {
        for (uint32_t i = 0; i < kCalls; ++i) {
            RegisterComponentDescriptors();
        }
    });
    threads.emplace_back([&] {
        for (uint32_t i = 0; i < kCalls; ++i) {
            if (Core::FindComponentInfo(274) != nullptr &&
                Core::FindComponentInfo(274) != &ObjectRegistryComponentInfo()) {
                ++wrong;
            }
        }
    });
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(wrong.load(), 0u);
    EXPECT_EQ(accessPoint->CallCount(), 2 * kThreads * kCalls);
}

}  // namespace
