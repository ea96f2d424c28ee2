// What the end-to-end benchmarks share: a store of disks in a scratch folder, the programs of the
// build's bin folder started and waited for, a kivod serving the scratch store (over its Unix
// sockets, and over TCP with TLS when given the flags), a listening kivo_dump whose records are
// timed as they arrive, timed kivo_dump runs, the commit-to-print loop and percentiles.
//
// The programs are those of the build's bin folder: build kivod and kivo_dump in a Release tree
// with benchmarks, then run build/<tree>/bench/<name>_bench.
//
// Thread-safety: a Listener's records may be awaited from any thread; everything else belongs to
// the benchmark's thread.
#pragma once

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <libpq-fe.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "bench/bench_disks.h"
#include "platform/store/store.h"

/// Ends the benchmark with `what` as its error when `condition` fails.
#define REQUIRE(condition, what)       \
    do {                               \
        if (!(condition)) {            \
            state.SkipWithError(what); \
            return;                    \
        }                              \
    } while (false)

namespace Bench {

using Clock = std::chrono::steady_clock;

/// Far beyond any figure measured here; a wait this long means something is lost.
inline constexpr auto kLostAfter = std::chrono::seconds(20);

inline double Millis(Clock::duration duration) {
    return std::chrono::duration<double, std::milli>(duration).count();
}

/// The `percent` percentile of `values` (0 the least, 100 the greatest); 0 when there are none.
inline double Percentile(std::vector<double> values, int percent) {
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[(values.size() - 1) * static_cast<size_t>(percent) / 100];
}

/// The disk `number` with its `count`.
inline Zaph::View::SharedUnitPtr CountedDisk(uint32_t number, uint32_t count) {
    return Disk(number, count, u"disk of the benchmark");
}

/// A store of `disks` disks in a temporary folder, or, given a PostgreSQL connection string
/// `postgres`, in a schema of its own there; removed at the end. `file` is the store's connection
/// string.
struct Scratch {
    explicit Scratch(uint32_t disks, const std::string& postgres = "") {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "kivod_bench.XXXXXX").string();
        folder = ::mkdtemp(pattern.data());
        if (postgres.empty()) {
            file = folder + "/s.db";
        } else {
            schema = "kivo_bench_" + std::to_string(::getpid());
            file = postgres + (postgres.find('?') == std::string::npos ? "?" : "&") +
                   "options=-csearch_path%3D" + schema;
            DropSchema();
        }
        KivoStore::CreateStore(std::u16string(file.begin(), file.end()));
        store = KivoStore::Store::Open(std::u16string(file.begin(), file.end()));
        std::vector<KivoStore::Operation> creates;
        for (uint32_t i = 0; i < disks; ++i)
            creates.push_back({KivoStore::OperationKind::CreateObject, CountedDisk(i, 0)});
        if (!creates.empty())
            store->Apply(creates);
    }
    ~Scratch() {
        store.reset();
        DropSchema();
        std::error_code ignored;
        std::filesystem::remove_all(folder, ignored);
    }
    void DropSchema() const {
        if (schema.empty())
            return;
        PGconn* conn = PQconnectdb(file.c_str());
        PQsetNoticeProcessor(
            conn, [](void*, const char*) {}, nullptr);
        PQclear(PQexec(conn, ("DROP SCHEMA IF EXISTS " + schema + " CASCADE").c_str()));
        PQfinish(conn);
    }
    std::string folder;
    std::string schema;
    std::string file;
    std::shared_ptr<KivoStore::Store> store;
};

/// The program `name` of the build's bin folder.
inline std::string Program(const char* name) {
    return std::filesystem::canonical("/proc/self/exe").parent_path().parent_path() / "bin" / name;
}

