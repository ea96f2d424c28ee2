// Helpers of the remote post office tests: a recording view manager of either interface version
// served in-process with a post office over it, objects to send, and a reader and a handler that
// keep what they hear.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "core/ipc_client_api/local_components.h"
#include "enterprise/common/ipc/client/lib/client.h"
#include "enterprise/common/ipc/client/lib/scoped_ipc_client.h"
#include "enterprise/common/ipc/tests/ipc_test_support.h"
#include "enterprise/common/ipc/view_manager/view_manager_stub.h"
#include "enterprise/common/kivo/client/remoting.h"
#include "enterprise/common/zaph/unit_builder.h"
#include "platform/async_service/platform_service.h"
#include "platform/ipc_client/platform_library.h"

namespace PostOfficeTest {

using Kivo::ViewManagement::Topic;
using Zaph::Util::FluentUnitBuilder;
using Zaph::View::SharedUnitPtr;

inline constexpr uint32_t kService = 47;
inline const Core::EntryPoint kCaller{0x0123456789ABCDEF, "tools/dump/caller.cpp", 4242, 7};

inline Common::Error Fault(uint32_t code) {
    return Common::Error(COMMON_PLACE("PostOfficeTest::Fault"), code, "test fault");
}

/// An object named `name`; with `channel`, marked as the service marks the keys it sends.
inline SharedUnitPtr Named(const std::u16string& name,
                           std::optional<uint32_t> channel = std::nullopt) {
    FluentUnitBuilder builder(Zaph::Construction::DefaultUnitFactory());
    builder.Composite().Property("Name").String(name).End();
    if (channel)
        builder.Trait("ChannelID").DWord(*channel).End();
    return builder.End().TakeResult();
}

/// Hears the end of one operation.
class Ending final : public Async::ActionHandler {
  public:
    void Completed(const Common::Error& error) override {
        std::lock_guard<std::mutex> hold(lock_);
        heard_.push_back(error);
        changed_.notify_all();
    }
    /// The end, waited for at most 30 s.
    Common::Error Wait() {
        std::unique_lock<std::mutex> hold(lock_);
        if (!changed_.wait_for(hold, std::chrono::seconds(30), [this] { return !heard_.empty(); }))
            return Fault(0xDEAD);
        EXPECT_EQ(heard_.size(), 1u);
        return heard_.front();
    }
    bool Heard() {
        std::lock_guard<std::mutex> hold(lock_);
        return !heard_.empty();
    }

  private:
    std::mutex lock_;
    std::condition_variable changed_;
    std::vector<Common::Error> heard_;
};

/// Keeps the objects and creations it hears; throws after the first when asked to.
class Objects final : public Kivo::ReportReader, public Kivo::SubscriptionReader {
  public:
    using Kivo::ReportReader::OnObject;
    using Kivo::SubscriptionReader::OnCreated;
    using Kivo::SubscriptionReader::OnDeleted;
    using Kivo::SubscriptionReader::OnUpdated;

    void OnObject(const SharedUnitPtr& object) override { Keep(object); }
    void OnCreated(const SharedUnitPtr& object) override { Keep(object); }
    void OnUpdated(const SharedUnitPtr&, const SharedUnitPtr&) override { ADD_FAILURE(); }
    void OnDeleted(const SharedUnitPtr&) override { ADD_FAILURE(); }

    bool throwFirst = false;
    std::vector<SharedUnitPtr> heard;

  private:
    void Keep(const SharedUnitPtr& object) {
        heard.push_back(object);
        if (throwFirst && heard.size() == 1)
            throw Fault(0x77);
    }
};

enum class Operation { kReport, kOpenDynamicView, kAddInterest };

/// A recording view manager of interface `version`, served in-process, and the post office over
/// it. The subscriber of a version-2 view manager has nothing to read until the end.
struct InProcessService {
    explicit InProcessService(uint32_t version)
        : registration(kService,
                       std::make_shared<Kivo::ViewManagement::ViewManager_Stub>(views, version)) {
        views->HoldReads();
        views->viewID = 41;
        views->subscription.ID = 17;
        views->topic = Topic{{17, 3}, {}};
        std::unique_ptr<Binding::AccessPoint> connected;
        EXPECT_TRUE(Binding::Detail::ConnectLocalImpl(kService, 0, connected).IsEmpty());
        accessPoint = std::move(connected);
        postOffice = Kivo::CreateRemoteViewProvider(accessPoint);
    }
    ~InProcessService() {
        postOffice.reset();
        views->ReleaseReads();
    }

    /// Runs `operation` and waits for its end.
    Common::Error Run(Operation operation, const std::shared_ptr<Objects>& reader,
                      std::unique_ptr<Kivo::Subscription>& holder,
                      const Kivo::ViewSpec& spec = Kivo::ViewSpec{Named(u"pattern"), nullptr}) {
        Ending end;
        const std::shared_ptr<Async::Job> job =
            operation == Operation::kReport
                ? postOffice->Report(kCaller, spec, reader, end)
                : postOffice->Subscribe(kCaller, spec, reader, holder, end);
        return end.Wait();
    }

    AsyncService::ScopedAsyncService async{AsyncService::ServiceOptions{2, 4}};
    IPCClient::ScopedPlatformLibrary library;
    const std::shared_ptr<IpcTest::RecordingViewManager> views =
        std::make_shared<IpcTest::RecordingViewManager>();
    Binding::ScopedLocalComponent registration;
    Binding::ScopedIPCClient client;
    std::shared_ptr<Binding::AccessPoint> accessPoint;
    std::unique_ptr<Kivo::PostOffice> postOffice;
};

}  // namespace PostOfficeTest
