// Helpers of the remote subscription tests, beside those of the remote post office tests (the
// recording view manager served in-process): updates as the service sends them, and reads that
// tell what they gave.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <sstream>
#include <thread>

#include "enterprise/common/kivo/interfaces/subscription.h"
#include "enterprise/common/kivo/tests/remote_post_office_support.h"
#include "enterprise/common/zaph/tests/unit_builders.h"
#include "enterprise/common/zaph/unit_utilities.h"

namespace KivoTest {

using Kivo::ViewManagement::ViewUpdate;
using PostOfficeTest::Fault;
using PostOfficeTest::InProcessService;

/// An update of `type` (0 created, 1 updated, 2 deleted) of the DWord `object`, its own Key;
/// with a `channel`, the Key carries "ChannelID" as the service sends it.
inline ViewUpdate Change(uint32_t object, uint32_t type = 0, const uint32_t* channel = nullptr) {
    Zaph::Construction::UnitPtr key = ZaphTest::DWord(object);
    if (channel != nullptr)
        key = ZaphTest::WithTrait(std::move(key), "ChannelID", ZaphTest::DWord(*channel));
    return ViewUpdate{type, std::move(key), ZaphTest::DWord(object)};
}
inline ViewUpdate ChannelChange(uint32_t channel, uint32_t object, uint32_t type = 0) {
    return Change(object, type, &channel);
}

/// A marker: its Key holds `value` and carries "ChannelID" = `channel` and `marker` (Nil).
inline ViewUpdate Marker(uint32_t channel, const char* marker, Zaph::Construction::UnitPtr value) {
    value = ZaphTest::WithTrait(std::move(value), "ChannelID", ZaphTest::DWord(channel));
    return ViewUpdate{0, ZaphTest::WithTrait(std::move(value), marker, ZaphTest::Nil()), nullptr};
}

/// Waits (at most 30 s, yielding: the view manager offers nothing to wait on) until `views` has
/// heard `count` calls of `method`.
inline bool WaitCalls(const IpcTest::RecordingViewManager& views, uint32_t method, size_t count) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (views.Calls(method) < count && std::chrono::steady_clock::now() < deadline)
        std::this_thread::yield();
    return views.Calls(method) >= count;
}

/// The reads of one subscription, with this reader and handler. Each tells what the reader heard
/// ("created 5", "updated 5", "deleted 5": the key's DWord; "ChannelID shown" after a key that
/// carries it) and how the read ended (its code in hexadecimal) or "waits": "created 1: 0".
class Reading final : public Kivo::SubscriptionReader, public Async::ActionHandler {
  public:
    /// One read: what it gave by the time Read returned.
    std::string Read(Kivo::Subscription& subscription) {
        subscription.Read(*this, *this);
        return Told(false);
    }
    /// What the last read gave once it has ended (waited for at most 30 s).
    std::string Ended() { return Told(true); }
    /// Reads until a read fails (or does not end within 30 s): all it heard, and that end.
    std::string ToTheEnd(Kivo::Subscription& subscription) {
        std::string heard;
        for (;;) {
            subscription.Read(*this, *this);
            const std::string told = Told(true);
            const size_t end = told.rfind(": ");
            heard += (heard.empty() || end == 0 ? "" : ", ") + told.substr(0, end);
            if (!told.ends_with(": 0"))
                return heard + told.substr(end);
        }
    }

    using Kivo::SubscriptionReader::OnCreated, Kivo::SubscriptionReader::OnDeleted,
        Kivo::SubscriptionReader::OnUpdated;
    void OnCreated(const Zaph::View::SharedUnitPtr& key) override { Heard("created ", *key); }
    void OnUpdated(const Zaph::View::SharedUnitPtr& key,
                   const Zaph::View::SharedUnitPtr&) override {
        Heard("updated ", *key);
    }
    void OnDeleted(const Zaph::View::SharedUnitPtr& key) override { Heard("deleted ", *key); }
    /// Runs `then`, then records the end.
    void Completed(const Common::Error& error) override {
        if (then)
            then();
        std::lock_guard<std::mutex> hold(lock_);
        codes_.push_back(error.Code());
        ended_.notify_all();
    }
    std::function<void()> then;

  private:
    std::string Told(bool wait) {
        std::unique_lock<std::mutex> hold(lock_);
        ++reads_;
        ended_.wait_for(hold, std::chrono::seconds(wait ? 30 : 0),
                        [&] { return codes_.size() >= reads_; });
        std::ostringstream told;
        told << std::exchange(heard_, {}) << ": ";
        if (codes_.size() < reads_)
            told << "waits";
        else
            told << std::hex << codes_.back();
        reads_ = codes_.size();
        return told.str();
    }
    void Heard(const char* what, const Zaph::View::Unit& key) {
        std::lock_guard<std::mutex> hold(lock_);
        heard_ += (heard_.empty() ? what : std::string(", ") + what) +
                  std::to_string(Zaph::Util::GetValue<uint32_t>(key));
        if (Zaph::Util::HasTrait(key, Zaph::Name::Literal("ChannelID")))
            heard_ += ", ChannelID shown";
    }
    std::mutex lock_;
    std::condition_variable ended_;
    std::string heard_;
    std::vector<uint32_t> codes_;
    size_t reads_ = 0;
};

}  // namespace KivoTest
