// The service's long polls beside the store's own floor. 1,000 connections each open a dynamic
// view of one type and park one AcquireUpdates; one commit creating an object of that type wakes
// them all: the time from the commit to the last reply, and the memory and descriptors that each
// parked poll holds (its view included). The service is called directly, as a transport calls
// it. The floor: 1,000 feed subscriptions of the same type woken by one such commit, until all
// of them have read their batch on one thread. Each run makes a store of its own in a temporary
// folder.
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <stdlib.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <iterator>
#include <memory>
#include <mutex>
#include <vector>

#include "bench/bench_disks.h"
#include "enterprise/common/ipc/view_manager/methods.h"
#include "enterprise/common/ipc/view_manager/requests.h"
#include "platform/service/view_manager_service.h"
#include "platform/store/feed_subscription.h"

namespace {

using Clock = std::chrono::steady_clock;
using Zaph::View::SharedUnitPtr;
namespace Vm = Kivo::ViewManagement;

constexpr uint32_t kPolls = 1000;
constexpr int kWakes = 10;
// Far beyond a wake; a wait this long means the replies are lost.
constexpr auto kLostAfter = std::chrono::seconds(30);

// A store in a folder of its own, removed at the end.
struct ScratchStore {
    ScratchStore() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "kivo_service.XXXXXX").string();
        folder = ::mkdtemp(pattern.data());
        const std::string file = folder + "/s.db";
        KivoStore::CreateStore(std::u16string(file.begin(), file.end()));
        store = KivoStore::Store::Open(std::u16string(file.begin(), file.end()));
    }
    ~ScratchStore() {
        store.reset();
        std::error_code ignored;
        std::filesystem::remove_all(folder, ignored);
    }
    std::string folder;
    std::shared_ptr<KivoStore::Store> store;
};

// Every view and feed subscription holds descriptors of its own: 1,000 pass the usual soft limit.
bool RaiseDescriptorLimit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return false;
    limit.rlim_cur = limit.rlim_max;
    return ::setrlimit(RLIMIT_NOFILE, &limit) == 0;
}

// The resident memory (freed memory handed back first) and the open descriptors of the process.
struct Footprint {
    double residentBytes = 0;
    double descriptors = 0;
};

Footprint Measure() {
    ::malloc_trim(0);
    Footprint footprint;
    long pages = 0, resident = 0;
    if (FILE* statm = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(statm, "%ld %ld", &pages, &resident) == 2)
            footprint.residentBytes = static_cast<double>(resident) * ::sysconf(_SC_PAGESIZE);
        std::fclose(statm);
    }
    using Entries = std::filesystem::directory_iterator;
    footprint.descriptors = static_cast<double>(std::distance(Entries("/proc/self/fd"), Entries()));
    return footprint;
}

// Creates the disk `number` in a batch of its own; the time just before its Commit.
Clock::time_point CommitOneDisk(KivoStore::Store& store, uint32_t number) {
    std::unique_ptr<KivoStore::WriteBatch> batch = store.BeginBatch();
    batch->CreateObject(Bench::Disk(number));
    const Clock::time_point before = Clock::now();
    batch->Commit();
    return before;
}

// One wake per iteration: `park` readies the 1,000 waiters, `wake` commits and sets `taken` to
// the time from the commit to the last waiter's read; both return null or a failure. The
// footprint of the waiters (from `baseline`) is taken once they are first ready.
template <class Park, class Wake>
void TimeWakes(benchmark::State& state, const Footprint& baseline, Park&& park, Wake&& wake) {
    std::vector<double> millis;
    for (auto _ : state) {
        Clock::duration taken{};
        const char* failure = park();
        if (failure == nullptr && millis.empty()) {
            const Footprint parked = Measure();
            state.counters["kib_per_waiter"] =
                (parked.residentBytes - baseline.residentBytes) / 1024 / kPolls;
            state.counters["fds_per_waiter"] = (parked.descriptors - baseline.descriptors) / kPolls;
        }
        if (failure != nullptr || (failure = wake(taken)) != nullptr)
            return state.SkipWithError(failure);
        state.SetIterationTime(std::chrono::duration<double>(taken).count());
        millis.push_back(std::chrono::duration<double, std::milli>(taken).count());
    }
    std::sort(millis.begin(), millis.end());
    state.counters["wake_median_ms"] = millis[millis.size() / 2];
    state.counters["wake_max_ms"] = millis.back();
}

// The replies of one batch of calls: their packets, and when the last one came.
struct Replies {
    explicit Replies(size_t expected) : packets(expected) {}
    std::mutex mutex;
    std::condition_variable all;
    std::vector<std::vector<uint8_t>> packets;  // empty for a failed reply
    size_t count = 0;
    Clock::time_point last;
};

