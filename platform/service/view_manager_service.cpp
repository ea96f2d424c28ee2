#include "platform/service/view_manager_service.h"

#include <exception>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>

#include "core/ipc_client_api/ipc_client.h"
#include "enterprise/common/ipc/component_info.h"
#include "enterprise/common/ipc/server_call.h"
#include "enterprise/common/ipc/view_manager/methods.h"
#include "platform/async_service/thread_pool.h"
#include "platform/service/event_loop.h"
#include "platform/service/poll_targets.h"
#include "platform/service/reply_bounds.h"
#include "platform/store/report_limit.h"
#include "platform/store/store_errors.h"

namespace KivoService {

using namespace Kivo::ViewManagement;

namespace {

template <class Method>
using Call = Binding::Detail::ServerCall<typename Method::Signature>;

template <class Method>
std::shared_ptr<Call<Method>> MakeCall() {
    return std::make_shared<Call<Method>>(Methods::HeaderOf<Method>(),
                                          Methods::ParametersOf<Method>());
}

Common::Error Unknown(const Common::SourceLocation& place, uint32_t code, std::string_view what,
                      uint32_t id) {
    return Common::Error(place, code,
                         "KIVO: " + std::string(what) + " " + std::to_string(id) +
                             " is not held by this connection; it was never given out, was "
                             "released, or belongs to another connection.");
}

// A failure that is not a Common::Error (memory exhausted, a thread refused), as an outcome.
Common::Error Unexpected(const Common::SourceLocation& place, const std::exception& exception) {
    return Common::Error(place, Binding::kIpcClientUnexpectedException,
                         std::string_view(exception.what()));
}

// A pool task that runs a function.
class FunctionTask final : public AsyncService::Task {
  public:
    explicit FunctionTask(std::function<void()> function) : function_(std::move(function)) {}
    void Run() noexcept override { function_(); }
    void Abandon() noexcept override {}  // Stop answers what the task would have.

  private:
    const std::function<void()> function_;
};

// The views and subscribers of one connection, numbered from 1 per kind.
struct Connection {
    std::mutex lock;
    uint32_t nextView = 1;
    uint32_t nextSubscriber = 1;
    std::map<uint32_t, std::shared_ptr<DynamicView>> views;
    std::map<uint32_t, std::shared_ptr<Subscriber>> subscribers;
};

// The next free number of `held`, never 0.
template <class Map>
uint32_t NextNumber(uint32_t& next, const Map& held) {
    while (next == 0 || held.count(next) > 0)
        ++next;
    return next++;
}

// The target that `id` names in `held`, or the unknown-identifier error.
template <class Map>
auto Find(Connection& connection, const Map& held, uint32_t id, uint32_t code,
          std::string_view what) {
    std::lock_guard<std::mutex> hold(connection.lock);
    const auto found = held.find(id);
    if (found == held.end())
        throw Unknown(COMMON_PLACE("KivoService::ViewManagerService::Find"), code, what, id);
    return found->second;
}

}  // namespace

struct ViewManagerService::State {
    State(std::shared_ptr<KivoStore::Store> service, const ServiceOptions& settings)
        : store(std::move(service)), options(settings) {}

    const std::shared_ptr<KivoStore::Store> store;
    const ServiceOptions options;
    LiveCounts counts;
    std::unique_ptr<EventLoop> loop;
    std::unique_ptr<AsyncService::ThreadPool> pool;

    mutable std::mutex lock;
    bool stopped = false;
    std::map<uint64_t, std::shared_ptr<Connection>> connections;

    // The connection `id`, made at its first call.
    std::shared_ptr<Connection> ConnectionOf(uint64_t id) {
        std::lock_guard<std::mutex> hold(lock);
        if (stopped)
            throw ServiceStopping(COMMON_PLACE("KivoService::ViewManagerService::StartCall"));
        std::shared_ptr<Connection>& connection = connections[id];
        if (connection == nullptr)
            connection = std::make_shared<Connection>();
        return connection;
    }

