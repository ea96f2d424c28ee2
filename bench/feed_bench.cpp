// The store's change feed: how long a commit takes to wake a waiting read, in this process and
// from another one (median and 99th percentile over 1,000 commits, one change each), and whether
// one subscription keeps up with a writer of 10,000 changes a second for 10 seconds (100
// batches of 100 updates a second, paced by a timerfd). Each run makes a store of its own in a
// temporary folder.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <sys/timerfd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <thread>
#include <vector>

#include "bench/bench_disks.h"
#include "enterprise/common/zaph/unit_builder.h"
#include "platform/store/feed_subscription.h"

namespace {

using Clock = std::chrono::steady_clock;
using Zaph::View::SharedUnitPtr;

constexpr int kCommits = 1000;

SharedUnitPtr AllObjects() {
    return SharedUnitPtr(Zaph::Util::FluentUnitBuilder(Zaph::Construction::DefaultUnitFactory())
                             .Nil()
                             .End()
                             .TakeResult());
}

// A store in a folder of its own, removed at the end.
struct ScratchStore {
    ScratchStore() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "kivo_feed.XXXXXX").string();
        folder = ::mkdtemp(pattern.data());
        const std::string file = folder + "/s.db";
        connection = std::u16string(file.begin(), file.end());
        KivoStore::CreateStore(connection);
    }
    ~ScratchStore() {
        std::error_code ignored;
        std::filesystem::remove_all(folder, ignored);
    }
    std::string folder;
    std::u16string connection;
};

// The writer's side: on each byte from `go`, commits one change and sends the time just before
// COMMIT to `times`.
void CommitOnRequest(const std::u16string& connection, int go, int times) {
    auto store = KivoStore::Store::Open(connection);
    char byte = 0;
    for (uint32_t i = 0; ::read(go, &byte, 1) == 1; ++i) {
        std::unique_ptr<KivoStore::WriteBatch> batch = store->BeginBatch();
        batch->StoreOrUpdate(Bench::Disk(1, i), nullptr);
        const int64_t before = Clock::now().time_since_epoch().count();
        batch->Commit();
        if (::write(times, &before, sizeof before) != sizeof before)
            return;
    }
}

void ReportLatencies(benchmark::State& state, std::vector<double>& micros) {
    std::sort(micros.begin(), micros.end());
    state.counters["median_us"] = micros[micros.size() / 2];
    state.counters["p99_us"] = micros[micros.size() * 99 / 100];
    state.counters["max_us"] = micros.back();
}

// Commit-to-wake latency with the writer in a thread (`crossProcess` false) or a child process.
void RunWakeLatency(benchmark::State& state, bool crossProcess) {
    for (auto _ : state) {
        ScratchStore scratch;
        int go[2], times[2];
        if (::pipe(go) != 0 || ::pipe(times) != 0) {
            state.SkipWithError("no pipes");
            return;
        }
        pid_t child = -1;
        std::thread writer;
        if (crossProcess) {
            child = ::fork();
            if (child == 0) {
                ::close(go[1]);
                ::close(times[0]);
                CommitOnRequest(scratch.connection, go[0], times[1]);
                _exit(0);
            }
        } else {
            writer = std::thread([&] { CommitOnRequest(scratch.connection, go[0], times[1]); });
        }
        auto store = KivoStore::Store::Open(scratch.connection);
        auto subscription =
            KivoStore::FeedSubscription::Start(store, AllObjects(), 0, [](const SharedUnitPtr&) {});
        std::atomic<bool> canceled{false};
        std::vector<double> micros;
        for (int i = 0; i < kCommits; ++i) {
            if (::write(go[1], "g", 1) != 1)
                break;
            const KivoStore::FeedSubscription::Updates updates = subscription->Read(canceled);
            const int64_t woken = Clock::now().time_since_epoch().count();
            int64_t before = 0;
            if (::read(times[0], &before, sizeof before) != sizeof before || updates.empty())
                break;
            micros.push_back(static_cast<double>(woken - before) / 1000.0);
        }
        ::close(go[1]);
        if (writer.joinable())
            writer.join();
        if (child > 0)
            ::waitpid(child, nullptr, 0);
        for (const int fd : {go[0], times[0], times[1]})
            ::close(fd);
        if (micros.size() != static_cast<size_t>(kCommits)) {
            state.SkipWithError("the writer stopped early");
            return;
        }
        ReportLatencies(state, micros);
    }
}