// Starts one call on `connection`, its reply kept in `replies` at `slot`.
void Call(KivoService::ViewManagerService& service, uint64_t connection,
          const std::unique_ptr<Binding::Request>& request, const std::shared_ptr<Replies>& replies,
          size_t slot) {
    service.StartCall(connection, request->GetMethodID(), request->Pack(),
                      [replies, slot](const Common::Error&, std::vector<uint8_t> packet) {
                          std::lock_guard<std::mutex> lock(replies->mutex);
                          replies->packets[slot] = std::move(packet);
                          if (++replies->count == replies->packets.size()) {
                              replies->last = Clock::now();
                              replies->all.notify_all();
                          }
                      });
}

// Waits for every reply (bounded) and reads reply `slot` into `request`'s outputs: whether it
// came and the method succeeded.
bool Read(Replies& replies, size_t slot, const std::unique_ptr<Binding::Request>& request) {
    std::unique_lock<std::mutex> lock(replies.mutex);
    if (!replies.all.wait_for(lock, kLostAfter,
                              [&] { return replies.count == replies.packets.size(); }))
        return false;
    try {
        return request->DeserializeReply(replies.packets[slot]).IsEmpty();
    } catch (const Common::Error&) {
        return false;
    }
}

void BM_ServiceLongPolls(benchmark::State& state) {
    if (!RaiseDescriptorLimit())
        return state.SkipWithError("the descriptor limit cannot be raised");
    ScratchStore scratch;
    KivoService::ServiceOptions options;
    options.pollBound = std::chrono::seconds(60);
    const auto service = KivoService::ViewManagerService::Start(scratch.store, options);
    const Footprint baseline = Measure();
    // Connection c + 1 holds views[c].
    std::vector<uint32_t> views(kPolls);
    for (uint32_t c = 0; c < kPolls; ++c) {
        Vm::UnitVector snapshot;
        const auto request =
            Vm::CreateOpenDynamicViewRequest({Bench::DiskPattern(), nullptr}, views[c], snapshot);
        const auto replies = std::make_shared<Replies>(1);
        Call(*service, c + 1, request, replies, 0);
        if (!Read(*replies, 0, request))
            return state.SkipWithError("a view did not open");
    }
    std::vector<Vm::ViewUpdate> unused;
    std::shared_ptr<Replies> replies;
    uint32_t disks = 0;
    const auto park = [&]() -> const char* {
        replies = std::make_shared<Replies>(kPolls);
        for (uint32_t c = 0; c < kPolls; ++c)
            Call(*service, c + 1, Vm::CreateAcquireUpdatesRequest(views[c], unused), replies, c);
        return service->Counts().parkedPolls == kPolls ? nullptr : "not every poll parked";
    };
    const auto wake = [&](Clock::duration& taken) -> const char* {
        const Clock::time_point committed = CommitOneDisk(*scratch.store, ++disks);
        for (uint32_t c = 0; c < kPolls; ++c) {
            std::vector<Vm::ViewUpdate> updates;
            if (!Read(*replies, c, Vm::CreateAcquireUpdatesRequest(views[c], updates)) ||
                updates.size() != 1)
                return "a reply is missing or does not hold the one creation";
        }
        taken = replies->last - committed;
        return nullptr;
    };
    TimeWakes(state, baseline, park, wake);
}
BENCHMARK(BM_ServiceLongPolls)->Iterations(kWakes)->UseManualTime()->Unit(benchmark::kMillisecond);

void BM_FeedSubscriptionsFloor(benchmark::State& state) {
    if (!RaiseDescriptorLimit())
        return state.SkipWithError("the descriptor limit cannot be raised");
    const int ready = ::epoll_create1(EPOLL_CLOEXEC);
    ScratchStore scratch;
    const Footprint baseline = Measure();
    std::vector<std::unique_ptr<KivoStore::FeedSubscription>> feeds;
    for (uint32_t i = 0; i < kPolls; ++i) {
        feeds.push_back(KivoStore::FeedSubscription::Start(scratch.store, Bench::DiskPattern(), 0,
                                                           [](const SharedUnitPtr&) {}));
        epoll_event event{EPOLLIN, {.u32 = i}};
        ::epoll_ctl(ready, EPOLL_CTL_ADD, feeds.back()->WakeDescriptor(), &event);
    }
    uint32_t disks = 0;
    const auto park = [&]() -> const char* {
        for (const auto& feed : feeds) {
            if (!feed->ReadPending().empty())
                return "a change was pending before the commit";
        }
        return nullptr;
    };
    const auto wake = [&](Clock::duration& taken) -> const char* {
        const Clock::time_point committed = CommitOneDisk(*scratch.store, ++disks);
        // One commit: no feed has a second batch to read.
        for (uint32_t done = 0; done < kPolls;) {
            epoll_event events[64];
            const int count = ::epoll_wait(ready, events, 64, 30'000);
            if (count <= 0)
                return "wakes are missing";
            for (int e = 0; e < count; ++e)
                done += feeds[events[e].data.u32]->ReadPending().empty() ? 0 : 1;
        }
        taken = Clock::now() - committed;
        return nullptr;
    };
    TimeWakes(state, baseline, park, wake);
    ::close(ready);
}
BENCHMARK(BM_FeedSubscriptionsFloor)
    ->Iterations(kWakes)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