    // Answers `call` of `Method` at once with what `body` returns for its arguments.
    template <class Method, class Body>
    void Answer(std::span<const uint8_t> request, const Binding::ReplyCallback& reply,
                Body&& body) {
        const std::shared_ptr<Call<Method>> call = MakeCall<Method>();
        Common::Error result;
        try {
            call->ReadRequest(request);
            result = std::apply(body, call->GetArguments());
        } catch (const Common::Error& error) {
            result = error;  // the method's outcome, in the reply
        } catch (const std::exception& exception) {
            result = Unexpected(COMMON_PLACE("KivoService::ViewManagerService::Answer"), exception);
        }
        Send(reply, [&] { return call->WriteReply(result); });
    }

    // Sends the packet that `write` makes, or fails the reply when it cannot be made.
    template <class Write>
    static void Send(const Binding::ReplyCallback& reply, Write&& write) noexcept {
        std::vector<uint8_t> packet;
        Common::Error failure;
        try {
            packet = write();
        } catch (const Common::Error& error) {
            failure = error;
        } catch (const std::exception& exception) {
            failure = Unexpected(COMMON_PLACE("KivoService::ViewManagerService::Send"), exception);
        }
        reply(failure, std::move(packet));
    }

    static void Finish(std::unique_ptr<ParkedPoll> poll, Updates updates,
                       const Common::Error& result) noexcept {
        Send(poll->reply, [&] { return poll->write(std::move(updates), result); });
    }

    // A feed subscription of `spec`; its snapshot, bounded by the view's "LimitOptions" and by
    // the reply's limit, goes to `snapshot`.
    std::unique_ptr<KivoStore::FeedSubscription> StartFeed(const Kivo::ViewSpec& spec,
                                                           UnitVector& snapshot) {
        snapshot.clear();
        BoundedUnits units(snapshot, options.replyLimit);
        return KivoStore::FeedSubscription::Start(
            store, spec.Pattern, KivoStore::ReportLimit(spec.Options),
            [&](const Zaph::View::SharedUnitPtr& object) { units.Add(object); });
    }

    // --- Long polls (poll_targets.h draws the states) ---

    // Watches the descriptors of `target` and the deadline for `poll`; under the target's lock.
    Common::Error Arm(PollTarget& target, ParkedPoll& poll) {
        std::weak_ptr<PollTarget> weak = target.weak_from_this();
        const auto wake = [this, weak] {
            pool->Submit(std::make_unique<FunctionTask>([this, weak] {
                if (const std::shared_ptr<PollTarget> woken = weak.lock())
                    Resume(*woken);
            }));
        };
        poll.watched = target.WakeDescriptors();
        for (const int fd : poll.watched) {
            const Common::Error error = loop->WatchOnce(fd, wake);
            if (!error.IsEmpty()) {
                Disarm(poll);
                return error;
            }
        }
        const Common::Error error = loop->At(poll.deadline, wake, poll.timer);
        if (!error.IsEmpty())
            Disarm(poll);
        return error;
    }

    void Disarm(ParkedPoll& poll) noexcept {
        for (const int fd : poll.watched)
            loop->Unwatch(fd);
        poll.watched.clear();
        loop->CancelTimer(poll.timer);
    }

    // Under the target's lock: reads for `poll` and parks it when nothing is pending; what must
    // be answered now is left in `poll`, `updates` and `failure`.
    void ReadOrPark(PollTarget& target, std::unique_ptr<ParkedPoll>& poll, Updates& updates,
                    Common::Error& failure) {
        try {
            updates = target.ReadPending();
        } catch (const Common::Error& error) {
            failure = error;
            return;
        } catch (const std::exception& exception) {
            failure =
                Unexpected(COMMON_PLACE("KivoService::ViewManagerService::ReadOrPark"), exception);
            return;
        }
        if (!updates.empty() || EventLoop::Clock::now() >= poll->deadline)
            return;
        failure = Arm(target, *poll);
        if (failure.IsEmpty())
            target.Park(std::move(poll));
    }

