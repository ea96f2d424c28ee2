// Helpers of the client tests: a reader that tells in one line what it heard and how its
// operation ended, a recording view manager of either interface version served in-process with a
// post office over it, and updates as the service sends them.
#pragma once

#include <gtest/gtest.h>

#include <condition_variable>
#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "core/ipc_client_api/local_components.h"
#include "enterprise/common/ipc/client/lib/client.h"
#include "enterprise/common/ipc/client/lib/scoped_ipc_client.h"
#include "enterprise/common/kivo/client/remoting.h"
#include "enterprise/common/zaph/tests/unit_builders.h"
#include "enterprise/common/zaph/unit_utilities.h"
#include "platform/async_service/platform_service.h"
#include "platform/ipc_client/platform_library.h"
#include "tests/support/view_manager_doubles.h"

namespace KivoTest {

using Kivo::ViewManagement::ViewUpdate;
using Zaph::View::SharedUnitPtr;
using ZaphTest::DWord;

/// The caller that the post office tests name.
inline const Core::EntryPoint kCaller{0x0123456789ABCDEF, "tools/dump/caller.cpp", 4242, 7};

inline Common::Error Fault(uint32_t code) {
    return Common::Error(COMMON_PLACE("KivoTest::Fault"), code, "test fault");
}

/// `code` in hexadecimal, as a Reading tells it.
inline std::string Hex(uint32_t code) {
    char text[12];
    return std::string(text, std::snprintf(text, sizeof text, "%x", code));
}

/// An update of `type` (0 created, 1 updated, 2 deleted) of the DWord `object`, its own Key.
inline ViewUpdate Change(uint32_t object, uint32_t type = 0) {
    return ViewUpdate{type, DWord(object), DWord(object)};
}
/// The same with the Key marked, as the service marks it, with "ChannelID" = `channel`.
inline ViewUpdate ChannelChange(uint32_t channel, uint32_t object, uint32_t type = 0) {
    return ViewUpdate{type, ZaphTest::WithTrait(DWord(object), "ChannelID", DWord(channel)),
                      DWord(object)};
}
/// A marker: its Key holds `value` and carries "ChannelID" = `channel` and `marker` (Nil).
inline ViewUpdate Marker(uint32_t channel, const char* marker, Zaph::Construction::UnitPtr value) {
    value = ZaphTest::WithTrait(std::move(value), "ChannelID", DWord(channel));
    return ViewUpdate{0, ZaphTest::WithTrait(std::move(value), marker, ZaphTest::Nil()), nullptr};
}

/// The reader and handler of one operation at a time. It tells what it heard (an object's or a
/// key's DWord: "1", "created 1", "updated 1", "deleted 1"; "ChannelID shown" after a key that
/// carries it) and how the operation ended (its code in hexadecimal, or "waits"): "created 1: 0".
/// Waits for an end last at most 30 s.
class Reading final : public Kivo::ReportReader,
                      public Kivo::SubscriptionReader,
                      public Async::ActionHandler {
  public:
    /// Reads `subscription`: what the read gave by the time Read returned.
    std::string Read(Kivo::Subscription& subscription) {
        subscription.Read(*this, *this);
        return Told(End(false));
    }
    /// What the operation gave once it has ended.
    std::string Ended() { return Told(End()); }
    /// Reads until a read fails or does not end: all it heard, and that end.
    std::string ToTheEnd(Kivo::Subscription& subscription) {
        std::string end;
        do {
            subscription.Read(*this, *this);
            end = End();
        } while (end == "0");
        return Told(end);
    }
    /// How the next operation ended (waited for when `wait`); what it heard stays to be told.
    std::string End(bool wait = true) {
        std::unique_lock<std::mutex> hold(lock_);
        const auto ended = [this] { return ends_.size() > told_; };
        return ended_.wait_for(hold, std::chrono::seconds(wait ? 30 : 0), ended) ? ends_[told_++]
                                                                                 : "waits";
    }

    using Kivo::ReportReader::OnObject, Kivo::SubscriptionReader::OnCreated,
        Kivo::SubscriptionReader::OnDeleted, Kivo::SubscriptionReader::OnUpdated;
    void OnObject(const SharedUnitPtr& object) override { Heard("", *object); }
    void OnCreated(const SharedUnitPtr& key) override { Heard("created ", *key); }
    void OnUpdated(const SharedUnitPtr& key, const SharedUnitPtr&) override {
        Heard("updated ", *key);
    }
    void OnDeleted(const SharedUnitPtr& key) override { Heard("deleted ", *key); }
    /// Runs `then`, then records the end.
    void Completed(const Common::Error& error) override {
        if (then)
            then();
        std::lock_guard<std::mutex> hold(lock_);
        ends_.push_back(Hex(error.Code()));
        ended_.notify_all();
    }
    std::function<void()> then;
    /// The first thing heard throws after it has been told.
    bool throwFirst = false;

    /// What it heard since it last told, then `end`.
    std::string Told(const std::string& end) {
        std::lock_guard<std::mutex> hold(lock_);
        return std::exchange(heard_, {}) + ": " + end;
    }

  private:
    void Heard(const char* what, const Zaph::View::Unit& key) {
        std::lock_guard<std::mutex> hold(lock_);
        const bool first = heard_.empty();
        heard_ += (first ? what : std::string(", ") + what) +
                  std::to_string(Zaph::Util::GetValue<uint32_t>(key));
        if (Zaph::Util::HasTrait(key, Zaph::Name::Literal("ChannelID")))
            heard_ += ", ChannelID shown";
        if (first && throwFirst)
            throw Fault(0x77);
    }
    std::mutex lock_;
    std::condition_variable ended_;
    std::string heard_;
    std::vector<std::string> ends_;
    size_t told_ = 0;
};

/// A recording view manager of interface `version` served in-process, and the post office over
/// it. Views are 41, the subscriber 17 and interests 3; a subscriber's read with nothing queued
/// waits until the service goes.
struct InProcessService {
    explicit InProcessService(uint32_t version)
        : registration(47,
                       std::make_shared<Kivo::ViewManagement::ViewManager_Stub>(views, version)),
          postOffice(Kivo::CreateRemoteViewProvider(accessPoint)) {
        views->HoldReads(true);
        views->viewID = 41;
        views->subscription.ID = 17;
        views->topic.ID = {17, 3};
    }
    ~InProcessService() {
        postOffice.reset();
        views->HoldReads(false);
    }

