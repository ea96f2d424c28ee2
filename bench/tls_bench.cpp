// kivod over TCP with TLS 1.3 on 127.0.0.1, measured end to end: a report of 2,000 objects over
// TLS beside the same report over the local socket (kivo_dump runs, medians of alternating runs);
// logins per second that complete TCP, the TLS handshake, the password check and the service's
// Welcome, through the IPC client library in this program (a loop of Bind and Connect, on 1 and
// on 4 threads at once); the time from a commit to the record of a kivo_dump listening over TLS
// (1,000 commits one by one); and the answer times of an unknown user and of a wrong password,
// in alternating logins with the failure delay off (their medians and 99th percentiles should
// match: an unknown user is checked against a dummy record).
//
// The users file holds one user, its record made either by `kivod passwd` (the default scrypt
// parameters, as an administrator makes it) or with cheap parameters (N = 2^10), so that the cost
// of TLS alone shows. Each run makes its store, certificates (the tests' PKI) and users file in a
// scratch folder, starts its own kivod on 127.0.0.1 port 0 with failed logins answered at once,
// and points KIVO_CA_FILE at the scratch CA. Run build/<tree>/bench/tls_bench.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "bench/bench_programs.h"
#include "core/common/text.h"
#include "core/ipc_client_api/ipc_client.h"
#include "core/security_api/security.h"
#include "platform/ipc_client/platform_library.h"
#include "platform/security/platform_security.h"
#include "tests/support/test_pki.h"

namespace {

using Bench::Clock;
using Bench::Kivod;
using Bench::Millis;
using Bench::Percentile;
using Bench::Scratch;

constexpr const char* kUser = "bench";
constexpr const char* kPassword = "pw-of-the-bench";
constexpr uint32_t kQor = 33;

// How the user's password record is made: state.range(0).
enum Hashing : int64_t { kCheap = 0, kDefault = 1 };

// The certificates and users file of a scratch folder, and kivod's flags that use them. Points
// KIVO_CA_FILE at the scratch CA.
class TlsFiles {
  public:
    TlsFiles(const Scratch& scratch, int64_t hashing) : users_(scratch.folder + "/users") {
        try {
            pki_ = KivoSecurityTesting::MakeTestPki(scratch.folder);
            if (hashing == kCheap)
                KivoSecurityTesting::WriteTestUsers(users_, {{kUser, kPassword}});
        } catch (const Common::Error&) {
            return;
        }
        ::setenv("KIVO_CA_FILE", pki_.caFile.c_str(), 1);
        ok_ = hashing == kCheap || Passwd();
    }
    bool Ok() const { return ok_; }
    std::vector<std::string> KivodFlags() const {
        return {"--listen",         "127.0.0.1:0", "--tls-cert", pki_.serverCertFile, "--tls-key",
                pki_.serverKeyFile, "--users",     users_,       "--login-delay-ms",  "0"};
    }

  private:
    // `kivod passwd` adds the user with the default parameters, the password on its standard
    // input; true when it succeeded.
    bool Passwd() const {
        int in[2];
        if (::pipe2(in, O_CLOEXEC) != 0)
            return false;
        const std::string line = std::string(kPassword) + "\n";
        const bool written =
            ::write(in[1], line.data(), line.size()) == static_cast<ssize_t>(line.size());
        ::close(in[1]);
        const Bench::File null("/dev/null", O_RDWR);
        const pid_t pid = Bench::Spawn({Bench::Program("kivod"), "passwd", users_, kUser}, in[0],
                                       null.fd, STDERR_FILENO);
        ::close(in[0]);
        return written && pid > 0 && Bench::Wait(pid) == 0;
    }

    const std::string users_;
    KivoSecurityTesting::TestPki pki_;
    bool ok_ = false;
};

// kivo_dump's host, user and password towards `kivod` over TLS.
std::vector<std::string> OverTls(const Kivod& kivod) {
    return {"127.0.0.1:" + kivod.Port(), kUser, kPassword};
}

// The IPC client library and the security library of this program, initialised for its life.
class ClientLibraries {
  public:
    ClientLibraries() { ok_ = IPCClient_Init().IsEmpty() && Security_Initialize(0, 0) == 0; }
    ~ClientLibraries() { (void)IPCClient_Deinit(); }
    bool Ok() const { return ok_; }

