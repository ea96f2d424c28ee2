// kivod end to end, measured through the programs themselves: a report of 2,000 objects over the
// socket beside DB mode on the same store (medians of alternating runs); the time from a commit
// to the listening kivo_dump's printed record (1,000 commits one by one, each waiting for its
// record); one listener under a writer of 10,000 updates a second for 10 s (100 batches of 100 a
// second, paced by a timerfd); the CPU of kivod and of a listening kivo_dump idle for 30 s; 500
// clients reporting 100 objects at once, with kivod's threads and memory meanwhile.
//
// Each run makes a store and a socket folder of its own in a temporary folder, starts its own
// kivod there (waiting for "ready" on its ready descriptor; KIVO_SOCKET_DIR points the clients at
// it), and stops it with SIGTERM at the end. The writer is this program, on the store file kivod
// serves; listeners are read through a pipe, each record timed when its first line arrives. The
// programs are those of the build's bin folder: build kivod and kivo_dump in a Release tree with
// benchmarks, then run build/<tree>/bench/kivod_bench (--benchmark_filter picks one).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/timerfd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_disks.h"
#include "enterprise/common/zaph/unit_builder.h"
#include "platform/store/store.h"

namespace {

using Clock = std::chrono::steady_clock;
using Zaph::View::SharedUnitPtr;

// Far beyond any figure measured here; a wait this long means something is lost.
constexpr auto kLostAfter = std::chrono::seconds(20);

double Millis(Clock::duration duration) {
    return std::chrono::duration<double, std::milli>(duration).count();
}

// The disk `number` with its `count`.
SharedUnitPtr Disk(uint32_t number, uint32_t count) {
    return Bench::Disk(number, count, u"disk of the benchmark");
}

// A store of `disks` disks and a socket folder in a temporary folder, removed at the end.
struct Scratch {
    explicit Scratch(uint32_t disks) {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "kivod_bench.XXXXXX").string();
        folder = ::mkdtemp(pattern.data());
        file = folder + "/s.db";
        KivoStore::CreateStore(std::u16string(file.begin(), file.end()));
        store = KivoStore::Store::Open(std::u16string(file.begin(), file.end()));
        std::vector<KivoStore::Operation> creates;
        for (uint32_t i = 0; i < disks; ++i)
            creates.push_back({KivoStore::OperationKind::CreateObject, Disk(i, 0)});
        if (!creates.empty())
            store->Apply(creates);
    }
    ~Scratch() {
        store.reset();
        std::error_code ignored;
        std::filesystem::remove_all(folder, ignored);
    }
    std::string folder;
    std::string file;
    std::shared_ptr<KivoStore::Store> store;
};

std::string Program(const char* name) {
    return std::filesystem::canonical("/proc/self/exe").parent_path().parent_path() / "bin" / name;
}

// Starts `arguments` with the given standard descriptors (and `ready` as descriptor 3 unless it
// is -1); -1 when it cannot be started.
pid_t Spawn(std::vector<std::string> arguments, int in, int out, int err, int ready = -1) {
    std::vector<char*> argv;
    for (std::string& argument : arguments)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in, 0);
    posix_spawn_file_actions_adddup2(&actions, out, 1);
    posix_spawn_file_actions_adddup2(&actions, err, 2);
    if (ready >= 0)
        posix_spawn_file_actions_adddup2(&actions, ready, 3);
    pid_t pid = -1;
    if (::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0)
        pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

