// kivod end to end, measured through the programs themselves: a report of 2,000 objects over the
// socket beside DB mode on the same store (medians of alternating runs); the time from a commit
// to the listening kivo_dump's printed record (1,000 commits one by one, each waiting for its
// record), on SQLite and on a PostgreSQL store (the database KIVO_BENCH_POSTGRES names); one
// listener under a writer of 10,000 updates a second for 10 s (100 batches of 100 a second, paced
// by a timerfd); the CPU of kivod and of a listening kivo_dump idle for 30 s; 500 clients
// reporting 100 objects at once, with kivod's threads and memory meanwhile.
//
// Each run makes a store and a socket folder of its own in a temporary folder, starts its own
// kivod there (waiting for "ready" on its ready descriptor; KIVO_SOCKET_DIR points the clients at
// it), and stops it with SIGTERM at the end. The writer is this program, on the store file kivod
// serves; listeners are read through a pipe, each record timed when its first line arrives (see
// bench_programs.h). Run build/<tree>/bench/kivod_bench (--benchmark_filter picks one).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_programs.h"

namespace {

using Bench::Clock;
using Bench::CountedDisk;
using Bench::File;
using Bench::Kivod;
using Bench::Listener;
using Bench::Millis;
using Bench::Percentile;
using Bench::Program;
using Bench::Scratch;
using Bench::Spawn;
using Bench::Wait;

// The user and system clock ticks that `pid` has used so far.
long CpuTicks(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    const std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::istringstream fields(stat.substr(stat.rfind(')') + 2));  // after the command's name
    std::string skipped;
    for (int field = 3; field < 14; ++field)
        fields >> skipped;
    long user = 0, system = 0;
    fields >> user >> system;
    return user + system;
}

// The number of a line of /proc/<pid>/status ("Threads:", "VmRSS:" in kB); 0 when missing.
long StatusField(pid_t pid, std::string_view name) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(in, line);)
        if (line.starts_with(name))
            return std::atol(line.c_str() + name.size());
    return 0;
}

// The most connections open at once by kivod's log of connections opened and closed.
double MostConnectionsOpen(const std::string& log) {
    std::ifstream in(log);
    int open = 0, most = 0;
    for (std::string line; std::getline(in, line);) {
        if (line.find(" opened on ") != std::string::npos)
            most = std::max(most, ++open);
        else if (line.find(" closed: ") != std::string::npos)
            --open;
    }
    return most;
}

void BM_ReportOverSocketBesideDb(benchmark::State& state) {
    for (auto _ : state) {
        Scratch scratch(2000);
        Kivod kivod(scratch);
        REQUIRE(kivod.Ready(), "kivod did not start");
        const auto [socketMs, dbMs] =
            Bench::AlternatingReports(scratch, {"localhost", "u", "p", "QOR", "Disk", "report"},
                                      {scratch.file, "-", "-", "DB", "Disk"}, 15);
        REQUIRE(!socketMs.empty(), "a report failed, or the reports differ");
        state.counters["socket_ms"] = Percentile(socketMs, 50);
        state.counters["db_ms"] = Percentile(dbMs, 50);
        state.counters["ratio"] = Percentile(socketMs, 50) / Percentile(dbMs, 50);
        state.counters["socket_min_ms"] = Percentile(socketMs, 0);
        state.counters["db_min_ms"] = Percentile(dbMs, 0);
    }
}
BENCHMARK(BM_ReportOverSocketBesideDb)->Iterations(1)->Unit(benchmark::kMillisecond);

// Over a PostgreSQL store when `postgres` is given (a connection string).
void RunCommitToPrint(benchmark::State& state, const char* postgres) {
    for (auto _ : state) {
        Scratch scratch(1, postgres != nullptr ? postgres : "");
        Kivod kivod(scratch);
        REQUIRE(kivod.Ready(), "kivod did not start");
        Listener listener(scratch);
        REQUIRE(listener.WaitFor(1), "no snapshot");
        const std::vector<double> latencies = Bench::CommitToPrint(scratch, listener, 1000);
        REQUIRE(!latencies.empty(), "a change was not printed");
        Bench::CountLatencies(state, latencies);
    }
}

void BM_CommitToPrint(benchmark::State& state) {
    RunCommitToPrint(state, nullptr);
}
BENCHMARK(BM_CommitToPrint)->Iterations(1)->Unit(benchmark::kMillisecond);

// The store in a PostgreSQL database that KIVO_BENCH_POSTGRES names (bench/store_bench.sh starts a
// throwaway cluster and runs this one beside the SQLite figure).
void BM_CommitToPrintPostgres(benchmark::State& state) {
    const char* postgres = std::getenv("KIVO_BENCH_POSTGRES");
    REQUIRE(postgres != nullptr, "KIVO_BENCH_POSTGRES names no PostgreSQL database");
    RunCommitToPrint(state, postgres);
}
BENCHMARK(BM_CommitToPrintPostgres)->Iterations(1)->Unit(benchmark::kMillisecond);