void BM_WakeInProcess(benchmark::State& state) {
    RunWakeLatency(state, false);
}
BENCHMARK(BM_WakeInProcess)->Iterations(1)->Unit(benchmark::kMillisecond);

void BM_WakeAcrossProcesses(benchmark::State& state) {
    RunWakeLatency(state, true);
}
BENCHMARK(BM_WakeAcrossProcesses)->Iterations(1)->Unit(benchmark::kMillisecond);

// 10,000 updates a second for 10 s over 1,000 objects; one subscription reads all of them.
void BM_SubscriptionKeepsUpWithWriter(benchmark::State& state) {
    constexpr int kSeconds = 10;
    constexpr int kBatchesPerSecond = 100;
    constexpr uint32_t kBatch = 100;
    for (auto _ : state) {
        ScratchStore scratch;
        auto store = KivoStore::Store::Open(scratch.connection);
        {
            std::vector<KivoStore::Operation> creates;
            for (uint32_t i = 0; i < 1000; ++i)
                creates.push_back({KivoStore::OperationKind::CreateObject, Bench::Disk(i, 0)});
            store->Apply(creates);
        }
        auto subscription =
            KivoStore::FeedSubscription::Start(store, AllObjects(), 0, [](const SharedUnitPtr&) {});
        std::atomic<uint64_t> written{0};
        std::atomic<bool> writing{true};
        uint64_t delivered = 0;
        uint64_t maxLag = 0;
        std::atomic<bool> canceled{false};
        Clock::time_point lastCommit;
        std::thread writer([&] {
            auto own = KivoStore::Store::Open(scratch.connection);
            const int timer = ::timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC);
            itimerspec every{};
            every.it_interval.tv_nsec = 1'000'000'000 / kBatchesPerSecond;
            every.it_value = every.it_interval;
            ::timerfd_settime(timer, 0, &every, nullptr);
            uint32_t count = 1;
            for (int b = 0; b < kSeconds * kBatchesPerSecond; ++b) {
                uint64_t expirations = 0;
                if (::read(timer, &expirations, sizeof expirations) != sizeof expirations)
                    break;
                std::vector<KivoStore::Operation> updates;
                for (uint32_t i = 0; i < kBatch; ++i)
                    updates.push_back({KivoStore::OperationKind::UpdateObject,
                                       Bench::Disk((b * kBatch + i) % 1000, count++)});
                own->Apply(updates);
                written += kBatch;
            }
            lastCommit = Clock::now();
            ::close(timer);
            writing = false;
            // Wakes the reader for its last look.
            subscription->Interrupt();
        });
        const uint64_t total = static_cast<uint64_t>(kSeconds) * kBatchesPerSecond * kBatch;
        while (delivered < total) {
            delivered += subscription->Read(canceled).size();
            maxLag = std::max(maxLag, written.load() - std::min(written.load(), delivered));
        }
        const Clock::time_point caughtUp = Clock::now();
        writer.join();
        state.counters["written"] = static_cast<double>(written.load());
        state.counters["delivered"] = static_cast<double>(delivered);
        state.counters["max_lag_changes"] = static_cast<double>(maxLag);
        state.counters["catch_up_ms"] =
            std::chrono::duration<double, std::milli>(std::max(caughtUp, lastCommit) - lastCommit)
                .count();
    }
}
BENCHMARK(BM_SubscriptionKeepsUpWithWriter)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