int Wait(pid_t pid) {
    int status = 0;
    if (::waitpid(pid, &status, 0) != pid)
        return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// A descriptor opened on `path`, closed with the object.
struct File {
    File(const std::string& path, int flags) : fd(::open(path.c_str(), flags | O_CLOEXEC, 0600)) {}
    ~File() { ::close(fd); }
    int fd;
};

// One kivod serving a scratch store, its standard error in the folder's kivod.log.
class Kivod {
  public:
    explicit Kivod(const Scratch& scratch)
        : log_(scratch.folder + "/kivod.log", O_WRONLY | O_CREAT) {
        const std::string sockets = scratch.folder + "/sockets";
        ::setenv("KIVO_SOCKET_DIR", sockets.c_str(), 1);
        int ready[2];
        if (::pipe2(ready, O_CLOEXEC) != 0)
            return;
        const File null("/dev/null", O_RDWR);
        pid_ = Spawn(
            {Program("kivod"), "--store", scratch.file, "--socket-dir", sockets, "--ready-fd", "3"},
            null.fd, null.fd, log_.fd, ready[1]);
        ::close(ready[1]);
        std::string text;
        char chunk[256];
        for (pollfd wanted{ready[0], POLLIN, 0}; pid_ > 0 && ::poll(&wanted, 1, 20000) == 1;) {
            const ssize_t got = ::read(ready[0], chunk, sizeof chunk);
            if (got <= 0)
                break;
            text.append(chunk, static_cast<size_t>(got));
        }
        ::close(ready[0]);
        ready_ = text.ends_with("ready\n");
    }
    ~Kivod() {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            if (Wait(pid_) != 0)
                std::fprintf(stderr, "kivod did not end cleanly on SIGTERM\n");
        }
    }
    bool Ready() const { return ready_; }
    pid_t Pid() const { return pid_; }

  private:
    File log_;
    pid_t pid_ = -1;
    bool ready_ = false;
};

// A kivo_dump listening to the disks over QOR: the arrival time of each record it prints. Ends
// at the end of its standard input.
class Listener {
  public:
    explicit Listener(const Scratch& scratch) {
        int in[2], out[2];
        if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0)
            return;
        const File log(scratch.folder + "/kivo_dump.log", O_WRONLY | O_CREAT);
        pid_ = Spawn({Program("kivo_dump"), "localhost", "u", "p", "QOR", "Disk"}, in[0], out[1],
                     log.fd);
        ::close(in[0]);
        ::close(out[1]);
        input_ = in[1];
        reader_ = std::thread([this, output = out[0]] { Read(output); });
    }
    ~Listener() {
        ::close(input_);
        if (reader_.joinable())
            reader_.join();
        if (pid_ > 0 && Wait(pid_) != 0)
            std::fprintf(stderr, "kivo_dump did not end cleanly at the end of its input\n");
    }
    pid_t Pid() const { return pid_; }
    // Waits until `count` records have been printed; false when they are not within `bound`.
    bool WaitFor(size_t count, Clock::duration bound = kLostAfter) {
        std::unique_lock lock(mutex_);
        return printed_.wait_for(lock, bound, [&] { return times_.size() >= count; });
    }
    size_t Count() {
        std::lock_guard lock(mutex_);
        return times_.size();
    }
    // When record `index` (from 0) arrived; it must have been printed.
    Clock::time_point Time(size_t index) {
        std::lock_guard lock(mutex_);
        return times_[index];
    }

  private:
    void Read(int output) {
        std::string line;
        char chunk[65536];
        for (ssize_t got; (got = ::read(output, chunk, sizeof chunk)) > 0;) {
            const Clock::time_point now = Clock::now();
            size_t records = 0;
            for (const char c : std::string_view(chunk, static_cast<size_t>(got))) {
                if (c != '\n') {
                    if (line.size() < 9)
                        line.push_back(c);
                    continue;
                }
                records += line == "<created " || line == "<updated " || line == "<deleted ";
                line.clear();
            }
            std::lock_guard lock(mutex_);
            times_.insert(times_.end(), records, now);
            printed_.notify_all();
        }
        ::close(output);
    }

    pid_t pid_ = -1;
    int input_ = -1;
    std::mutex mutex_;
    std::condition_variable printed_;
    std::vector<Clock::time_point> times_;
    std::thread reader_;
};