    // A read of `target` from a client: answers the call parked before it with no changes.
    void Poll(PollTarget& target, std::unique_ptr<ParkedPoll> poll) {
        std::unique_ptr<ParkedPoll> replaced;
        Updates updates;
        Common::Error failure;
        {
            std::lock_guard<std::mutex> hold(target.lock);
            replaced = target.TakeParked();
            if (replaced != nullptr)
                Disarm(*replaced);
            ReadOrPark(target, poll, updates, failure);
        }
        if (replaced != nullptr)
            Finish(std::move(replaced), {}, Common::Error());
        if (poll != nullptr)
            Finish(std::move(poll), std::move(updates), failure);
    }

    // A parked call of `target` was woken, on a pool thread.
    void Resume(PollTarget& target) {
        std::unique_ptr<ParkedPoll> poll;
        Updates updates;
        Common::Error failure;
        {
            std::lock_guard<std::mutex> hold(target.lock);
            poll = target.TakeParked();
            if (poll == nullptr)
                return;  // answered already
            Disarm(*poll);
            ReadOrPark(target, poll, updates, failure);
        }
        if (poll != nullptr)
            Finish(std::move(poll), std::move(updates), failure);
    }

    // Closes `target` with `result` and answers its parked call: with the removal markers of
    // its interests when `markInterests`, else with `result`.
    void Release(PollTarget& target, const Common::Error& result, bool markInterests) {
        std::unique_ptr<ParkedPoll> poll;
        Updates markers;
        {
            std::lock_guard<std::mutex> hold(target.lock);
            poll = target.TakeParked();
            if (poll != nullptr)
                Disarm(*poll);
            markers = target.Close(result);
        }
        if (poll != nullptr && markInterests && !markers.empty())
            Finish(std::move(poll), std::move(markers), Common::Error());
        else if (poll != nullptr)
            Finish(std::move(poll), {}, result);
    }

    // Re-arms the call parked on `subscriber` after its interests changed; under its lock.
    // `change` runs between taking the old descriptors out and watching the new ones, so that
    // no descriptor is closed while it is watched.
    template <class Change>
    auto ChangeInterests(Subscriber& subscriber, Change&& change) {
        std::unique_ptr<ParkedPoll> poll;
        Common::Error failure;
        std::optional<decltype(change())> outcome;
        std::exception_ptr thrown;
        {
            std::lock_guard<std::mutex> hold(subscriber.lock);
            poll = subscriber.TakeParked();
            if (poll != nullptr)
                Disarm(*poll);
            try {
                outcome.emplace(change());
            } catch (...) {
                thrown = std::current_exception();  // the parked call is put back first
            }
            if (poll != nullptr) {
                failure = Arm(subscriber, *poll);
                if (failure.IsEmpty())
                    subscriber.Park(std::move(poll));
            }
        }
        // Answered outside the lock: the caller's handler may call the service again.
        if (poll != nullptr)
            Finish(std::move(poll), {}, failure);
        if (thrown)
            std::rethrow_exception(thrown);
        return *outcome;
    }