/// Starts `arguments` with the given standard descriptors (and `ready` as descriptor 3 unless it
/// is -1); -1 when it cannot be started.
inline pid_t Spawn(std::vector<std::string> arguments, int in, int out, int err, int ready = -1) {
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

/// The exit status of `pid` once it ends (128 + the signal that ended it); -1 when it cannot be
/// waited for.
inline int Wait(pid_t pid) {
    int status = 0;
    if (::waitpid(pid, &status, 0) != pid)
        return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

/// A descriptor opened on `path`, closed with the object.
struct File {
    File(const std::string& path, int flags) : fd(::open(path.c_str(), flags | O_CLOEXEC, 0600)) {}
    ~File() { ::close(fd); }
    File(const File&) = delete;
    File& operator=(const File&) = delete;
    int fd;
};

/// One kivod serving a scratch store with `flags` of its own, its sockets in the folder's
/// sockets (KIVO_SOCKET_DIR points the clients there), its standard error in the folder's
/// kivod.log; stopped with SIGTERM at the end.
class Kivod {
  public:
    explicit Kivod(const Scratch& scratch, const std::vector<std::string>& flags = {})
        : log_(scratch.folder + "/kivod.log", O_WRONLY | O_CREAT | O_APPEND) {
        const std::string sockets = scratch.folder + "/sockets";
        ::setenv("KIVO_SOCKET_DIR", sockets.c_str(), 1);
        int ready[2];
        if (::pipe2(ready, O_CLOEXEC) != 0)
            return;
        const File null("/dev/null", O_RDWR);
        std::vector<std::string> arguments = {
            Program("kivod"), "--store", scratch.file, "--socket-dir", sockets, "--ready-fd", "3"};
        arguments.insert(arguments.end(), flags.begin(), flags.end());
        pid_ = Spawn(std::move(arguments), null.fd, null.fd, log_.fd, ready[1]);
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
        // "tcp <address>:<port>" names the TCP listener.
        std::istringstream lines(text);
        for (std::string line; std::getline(lines, line);)
            if (line.starts_with("tcp "))
                port_ = line.substr(line.rfind(':') + 1);
    }
    ~Kivod() {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            if (Wait(pid_) != 0)
                std::fprintf(stderr, "kivod did not end cleanly on SIGTERM\n");
        }
    }
    Kivod(const Kivod&) = delete;
    Kivod& operator=(const Kivod&) = delete;

    bool Ready() const { return ready_; }
    pid_t Pid() const { return pid_; }
    /// The port of the TCP listener; empty without one.
    const std::string& Port() const { return port_; }

  private:
    File log_;
    pid_t pid_ = -1;
    bool ready_ = false;
    std::string port_;
};

/// A kivo_dump listening to the disks over QOR of `where` (host, user and password): the arrival
/// time of each record it prints. Ends at the end of its standard input.
class Listener {
  public:
    explicit Listener(const Scratch& scratch,
                      const std::vector<std::string>& where = {"localhost", "u", "p"}) {
        int in[2], out[2];
        if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0)
            return;
        const File log(scratch.folder + "/kivo_dump.log", O_WRONLY | O_CREAT);
        std::vector<std::string> arguments = {Program("kivo_dump")};
        arguments.insert(arguments.end(), where.begin(), where.end());
        arguments.insert(arguments.end(), {"QOR", "Disk"});
        pid_ = Spawn(std::move(arguments), in[0], out[1], log.fd);
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
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;

    pid_t Pid() const { return pid_; }
    /// Waits until `count` records have been printed; false when they are not within `bound`.
    bool WaitFor(size_t count, Clock::duration bound = kLostAfter) {
        std::unique_lock lock(mutex_);
        return printed_.wait_for(lock, bound, [&] { return times_.size() >= count; });
    }
    size_t Count() {
        std::lock_guard lock(mutex_);
        return times_.size();
    }
    /// When record `index` (from 0) arrived; it must have been printed.
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

/// Runs kivo_dump with `arguments`, its output written to `output`: the time it took, or a
/// negative time when it failed.
inline double TimedDump(std::vector<std::string> arguments,
                        const std::string& output = "/dev/null") {
    arguments.insert(arguments.begin(), Program("kivo_dump"));
    const File null("/dev/null", O_RDWR), out(output, O_WRONLY | O_CREAT | O_TRUNC);
    const Clock::time_point start = Clock::now();
    const pid_t pid = Spawn(std::move(arguments), null.fd, out.fd, STDERR_FILENO);
    const bool ok = pid > 0 && Wait(pid) == 0;
    return ok ? Millis(Clock::now() - start) : -1;
}

/// Reports of `first` and `second` (kivo_dump's arguments) in alternating runs, after one run of
/// each whose outputs must be equal: their times in milliseconds; empty when a run failed or the
/// reports differ.
inline std::pair<std::vector<double>, std::vector<double>> AlternatingReports(
    const Scratch& scratch, const std::vector<std::string>& first,
    const std::vector<std::string>& second, int runs) {
    const std::string firstFile = scratch.folder + "/first.txt",
                      secondFile = scratch.folder + "/second.txt";
    if (TimedDump(first, firstFile) < 0 || TimedDump(second, secondFile) < 0)
        return {};
    std::ifstream firstText(firstFile), secondText(secondFile);
    if (!std::equal(std::istreambuf_iterator<char>(firstText), {},
                    std::istreambuf_iterator<char>(secondText), {}))
        return {};
    std::vector<double> firstMs, secondMs;
    for (int run = 0; run < runs; ++run) {
        firstMs.push_back(TimedDump(first));
        secondMs.push_back(TimedDump(second));
    }
    if (std::min(Percentile(firstMs, 0), Percentile(secondMs, 0)) < 0)
        return {};
    return {firstMs, secondMs};
}

/// Commits `commits` new disks one by one to the scratch store, each once the listener has
/// printed the record of the one before (it has printed the snapshot of one disk): the time from
/// each commit to its record, in milliseconds; empty when a record did not come.
inline std::vector<double> CommitToPrint(Scratch& scratch, Listener& listener, uint32_t commits) {
    std::vector<double> latencies;
    for (uint32_t i = 1; i <= commits; ++i) {
        std::unique_ptr<KivoStore::WriteBatch> batch = scratch.store->BeginBatch();
        batch->CreateObject(CountedDisk(i, 0));
        const Clock::time_point committing = Clock::now();
        batch->Commit();
        if (!listener.WaitFor(i + 1))
            return {};
        latencies.push_back(Millis(listener.Time(i) - committing));
    }
    return latencies;
}

/// The median, 99th percentile and greatest of `latencies` as the counters `<prefix>median_ms`,
/// `<prefix>p99_ms` and `<prefix>max_ms`.
inline void CountLatencies(benchmark::State& state, const std::vector<double>& latencies,
                           const std::string& prefix = "") {
    state.counters[prefix + "median_ms"] = Percentile(latencies, 50);
    state.counters[prefix + "p99_ms"] = Percentile(latencies, 99);
    state.counters[prefix + "max_ms"] = Percentile(latencies, 100);
}

}  // namespace Bench