  private:
    IPCClient::ScopedPlatformLibrary ipc_;
    KivoSecurity::ScopedPlatformSecurity security_;
    bool ok_ = false;
};

const std::u16string kUser16 = Common::ToUtf16(kUser);
const std::u16string kPassword16 = Common::ToUtf16(kPassword);

// One login to QOR of `kivod` as `user` with `password`: Bind, then Connect (Hello and Welcome).
// Its error, empty on success; the time it took goes to `millis`.
Common::Error Login(const Kivod& kivod, const std::u16string& user, const std::u16string& password,
                    double& millis) {
    const Clock::time_point start = Clock::now();
    std::unique_ptr<Binding::Binder> binder;
    std::unique_ptr<Binding::ServiceBrowser> browser;
    std::unique_ptr<Binding::AccessPoint> accessPoint;
    Common::Error error = IPCClient_CreateBinder(binder);
    if (error.IsEmpty())
        error = binder->Bind({"127.0.0.1:" + kivod.Port(), user, password}, browser);
    if (error.IsEmpty())
        error = browser->Connect(kQor, 0, accessPoint);
    millis = Millis(Clock::now() - start);
    return error;
}

void BM_ReportOverTlsBesideSocket(benchmark::State& state) {
    for (auto _ : state) {
        Scratch scratch(2000);
        const TlsFiles tls(scratch, state.range(0));
        REQUIRE(tls.Ok(), "no certificates or users file");
        Kivod kivod(scratch, tls.KivodFlags());
        REQUIRE(kivod.Ready() && !kivod.Port().empty(), "kivod did not start on TCP");
        std::vector<std::string> remote = OverTls(kivod);
        remote.insert(remote.end(), {"QOR", "Disk", "report"});
        const auto [tlsMs, socketMs] = Bench::AlternatingReports(
            scratch, remote, {"localhost", "u", "p", "QOR", "Disk", "report"}, 15);
        REQUIRE(!tlsMs.empty(), "a report failed, or the reports differ");
        state.counters["tls_ms"] = Percentile(tlsMs, 50);
        state.counters["socket_ms"] = Percentile(socketMs, 50);
        state.counters["ratio"] = Percentile(tlsMs, 50) / Percentile(socketMs, 50);
        state.counters["tls_min_ms"] = Percentile(tlsMs, 0);
        state.counters["socket_min_ms"] = Percentile(socketMs, 0);
    }
}
BENCHMARK(BM_ReportOverTlsBesideSocket)
    ->ArgNames({"default_scrypt"})
    ->Arg(kCheap)
    ->Arg(kDefault)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

void BM_Logins(benchmark::State& state) {
    const int threads = static_cast<int>(state.range(1));
    const int perThread = (state.range(0) == kCheap ? 400 : 60) / threads;
    for (auto _ : state) {
        Scratch scratch(0);
        const TlsFiles tls(scratch, state.range(0));
        REQUIRE(tls.Ok(), "no certificates or users file");
        Kivod kivod(scratch, tls.KivodFlags());
        REQUIRE(kivod.Ready() && !kivod.Port().empty(), "kivod did not start on TCP");
        const ClientLibraries client;
        REQUIRE(client.Ok(), "the client libraries did not start");
        std::vector<std::vector<double>> times(threads);
        std::vector<int> failed(threads, 0);
        const Clock::time_point start = Clock::now();
        std::vector<std::thread> logins;
        for (int t = 0; t < threads; ++t)
            logins.emplace_back([&, t] {
                for (int i = 0; i < perThread; ++i) {
                    double millis = 0;
                    failed[t] += !Login(kivod, kUser16, kPassword16, millis).IsEmpty();
                    times[t].push_back(millis);
                }
            });
        for (std::thread& thread : logins)
            thread.join();
        const double seconds = Millis(Clock::now() - start) / 1000;
        std::vector<double> all;
        int failures = 0;
        for (int t = 0; t < threads; ++t) {
            all.insert(all.end(), times[t].begin(), times[t].end());
            failures += failed[t];
        }
        REQUIRE(failures == 0, "a login failed");
        state.counters["logins_per_s"] = static_cast<double>(all.size()) / seconds;
        Bench::CountLatencies(state, all, "login_");
    }
}
BENCHMARK(BM_Logins)
    ->ArgNames({"default_scrypt", "threads"})
    ->ArgsProduct({{kCheap, kDefault}, {1, 4}})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

void BM_CommitToPrintOverTls(benchmark::State& state) {
    for (auto _ : state) {
        Scratch scratch(1);
        const TlsFiles tls(scratch, kCheap);
        REQUIRE(tls.Ok(), "no certificates or users file");
        Kivod kivod(scratch, tls.KivodFlags());
        REQUIRE(kivod.Ready() && !kivod.Port().empty(), "kivod did not start on TCP");
        Bench::Listener listener(scratch, OverTls(kivod));
        REQUIRE(listener.WaitFor(1), "no snapshot");
        const std::vector<double> latencies = Bench::CommitToPrint(scratch, listener, 1000);
        REQUIRE(!latencies.empty(), "a change was not printed");
        Bench::CountLatencies(state, latencies);
    }
}
BENCHMARK(BM_CommitToPrintOverTls)->Iterations(1)->Unit(benchmark::kMillisecond);

void BM_FailedLoginAnswers(benchmark::State& state) {
    constexpr int kEach = 100;
    for (auto _ : state) {
        Scratch scratch(0);
        const TlsFiles tls(scratch, kDefault);
        REQUIRE(tls.Ok(), "no certificates or users file");
        Kivod kivod(scratch, tls.KivodFlags());
        REQUIRE(kivod.Ready() && !kivod.Port().empty(), "kivod did not start on TCP");
        const ClientLibraries client;
        REQUIRE(client.Ok(), "the client libraries did not start");
        std::vector<double> unknown, wrong, right;
        bool refused = true;
        for (int i = 0; i < kEach; ++i) {
            double millis = 0;
            refused &= Login(kivod, u"nobody", kPassword16, millis).Code() ==
                       Binding::kIpcClientAuthenticationFailed;
            unknown.push_back(millis);
            refused &= Login(kivod, kUser16, u"not-the-password", millis).Code() ==
                       Binding::kIpcClientAuthenticationFailed;
            wrong.push_back(millis);
            refused &= Login(kivod, kUser16, kPassword16, millis).IsEmpty();
            right.push_back(millis);
        }
        REQUIRE(refused, "a login was not answered as expected");
        state.counters["unknown_median_ms"] = Percentile(unknown, 50);
        state.counters["unknown_p99_ms"] = Percentile(unknown, 99);
        state.counters["wrong_median_ms"] = Percentile(wrong, 50);
        state.counters["wrong_p99_ms"] = Percentile(wrong, 99);
        state.counters["right_median_ms"] = Percentile(right, 50);
    }
}
BENCHMARK(BM_FailedLoginAnswers)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