    /// Subscribes into `holder`, or reports when it is null, and tells what the reader heard.
    std::string Run(std::unique_ptr<Kivo::Subscription>* holder, bool throwFirst = false,
                    const Kivo::ViewSpec& spec = {DWord(7), nullptr}) {
        const auto reading = std::make_shared<Reading>();
        reading->throwFirst = throwFirst;
        const std::shared_ptr<Async::Job> job =
            holder == nullptr ? postOffice->Report(kCaller, spec, reading, *reading)
                              : postOffice->Subscribe(kCaller, spec, reading, *holder, *reading);
        return reading->Ended();
    }

    AsyncService::ScopedAsyncService async{AsyncService::ServiceOptions{2, 4}};
    IPCClient::ScopedPlatformLibrary library;
    const std::shared_ptr<IpcTest::RecordingViewManager> views =
        std::make_shared<IpcTest::RecordingViewManager>();
    Binding::ScopedLocalComponent registration;
    Binding::ScopedIPCClient client;
    std::shared_ptr<Binding::AccessPoint> accessPoint = [] {
        std::unique_ptr<Binding::AccessPoint> connected;
        EXPECT_TRUE(Binding::Detail::ConnectLocalImpl(47, 0, connected).IsEmpty());
        return std::shared_ptr<Binding::AccessPoint>(std::move(connected));
    }();
    std::unique_ptr<Kivo::PostOffice> postOffice;
};

}  // namespace KivoTest