    template <class Method>
    void StartPoll(uint64_t connection, std::span<const uint8_t> request,
                   Binding::ReplyCallback reply, uint32_t code, std::string_view what) {
        const std::shared_ptr<Call<Method>> call = MakeCall<Method>();
        std::shared_ptr<PollTarget> target;
        try {
            call->ReadRequest(request);
            const std::shared_ptr<Connection> held = ConnectionOf(connection);
            const uint32_t id = std::get<0>(call->GetArguments());
            if constexpr (Method::kId == Methods::AcquireUpdates::kId)
                target = Find(*held, held->views, id, code, what);
            else
                target = Find(*held, held->subscribers, id, code, what);
        } catch (const Common::Error& error) {
            Send(reply, [&] { return call->WriteReply(error); });
            return;
        } catch (const std::exception& exception) {
            const Common::Error error =
                Unexpected(COMMON_PLACE("KivoService::ViewManagerService::StartPoll"), exception);
            Send(reply, [&] { return call->WriteReply(error); });
            return;
        }
        auto poll = std::make_unique<ParkedPoll>();
        poll->reply = std::move(reply);
        poll->deadline = EventLoop::Clock::now() + options.pollBound;
        poll->write = [call](Updates updates, const Common::Error& result) {
            auto& out = std::get<1>(call->GetArguments());
            if constexpr (Method::kId == Methods::AcquireUpdates::kId)
                out = std::move(updates);
            else
                out.TopicUpdates = std::move(updates);
            return call->WriteReply(result);
        };
        Poll(*target, std::move(poll));
    }

    // --- The methods answered at once ---

    Common::Error OpenStaticView(const Kivo::ViewSpec& spec, UnitVector& snapshot) {
        snapshot.clear();
        if (spec.Pattern == nullptr)
            return Common::Error(COMMON_PLACE("KivoService::ViewManagerService::OpenStaticView"),
                                 KivoStore::kNullPattern,
                                 "KIVO: A view needs a pattern; a Nil pattern without traits "
                                 "(.Nil().End()) selects every object.");
        BoundedUnits units(snapshot, options.replyLimit);
        store->Report(*spec.Pattern, KivoStore::ReportLimit(spec.Options),
                      [&](const Zaph::View::SharedUnitPtr& object) { units.Add(object); });
        return Common::Error();
    }

    Common::Error OpenDynamicView(Connection& connection, const Kivo::ViewSpec& spec,
                                  uint32_t& viewId, UnitVector& snapshot) {
        auto view = std::make_shared<DynamicView>(counts, StartFeed(spec, snapshot));
        std::lock_guard<std::mutex> hold(connection.lock);
        viewId = NextNumber(connection.nextView, connection.views);
        connection.views.emplace(viewId, std::move(view));
        return Common::Error();
    }

    template <class Map>
    Common::Error Close(Connection& connection, Map& held, uint32_t id, uint32_t code,
                        std::string_view what) {
        typename Map::mapped_type target;
        {
            std::lock_guard<std::mutex> hold(connection.lock);
            const auto found = held.find(id);
            if (found == held.end())
                return Unknown(COMMON_PLACE("KivoService::ViewManagerService::Close"), code, what,
                               id);
            target = std::move(found->second);
            held.erase(found);
        }
        Release(*target,
                Unknown(COMMON_PLACE("KivoService::ViewManagerService::Close"), code, what, id),
                false);
        return Common::Error();
    }

    Common::Error Subscribe(Connection& connection, Subscription& subscription) {
        auto subscriber = std::make_shared<Subscriber>(counts);
        std::lock_guard<std::mutex> hold(connection.lock);
        subscription.ID = NextNumber(connection.nextSubscriber, connection.subscribers);
        connection.subscribers.emplace(subscription.ID, std::move(subscriber));
        return Common::Error();
    }

    Common::Error AddInterest(Connection& connection, const TopicSpec& spec, Topic& topic) {
        const std::shared_ptr<Subscriber> subscriber =
            Find(connection, connection.subscribers, spec.Subscription, kUnknownSubscriber,
                 "Subscriber");
        topic = Topic{};
        std::unique_ptr<KivoStore::FeedSubscription> feed = StartFeed(spec.Interest, topic.Content);
        topic.ID.Subscriber = spec.Subscription;
        topic.ID.Interest =
            ChangeInterests(*subscriber, [&] { return subscriber->AddInterest(std::move(feed)); });
        return Common::Error();
    }

