// Threads calling the view manager through one proxy over the in-process IPC client library.

#include <thread>

#include "core/ipc_client_api/local_components.h"
#include "enterprise/common/ipc/client/lib/client.h"
#include "enterprise/common/ipc/client/lib/scoped_ipc_client.h"
#include "enterprise/common/ipc/tests/ipc_test_support.h"
#include "enterprise/common/ipc/view_manager/view_manager_stub.h"
#include "enterprise/common/zaph/tests/unit_builders.h"
#include "platform/ipc_client/platform_library.h"

namespace {

using namespace IpcTest;

TEST(ViewManagerConcurrency, ThreadsShareAProxyOverTheLibrary) {
    const IPCClient::ScopedPlatformLibrary library;
    const auto service = std::make_shared<RecordingViewManager>();
    service->snapshot = {ZaphTest::DWord(1), nullptr};
    service->topic = Topic{{17, 3}, {ZaphTest::DWord(2)}};
    const Binding::ScopedLocalComponent component(46,
                                                  std::make_shared<ViewManager_Stub>(service, 2));
    const Binding::ScopedIPCClient client;
    std::unique_ptr<Binding::AccessPoint> accessPoint;
    ASSERT_TRUE(Binding::Detail::ConnectLocalImpl(46, 0, accessPoint).IsEmpty());
    ViewManager_Proxy proxy(std::move(accessPoint));

    constexpr size_t kThreads = 4, kCalls = 50;
    std::atomic<size_t> wrong{0};
    std::vector<std::thread> threads;
    for (size_t t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            for (size_t i = 0; i < kCalls; ++i) {
                UnitVector snapshot;
                Topic topic;
                wrong += !proxy.OpenStaticView({ZaphTest::DWord(i), nullptr}, snapshot).IsEmpty() ||
                         XmlOf(snapshot) != XmlOf(service->snapshot) ||
                         !proxy.AddInterest(TopicSpec{}, topic).IsEmpty() ||
                         XmlOf(topic) != XmlOf(service->topic);
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(wrong.load(), 0u);
    EXPECT_EQ(service->Calls(2) + service->Calls(6), 2 * kThreads * kCalls);
}

}  // namespace