// Runs kivo_dump with `arguments`, its output written to `output`: the time it took, or a
// negative time when it failed.
double TimedDump(std::vector<std::string> arguments, const std::string& output = "/dev/null") {
    arguments.insert(arguments.begin(), Program("kivo_dump"));
    const File null("/dev/null", O_RDWR), out(output, O_WRONLY | O_CREAT | O_TRUNC);
    const Clock::time_point start = Clock::now();
    const pid_t pid = Spawn(std::move(arguments), null.fd, out.fd, STDERR_FILENO);
    const bool ok = pid > 0 && Wait(pid) == 0;
    return ok ? Millis(Clock::now() - start) : -1;
}

double Percentile(std::vector<double> values, int percent) {
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[(values.size() - 1) * static_cast<size_t>(percent) / 100];
}

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

#define REQUIRE(condition, what)       \
    do {                               \
        if (!(condition)) {            \
            state.SkipWithError(what); \
            return;                    \
        }                              \
    } while (false)

void BM_ReportOverSocketBesideDb(benchmark::State& state) {
    constexpr int kRuns = 15;
    for (auto _ : state) {
        Scratch scratch(2000);
        Kivod kivod(scratch);
        REQUIRE(kivod.Ready(), "kivod did not start");
        const std::vector<std::string> socket = {"localhost", "u", "p", "QOR", "Disk", "report"};
        const std::vector<std::string> db = {scratch.file, "-", "-", "DB", "Disk"};
        // A first run of each, kept, to check that both print the same report.
        const std::string socketFile = scratch.folder + "/socket.txt",
                          dbFile = scratch.folder + "/db.txt";
        REQUIRE(TimedDump(socket, socketFile) >= 0 && TimedDump(db, dbFile) >= 0,
                "a report failed");
        std::ifstream socketText(socketFile), dbText(dbFile);
        REQUIRE(std::equal(std::istreambuf_iterator<char>(socketText), {},
                           std::istreambuf_iterator<char>(dbText), {}),
                "the reports differ");
        std::vector<double> socketMs, dbMs;
        for (int run = 0; run < kRuns; ++run) {
            socketMs.push_back(TimedDump(socket));
            dbMs.push_back(TimedDump(db));
        }
        REQUIRE(std::min(*std::min_element(socketMs.begin(), socketMs.end()),
                         *std::min_element(dbMs.begin(), dbMs.end())) >= 0,
                "a report failed");
        state.counters["socket_ms"] = Percentile(socketMs, 50);
        state.counters["db_ms"] = Percentile(dbMs, 50);
        state.counters["ratio"] = Percentile(socketMs, 50) / Percentile(dbMs, 50);
        state.counters["socket_min_ms"] = Percentile(socketMs, 0);
        state.counters["db_min_ms"] = Percentile(dbMs, 0);
    }
}
BENCHMARK(BM_ReportOverSocketBesideDb)->Iterations(1)->Unit(benchmark::kMillisecond);

void BM_CommitToPrint(benchmark::State& state) {
    constexpr uint32_t kCommits = 1000;
    for (auto _ : state) {
        Scratch scratch(1);
        Kivod kivod(scratch);
        REQUIRE(kivod.Ready(), "kivod did not start");
        Listener listener(scratch);
        REQUIRE(listener.WaitFor(1), "no snapshot");
        std::vector<double> latencies;
        for (uint32_t i = 1; i <= kCommits; ++i) {
            std::unique_ptr<KivoStore::WriteBatch> batch = scratch.store->BeginBatch();
            batch->CreateObject(Disk(i, 0));
            const Clock::time_point committing = Clock::now();
            batch->Commit();
            REQUIRE(listener.WaitFor(i + 1), "a change was not printed");
            latencies.push_back(Millis(listener.Time(i) - committing));
        }
        state.counters["median_ms"] = Percentile(latencies, 50);
        state.counters["p99_ms"] = Percentile(latencies, 99);
        state.counters["max_ms"] = Percentile(latencies, 100);
    }
}
BENCHMARK(BM_CommitToPrint)->Iterations(1)->Unit(benchmark::kMillisecond);

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
                                   Disk((b * kBatch + i) % kDisks, count++)});
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