    Common::Error RemoveInterest(Connection& connection, const TopicID& topic) {
        const std::shared_ptr<Subscriber> subscriber = Find(
            connection, connection.subscribers, topic.Subscriber, kUnknownSubscriber, "Subscriber");
        if (!ChangeInterests(*subscriber,
                             [&] { return subscriber->RemoveInterest(topic.Interest); }))
            return Unknown(COMMON_PLACE("KivoService::ViewManagerService::RemoveInterest"),
                           kUnknownInterest, "Interest", topic.Interest);
        return Common::Error();
    }

    // Releases everything `connection` holds and answers its parked calls with `result`; with
    // `markInterests` a subscriber's read is answered instead with the removal of its interests.
    void Release(Connection& connection, const Common::Error& result, bool markInterests) {
        std::map<uint32_t, std::shared_ptr<DynamicView>> views;
        std::map<uint32_t, std::shared_ptr<Subscriber>> subscribers;
        {
            std::lock_guard<std::mutex> hold(connection.lock);
            views.swap(connection.views);
            subscribers.swap(connection.subscribers);
        }
        for (const auto& [id, view] : views)
            Release(*view, result, markInterests);
        for (const auto& [id, subscriber] : subscribers)
            Release(*subscriber, result, markInterests);
    }
};

std::shared_ptr<ViewManagerService> ViewManagerService::Start(
    std::shared_ptr<KivoStore::Store> store, const ServiceOptions& options) {
    COMMON_ASSERT(store != nullptr);
    if (store == nullptr)
        throw Common::Error(COMMON_PLACE("KivoService::ViewManagerService::Start"), kServiceFailure,
                            "KIVO: The service was given no store.");
    auto state = std::make_unique<State>(std::move(store), options);
    state->loop = EventLoop::Start();
    state->pool =
        std::make_unique<AsyncService::ThreadPool>(std::max<uint32_t>(options.workers, 1), 0);
    return std::shared_ptr<ViewManagerService>(new ViewManagerService(std::move(state)));
}

ViewManagerService::ViewManagerService(std::unique_ptr<State> state) : state_(std::move(state)) {}

ViewManagerService::~ViewManagerService() {
    Stop();
}

void ViewManagerService::Stop() noexcept {
    State& state = *state_;
    std::map<uint64_t, std::shared_ptr<Connection>> connections;
    {
        std::lock_guard<std::mutex> hold(state.lock);
        if (state.stopped)
            return;
        state.stopped = true;
        connections.swap(state.connections);
    }
    // Nothing wakes a parked call any more; then each is answered here.
    state.loop->Stop();
    state.pool->Stop();
    const Common::Error stopping =
        ServiceStopping(COMMON_PLACE("KivoService::ViewManagerService::Stop"));
    for (const auto& [id, connection] : connections)
        state.Release(*connection, stopping, true);
}

ServiceCounts ViewManagerService::Counts() const {
    ServiceCounts counts;
    {
        std::lock_guard<std::mutex> hold(state_->lock);
        counts.connections = state_->connections.size();
    }
    counts.views = state_->counts.views;
    counts.subscribers = state_->counts.subscribers;
    counts.interests = state_->counts.interests;
    counts.parkedPolls = state_->counts.parkedPolls;
    return counts;
}

uint32_t ViewManagerService::GetComponentID() const {
    return kViewManagerComponentID;
}

uint32_t ViewManagerService::GetInterfaceVersion() const {
    return state_->options.interfaceVersion;
}

void ViewManagerService::StartCall(uint64_t connection, uint32_t methodId,
                                   std::span<const uint8_t> request,
                                   Binding::ReplyCallback reply) noexcept {
    State& state = *state_;
    const auto held = [&] { return state.ConnectionOf(connection); };
    if (methodId >= Methods::Subscribe::kId && methodId <= Methods::Unsubscribe::kId &&
        state.options.interfaceVersion < 2) {
        // Answered in the method's own reply, so that the client reads a "result".
        const Common::Error notOffered(
            COMMON_PLACE("KivoService::ViewManagerService::StartCall"), kMethodNotOffered,
            "KIVO: This service offers view-manager interface version 1, which has no method " +
                std::to_string(methodId) + ".");
        const auto refuse = [&](auto&...) { return notOffered; };
        switch (methodId) {
            case Methods::Subscribe::kId:
                return state.Answer<Methods::Subscribe>(request, reply, refuse);
            case Methods::AddInterest::kId:
                return state.Answer<Methods::AddInterest>(request, reply, refuse);
            case Methods::ReadSubscription::kId:
                return state.Answer<Methods::ReadSubscription>(request, reply, refuse);
            case Methods::RemoveInterest::kId:
                return state.Answer<Methods::RemoveInterest>(request, reply, refuse);
            default:
                return state.Answer<Methods::Unsubscribe>(request, reply, refuse);
        }
    }
    switch (methodId) {
        case Methods::OpenDynamicView::kId:
            return state.Answer<Methods::OpenDynamicView>(
                request, reply, [&](const Kivo::ViewSpec& spec, uint32_t& id, UnitVector& units) {
                    return state.OpenDynamicView(*held(), spec, id, units);
                });
        case Methods::OpenStaticView::kId:
            return state.Answer<Methods::OpenStaticView>(
                request, reply, [&](const Kivo::ViewSpec& spec, UnitVector& units) {
                    held();  // refuses once stopped
                    return state.OpenStaticView(spec, units);
                });
        case Methods::AcquireUpdates::kId:
            return state.StartPoll<Methods::AcquireUpdates>(connection, request, std::move(reply),
                                                            kUnknownView, "View");
        case Methods::CloseView::kId:
            return state.Answer<Methods::CloseView>(request, reply, [&](uint32_t id) {
                const std::shared_ptr<Connection> owner = held();
                return state.Close(*owner, owner->views, id, kUnknownView, "View");
            });
        case Methods::Subscribe::kId:
            return state.Answer<Methods::Subscribe>(
                request, reply, [&](const SubscriptionSpec&, Subscription& subscription) {
                    return state.Subscribe(*held(), subscription);
                });
        case Methods::AddInterest::kId:
            return state.Answer<Methods::AddInterest>(
                request, reply, [&](const TopicSpec& spec, Topic& topic) {
                    return state.AddInterest(*held(), spec, topic);
                });
        case Methods::ReadSubscription::kId:
            return state.StartPoll<Methods::ReadSubscription>(connection, request, std::move(reply),
                                                              kUnknownSubscriber, "Subscriber");
        case Methods::RemoveInterest::kId:
            return state.Answer<Methods::RemoveInterest>(request, reply, [&](const TopicID& topic) {
                return state.RemoveInterest(*held(), topic);
            });
        case Methods::Unsubscribe::kId:
            return state.Answer<Methods::Unsubscribe>(request, reply, [&](uint32_t id) {
                const std::shared_ptr<Connection> owner = held();
                return state.Close(*owner, owner->subscribers, id, kUnknownSubscriber,
                                   "Subscriber");
            });
    }
    reply(Common::Error(COMMON_PLACE("KivoService::ViewManagerService::StartCall"),
                        Core::kUnknownMethod),
          {});
}

void ViewManagerService::ConnectionClosed(uint64_t connection) noexcept {
    std::shared_ptr<Connection> closed;
    {
        std::lock_guard<std::mutex> hold(state_->lock);
        const auto found = state_->connections.find(connection);
        if (found == state_->connections.end())
            return;
        closed = std::move(found->second);
        state_->connections.erase(found);
    }
    state_->Release(
        *closed,
        Common::Error(COMMON_PLACE("KivoService::ViewManagerService::ConnectionClosed"),
                      Binding::kIpcClientConnectionClosed, "KIVO: The connection has been closed."),
        false);
}

}  // namespace KivoService