void BM_ListenerUnderWriter(benchmark::State& state) {
    constexpr uint32_t kDisks = 1000, kBatches = 1000, kBatch = 100;
    for (auto _ : state) {
        Scratch scratch(kDisks);
        Kivod kivod(scratch);
        REQUIRE(kivod.Ready(), "kivod did not start");
        Listener listener(scratch);
        REQUIRE(listener.WaitFor(kDisks), "no snapshot");
        const int timer = ::timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC);
        itimerspec every{};
        every.it_interval.tv_nsec = 10'000'000;
        every.it_value = every.it_interval;
        ::timerfd_settime(timer, 0, &every, nullptr);
        std::vector<Clock::time_point> committed;
        const Clock::time_point start = Clock::now();
        for (uint32_t b = 0, count = 1; b < kBatches; ++b) {
            uint64_t expirations = 0;
            if (::read(timer, &expirations, sizeof expirations) != sizeof expirations)
                break;
            std::vector<KivoStore::Operation> updates;
            for (uint32_t i = 0; i < kBatch; ++i)
                updates.push_back({KivoStore::OperationKind::UpdateObject,
                                   CountedDisk((b * kBatch + i) % kDisks, count++)});
            scratch.store->Apply(updates);
            committed.push_back(Clock::now());
        }
        ::close(timer);
        const size_t atEnd = listener.Count() - kDisks;
        const bool all = listener.WaitFor(kDisks + kBatches * kBatch);
        // The lag of each batch: from its commit to the print of its last record.
        std::vector<double> lags;
        for (uint32_t b = 0; b < committed.size() && kDisks + (b + 1) * kBatch <= listener.Count();
             ++b)
            lags.push_back(Millis(listener.Time(kDisks + (b + 1) * kBatch - 1) - committed[b]));
        state.counters["writer_s"] = Millis(committed.back() - start) / 1000;
        state.counters["committed"] = static_cast<double>(committed.size() * kBatch);
        state.counters["printed_at_end"] = static_cast<double>(atEnd);
        state.counters["printed"] = static_cast<double>(listener.Count() - kDisks);
        state.counters["end_lag_ms"] = all ? lags.back() : -1;
        state.counters["lag_p50_ms"] = Percentile(lags, 50);
        state.counters["lag_p99_ms"] = Percentile(lags, 99);
        state.counters["lag_max_ms"] = Percentile(lags, 100);
    }
}
BENCHMARK(BM_ListenerUnderWriter)->Iterations(1)->Unit(benchmark::kMillisecond);

void BM_IdleListening(benchmark::State& state) {
    constexpr int kSeconds = 30;
    for (auto _ : state) {
        Scratch scratch(100);
        Kivod kivod(scratch);
        REQUIRE(kivod.Ready(), "kivod did not start");
        Listener listener(scratch);
        REQUIRE(listener.WaitFor(100), "no snapshot");
        const long kivodBefore = CpuTicks(kivod.Pid()), dumpBefore = CpuTicks(listener.Pid());
        std::this_thread::sleep_for(std::chrono::seconds(kSeconds));  // the idle time measured
        const double ticks = static_cast<double>(::sysconf(_SC_CLK_TCK)) * kSeconds;
        state.counters["kivod_cpu_pct"] = 100.0 * (CpuTicks(kivod.Pid()) - kivodBefore) / ticks;
        state.counters["dump_cpu_pct"] = 100.0 * (CpuTicks(listener.Pid()) - dumpBefore) / ticks;
        REQUIRE(listener.Count() == 100, "records printed while idle");
    }
}
BENCHMARK(BM_IdleListening)->Iterations(1)->Unit(benchmark::kMillisecond);

void BM_ConcurrentClients(benchmark::State& state) {
    constexpr int kClients = 500;
    for (auto _ : state) {
        Scratch scratch(100);
        Kivod kivod(scratch);
        REQUIRE(kivod.Ready(), "kivod did not start");
        const pid_t pid = kivod.Pid();
        state.counters["threads_idle"] = static_cast<double>(StatusField(pid, "Threads:"));
        state.counters["rss_idle_mb"] = StatusField(pid, "VmRSS:") / 1024.0;
        // Samples kivod every millisecond until the clients are done.
        std::mutex mutex;
        std::condition_variable doneChanged;
        bool done = false;
        long threads = 0, rss = 0;
        std::thread sampler([&] {
            std::unique_lock lock(mutex);
            do {
                threads = std::max(threads, StatusField(pid, "Threads:"));
                rss = std::max(rss, StatusField(pid, "VmRSS:"));
            } while (
                !doneChanged.wait_for(lock, std::chrono::milliseconds(1), [&] { return done; }));
        });
        // Every client waits at a shell's read on one pipe until its end is closed, so that all
        // of them start at once.
        int gate[2];
        REQUIRE(::pipe2(gate, O_CLOEXEC) == 0, "no pipe");
        const File null("/dev/null", O_RDWR);
        const File log(scratch.folder + "/clients.log", O_WRONLY | O_CREAT | O_APPEND);
        std::vector<pid_t> clients;
        for (int i = 0; i < kClients; ++i)
            clients.push_back(
                Spawn({"/bin/sh", "-c", "read x; exec \"$0\" \"$@\"", Program("kivo_dump"),
                       "localhost", "u", "p", "QOR", "Disk", "report"},
                      gate[0], null.fd, log.fd));
        ::close(gate[0]);
        const Clock::time_point start = Clock::now();
        ::close(gate[1]);
        int failed = 0;
        for (const pid_t client : clients)
            failed += client <= 0 || Wait(client) != 0;
        state.counters["wall_ms"] = Millis(Clock::now() - start);
        {
            std::lock_guard lock(mutex);
            done = true;
        }
        doneChanged.notify_all();
        sampler.join();
        state.counters["failed"] = failed;
        state.counters["threads_max"] = static_cast<double>(threads);
        state.counters["rss_max_mb"] = rss / 1024.0;
        state.counters["hwm_mb"] = StatusField(pid, "VmHWM:") / 1024.0;
        state.counters["connections_max"] = MostConnectionsOpen(scratch.folder + "/kivod.log");
    }
}
BENCHMARK(BM_ConcurrentClients)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
