#include "enterprise/common/kivo/tests/scripted_view_manager_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>

#include "enterprise/common/ipc/client/lib/client.h"
#include "enterprise/common/ipc/view_manager/view_manager_stub.h"
#include "enterprise/common/zaph/tests/unit_builders.h"
#include "enterprise/common/zaph/unit_utilities.h"

namespace KivoTest {
namespace {

using Kivo::ViewManagement::ViewUpdate;

constexpr uint32_t kKivoService = 46;
constexpr auto kBound = std::chrono::seconds(30);

}  // namespace

void ScriptedViewManager::AnswerSubscribe(uint32_t subscriber, const Common::Error& outcome) {
    std::lock_guard<std::mutex> hold(lock_);
    subscriber_ = subscriber;
    subscribeOutcome_ = outcome;
}

void ScriptedViewManager::Queue(uint32_t method, std::vector<ViewUpdate> updates,
                                const Common::Error& outcome) {
    std::lock_guard<std::mutex> hold(lock_);
    (method == 3 ? acquired_ : read_).push_back(Answer{std::move(updates), outcome});
    changed_.notify_all();
}

void ScriptedViewManager::Close() {
    std::lock_guard<std::mutex> hold(lock_);
    closed_ = true;
    changed_.notify_all();
}

std::vector<ScriptedViewManager::Call> ScriptedViewManager::Calls() const {
    std::lock_guard<std::mutex> hold(lock_);
    return calls_;
}

std::vector<ScriptedViewManager::Call> ScriptedViewManager::CallsOf(uint32_t method) const {
    std::vector<Call> calls = Calls();
    std::erase_if(calls, [method](const Call& call) { return call.method != method; });
    return calls;
}

bool ScriptedViewManager::WaitCalls(uint32_t method, size_t count) const {
    std::unique_lock<std::mutex> hold(lock_);
    return changed_.wait_for(hold, kBound, [&] {
        return std::count_if(calls_.begin(), calls_.end(), [&](const Call& call) {
                   return call.method == method;
               }) >= static_cast<ptrdiff_t>(count);
    });
}

void ScriptedViewManager::Record(uint32_t method, uint32_t id,
                                 Kivo::ViewManagement::TopicID topic) {
    calls_.push_back(Call{method, id, topic});
    changed_.notify_all();
}

Common::Error ScriptedViewManager::OpenDynamicView(const Kivo::ViewSpec&, uint32_t&,
                                                   Kivo::ViewManagement::UnitVector&) {
    std::lock_guard<std::mutex> hold(lock_);
    Record(1, 0);
    return Common::Error();
}

Common::Error ScriptedViewManager::OpenStaticView(const Kivo::ViewSpec&,
                                                  Kivo::ViewManagement::UnitVector&) {
    std::lock_guard<std::mutex> hold(lock_);
    Record(2, 0);
    return Common::Error();
}

Common::Error ScriptedViewManager::AcquireUpdates(uint32_t viewID,
                                                  std::vector<ViewUpdate>& updates) {
    std::lock_guard<std::mutex> hold(lock_);
    Record(3, viewID);
    if (acquired_.empty())
        return Common::Error();
    Answer answer = std::move(acquired_.front());
    acquired_.pop_front();
    updates = std::move(answer.updates);
    return answer.outcome;
}

Common::Error ScriptedViewManager::CloseView(uint32_t viewID) {
    std::lock_guard<std::mutex> hold(lock_);
    Record(4, viewID);
    return Common::Error();
}

Common::Error ScriptedViewManager::Subscribe(const Kivo::ViewManagement::SubscriptionSpec&,
                                             Kivo::ViewManagement::Subscription& subscription) {
    std::lock_guard<std::mutex> hold(lock_);
    Record(5, 0);
    subscription.ID = subscriber_;
    return subscribeOutcome_;
}

Common::Error ScriptedViewManager::AddInterest(const Kivo::ViewManagement::TopicSpec&,
                                               Kivo::ViewManagement::Topic&) {
    std::lock_guard<std::mutex> hold(lock_);
    Record(6, 0);
    return Common::Error();
}

Common::Error ScriptedViewManager::ReadSubscription(
    uint32_t subscriber, Kivo::ViewManagement::SubscriptionContent& updates) {
    std::unique_lock<std::mutex> hold(lock_);
    Record(7, subscriber);
    const bool answered = changed_.wait_for(hold, kBound, [&] {
        return !read_.empty() || closed_ ||
               std::find(unsubscribed_.begin(), unsubscribed_.end(), subscriber) !=
                   unsubscribed_.end();
    });
    if (!answered || read_.empty())
        return Fault(kServiceClosed);
    Answer answer = std::move(read_.front());
    read_.pop_front();
    updates.TopicUpdates = std::move(answer.updates);
    return answer.outcome;
}

Common::Error ScriptedViewManager::RemoveInterest(const Kivo::ViewManagement::TopicID& topic) {
    std::lock_guard<std::mutex> hold(lock_);
    Record(8, topic.Interest, topic);
    return Common::Error();
}

Common::Error ScriptedViewManager::Unsubscribe(uint32_t subscriber) {
    std::lock_guard<std::mutex> hold(lock_);
    Record(9, subscriber);
    unsubscribed_.push_back(subscriber);
    return Common::Error();
}

InProcessViewManager::InProcessViewManager()
    : registration(kKivoService,
                   std::make_shared<Kivo::ViewManagement::ViewManager_Stub>(service, 2)),
      accessPoint(Connect()) {
    EXPECT_TRUE(client.InitError().IsEmpty());
}

InProcessViewManager::~InProcessViewManager() {
    // A read waiting in the service would hold the library's shutdown for its 30 s.
    service->Close();
}

std::shared_ptr<Binding::AccessPoint> InProcessViewManager::Connect() const {
    std::unique_ptr<Binding::AccessPoint> connected;
    EXPECT_TRUE(Binding::Detail::ConnectLocalImpl(kKivoService, 0, connected).IsEmpty());
    return connected;
}

Common::Error Fault(uint32_t code) {
    return Common::Error(COMMON_PLACE("KivoTest::Fault"), code, "test fault");
}

ViewUpdate Change(uint32_t object, uint32_t type) {
    return ViewUpdate{type, ZaphTest::DWord(object), ZaphTest::DWord(object)};
}

ViewUpdate ChannelChange(uint32_t channel, uint32_t object, uint32_t type) {
    return ViewUpdate{
        type, ZaphTest::WithTrait(ZaphTest::DWord(object), "ChannelID", ZaphTest::DWord(channel)),
        ZaphTest::DWord(object)};
}

ViewUpdate Marker(uint32_t channel, const char* marker, Zaph::Construction::UnitPtr value) {
    value = ZaphTest::WithTrait(std::move(value), "ChannelID", ZaphTest::DWord(channel));
    return ViewUpdate{0, ZaphTest::WithTrait(std::move(value), marker, ZaphTest::Nil()), nullptr};
}

void ChangeRecorder::OnCreated(const Zaph::View::SharedUnitPtr& object) {
    Record("created ", *object);
}

void ChangeRecorder::OnUpdated(const Zaph::View::SharedUnitPtr& key,
                               const Zaph::View::SharedUnitPtr&) {
    Record("updated ", *key);
}

void ChangeRecorder::OnDeleted(const Zaph::View::SharedUnitPtr& key) {
    Record("deleted ", *key);
}

std::vector<std::string> ChangeRecorder::Take() {
    std::lock_guard<std::mutex> hold(lock_);
    return std::exchange(heard_, {});
}

void ChangeRecorder::Record(const char* what, const Zaph::View::Unit& key) {
    std::lock_guard<std::mutex> hold(lock_);
    heard_.push_back(what + std::to_string(Zaph::Util::GetValue<uint32_t>(key)));
    if (Zaph::Util::HasTrait(key, Zaph::Name::Literal("ChannelID")))
        heard_.push_back("ChannelID shown");
}

void RecordingHandler::Completed(const Common::Error& error) {
    if (then)
        then(error);
    std::lock_guard<std::mutex> hold(lock_);
    codes_.push_back(error.Code());
    heard_.notify_all();
}

std::vector<uint32_t> RecordingHandler::WaitCodes(size_t count) {
    std::unique_lock<std::mutex> hold(lock_);
    heard_.wait_for(hold, kBound, [&] { return codes_.size() >= count; });
    return codes_;
}

size_t RecordingHandler::Count() {
    std::lock_guard<std::mutex> hold(lock_);
    return codes_.size();
}

}  // namespace KivoTest
